#include "controltable.h"

#include "devicelink.h"
#include "portselection.h"

#include <array>
#include <string_view>

namespace Form1Design {
namespace {

constexpr quint32 D = kDefaultColour;
constexpr quint32 B = kBlack;
constexpr quint32 W = kWhite;
constexpr unsigned Box = Bordered;
using C = Control;

// The tables keep their columns.
// clang-format off
constexpr std::array kControls = std::to_array<ControlSpec>({
    // name       kind          container  caption             left  top   width height pt    ground           text               flags, interval, control, accessible name, description, tab place
    {"Frame2",   Kind::Frame,  "Form1",  "Com Port",          120,  240, 2175,  735,  9,     B,               W,                 None, 0, kUnbound, nullptr, nullptr, 0},
    {"Label21",  Kind::Label,  "Frame2", "COM PORT",          120,  240, 1215,  375, 12,     kSysMenuText,    kSysHighlightText, None, 0, kUnbound, nullptr, nullptr, 0},
    {"Text2",    Kind::LineBox,"Frame2", "1",                1440,  240,  615,  375,  0,     D,               D,                 None, 0, C::Text2, "COM PORT", nullptr, 10},
    {"Option1",  Kind::Option, "Frame2", "Com1",              120,  240,  975,  255, 12,     B,               W,                 Hidden | Checked, 0, kUnbound, nullptr, nullptr, 1},
    {"Option2",  Kind::Option, "Frame2", "Com2",             1080,  240,  975,  255, 12,     B,               W,                 Hidden, 0, kUnbound, nullptr, nullptr, 2},
    {"Frame6",   Kind::Frame,  "Form1",  "Test Mode",         120, 1080, 2175, 1935, 11.25,  B,               W,                 None, 0, kUnbound, nullptr, nullptr, 0},
    {"Command8", Kind::Button, "Frame6", "VR Adjust",         360,  360, 1455,  615, 11.25,  D,               D,                 Disabled, 0, C::Command8, nullptr, nullptr, 4},
    {"Command1", Kind::Button, "Frame6", "Exit",              360, 1080, 1455,  615, 11.25,  D,               D,                 Disabled, 0, C::Command1, nullptr, "Leave test mode", 6},
    {"Label20",  Kind::Label,  "Form1",  "Please Reset BA",   120, 3240, 2175, 1095, 14.25,  kFormGround,     kRed,              Live, 0, C::Label20, nullptr, "Status", 0},
    {"Frame4",   Kind::Frame,  "Form1",  "Exit Tool",         120, 4560, 2175, 1095,  9,     B,               W,                 None, 0, kUnbound, nullptr, nullptr, 0},
    {"Command3", Kind::Button, "Frame4", "Exit",              240,  360, 1695,  615, 11.25,  D,               D,                 None, 0, C::Command3, nullptr, "End the program", 8},
    {"Frame1",   Kind::Frame,  "Form1",  "Software Version", 2400,  240, 4695, 5415,  9,     B,               W,                 None, 0, kUnbound, nullptr, nullptr, 0},
    {"Label1",   Kind::Label,  "Frame1", "Ver",               240,  720,  735,  375, 14.25,  kSysButtonText,  W,                 Box | AlignLeft, 0, kUnbound, nullptr, nullptr, 0},
    {"Label2",   Kind::Label,  "Frame1", "System",            960,  360, 1095,  375, 14.25,  kSysButtonText,  W,                 Box, 0, kUnbound, nullptr, nullptr, 0},
    {"Label3",   Kind::Label,  "Frame1", "Device",           2040,  360, 1095,  375, 14.25,  B,               W,                 Box, 0, kUnbound, nullptr, nullptr, 0},
    {"Label4",   Kind::Label,  "Frame1", "Validate",         3120,  360, 1335,  375, 14.25,  B,               W,                 Box, 0, kUnbound, nullptr, nullptr, 0},
    {"Label5",   Kind::Label,  "Frame1", "",                  960,  720, 1095,  375, 14.25,  B,               W,                 Box | Live, 0, C::Label5, nullptr, "System version", 0},
    {"Label6",   Kind::Label,  "Frame1", "",                 2040,  720, 1095,  375, 14.25,  B,               W,                 Box | Live, 0, C::Label6, nullptr, "Device version", 0},
    {"Label7",   Kind::Label,  "Frame1", "",                 3120,  720, 1335,  375, 14.25,  B,               W,                 Box | Live, 0, C::Label7, nullptr, "Validate version", 0},
    {"Label8",   Kind::Label,  "Frame1", "System",            240, 1440, 2055,  375, 14.25,  B,               W,                 Box, 0, kUnbound, nullptr, nullptr, 0},
    {"Label9",   Kind::Label,  "Frame1", "Device",            240, 1920, 2055,  375, 14.25,  B,               W,                 Box, 0, kUnbound, nullptr, nullptr, 0},
    {"Label10",  Kind::Label,  "Frame1", "Validate",          240, 2400, 2055,  375, 14.25,  B,               W,                 Box, 0, kUnbound, nullptr, nullptr, 0},
    {"Label11",  Kind::Label,  "Frame1", "All Program",       240, 2880, 2055,  375, 14.25,  B,               W,                 Box, 0, kUnbound, nullptr, nullptr, 0},
    {"Label12",  Kind::Label,  "Frame1", "All ROM",           240, 3360, 2055,  375, 14.25,  B,               W,                 Box, 0, kUnbound, nullptr, nullptr, 0},
    {"Label13",  Kind::Label,  "Frame1", "User regulation",   240, 3840, 2055,  375, 14.25,  B,               W,                 Box, 0, kUnbound, nullptr, nullptr, 0},
    {"Label14",  Kind::Label,  "Frame1", "",                 2400, 1440, 2055,  375, 14.25,  B,               W,                 Box | Live, 0, C::Label14, nullptr, "System value", 0},
    {"Label15",  Kind::Label,  "Frame1", "",                 2400, 1920, 2055,  375, 14.25,  B,               W,                 Box | Live, 0, C::Label15, nullptr, "Device value", 0},
    {"Label16",  Kind::Label,  "Frame1", "",                 2400, 2400, 2055,  375, 14.25,  B,               W,                 Box | Live, 0, C::Label16, nullptr, "Validate value", 0},
    {"Label17",  Kind::Label,  "Frame1", "",                 2400, 2880, 2055,  375, 14.25,  B,               W,                 Box | Live, 0, C::Label17, nullptr, "All Program value", 0},
    {"Label18",  Kind::Label,  "Frame1", "",                 2400, 3360, 2055,  375, 14.25,  B,               W,                 Box | Live, 0, C::Label18, nullptr, "All ROM value", 0},
    {"Label19",  Kind::Label,  "Frame1", "",                 2400, 3840, 2055,  375, 14.25,  B,               W,                 Box | Live, 0, C::Label19, nullptr, "User regulation value", 0},
    {"Command6", Kind::Button, "Frame1", "Clear",             480, 4560, 1575,  615, 11.25,  D,               D,                 Hidden, 0, C::Command6, nullptr, nullptr, 3},
    {"Command4", Kind::Button, "Frame1", "Clear EEPORM",     2640, 4560, 1575,  615, 11.25,  D,               D,                 Hidden, 0, C::Command4, nullptr, nullptr, 9},
    {"Frame3",   Kind::Frame,  "Form1",  "Rs232 Data",       7200,  240, 2655, 5415,  9,     B,               W,                 None, 0, kUnbound, nullptr, nullptr, 0},
    {"Text1",    Kind::LogBox, "Frame3", "",                  120,  240, 2415, 3975,  0,     B,               W,                 None, 0, C::Text1, "Rs232 Data", nullptr, 5},
    {"Command2", Kind::Button, "Frame3", "Clear",             600, 4560, 1575,  615, 11.25,  D,               D,                 None, 0, C::Command2, nullptr, nullptr, 7},
    {"Timer1",   Kind::Timer,  "Form1",  "",                    0,    0,    0,    0,  0,     D,               D,                 None, kPollEveryMs, C::Timer1, nullptr, nullptr, 0},
    {"Timer2",   Kind::Timer,  "Form1",  "",                    0,    0,    0,    0,  0,     D,               D,                 None, kReopenEveryMs, C::Timer2, nullptr, nullptr, 0},
});

// clang-format on

constexpr bool eachControlOnce()
{
    for (int control = 0; control < kControlCount; ++control) {
        int rows = 0;
        for (const ControlSpec &row : kControls)
            rows += row.control && int(*row.control) == control;
        if (rows != 1)
            return false;
    }
    return true;
}

// No two rows share a key; an empty key (no tab place) is no key.
template<typename Key>
constexpr bool unique(Key key)
{
    for (size_t i = 0; i < kControls.size(); ++i)
        for (size_t j = i + 1; j < kControls.size(); ++j)
            if (key(kControls[i]) != decltype(key(kControls[i])){} && key(kControls[i]) == key(kControls[j]))
                return false;
    return true;
}

static_assert(eachControlOnce(), "every Control has exactly one row");
static_assert(unique([](const ControlSpec &row) { return std::string_view(row.name); }),
              "every designer name is unique");
static_assert(unique([](const ControlSpec &row) { return row.tabPlace; }), "every tab place is unique");

} // namespace

std::span<const ControlSpec> controls()
{
    return kControls;
}

} // namespace Form1Design
