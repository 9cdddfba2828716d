#pragma once

#include "devicedisplay.h"

#include <QtGlobal>
#include <optional>
#include <span>

// The window as designed: every control with its container, caption,
// geometry in twips, the device protocol's name for it, what a screen reader
// says of it and its place in the tab order. The window is built from this
// table, and nothing else places or names a control.
namespace Form1Design {

inline constexpr int kTwipsPerPixel = 15; // at 96 dpi
inline constexpr int kClientWidthTwips = 9990;
inline constexpr int kClientHeightTwips = 5880;
inline constexpr quint32 kFormGround = 0x00C0FFFF; // 0x00BBGGRR: light yellow

enum class Kind { Frame, Label, Button, LineBox, LogBox, Option, Timer };

// Colours as the designer stored them: 0x00BBGGRR, or 0x80000000 + a system
// colour index. kDefaultColour leaves the widget's own.
inline constexpr quint32 kDefaultColour = 0xFFFFFFFF;
inline constexpr quint32 kBlack = 0x00000000;
inline constexpr quint32 kWhite = 0x00FFFFFF;
inline constexpr quint32 kRed = 0x000000FF;
inline constexpr quint32 kSysMenuText = 0x80000007;
inline constexpr quint32 kSysHighlightText = 0x8000000E;
inline constexpr quint32 kSysButtonText = 0x80000012;

enum Flag : unsigned {
    None = 0,
    Hidden = 1u << 0,
    Disabled = 1u << 1,
    Bordered = 1u << 2,  // single-line border
    AlignLeft = 1u << 3, // labels centre otherwise
    Checked = 1u << 4,
    Live = 1u << 5, // a screen reader reads the label by its current text
};

// No Control: the window never reaches the control after building it.
inline constexpr std::optional<Control> kUnbound;

struct ControlSpec
{
    const char *name;
    Kind kind;
    const char *container;
    const char *caption;
    int left, top, width, height; // twips, relative to the container
    double pointSize;             // 0: the platform's default font
    quint32 ground, text;
    unsigned flags;
    int intervalMs; // timers only
    std::optional<Control> control;
    // What an accessibility client is told beyond the caption.
    const char *accessibleName; // nullptr: the caption
    const char *description;
    int tabPlace; // keyboard focus order from 1; 0: none of its own
};

std::span<const ControlSpec> controls();

inline constexpr char kFontFamily[] = "Times New Roman";
inline constexpr char kDesignCaption[] = "Calvarin";

} // namespace Form1Design
