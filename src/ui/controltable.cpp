#include "controltable.h"

#include <array>

namespace Form1Design {
namespace {

constexpr quint32 D = kDefaultColour;
constexpr quint32 B = kBlack;
constexpr quint32 W = kWhite;
constexpr unsigned Box = Bordered;

// The tables keep their columns.
// clang-format off
constexpr std::array kControls = std::to_array<ControlSpec>({
    // name       kind          container  caption             left  top   width height pt    ground           text               flags, interval, slot
    {"Frame2",   Kind::Frame,  "Form1",  "Com Port",          120,  240, 2175,  735,  9,     B,               W,                 None, 0, {}},
    {"Label21",  Kind::Label,  "Frame2", "COM PORT",          120,  240, 1215,  375, 12,     kSysMenuText,    kSysHighlightText, None, 0, {}},
    {"Text2",    Kind::LineBox,"Frame2", "1",                1440,  240,  615,  375,  0,     D,               D,                 None, 0, &Controls::Text2},
    {"Option1",  Kind::Option, "Frame2", "Com1",              120,  240,  975,  255, 12,     B,               W,                 Hidden | Checked, 0, {}},
    {"Option2",  Kind::Option, "Frame2", "Com2",             1080,  240,  975,  255, 12,     B,               W,                 Hidden, 0, {}},
    {"Frame6",   Kind::Frame,  "Form1",  "Test Mode",         120, 1080, 2175, 1935, 11.25,  B,               W,                 None, 0, {}},
    {"Command8", Kind::Button, "Frame6", "VR Adjust",         360,  360, 1455,  615, 11.25,  D,               D,                 Disabled, 0, &Controls::Command8},
    {"Command1", Kind::Button, "Frame6", "Exit",              360, 1080, 1455,  615, 11.25,  D,               D,                 Disabled, 0, &Controls::Command1},
    {"Label20",  Kind::Label,  "Form1",  "Please Reset BA",   120, 3240, 2175, 1095, 14.25,  kFormGround,     kRed,              None, 0, &Controls::Label20},
    {"Frame4",   Kind::Frame,  "Form1",  "Exit Tool",         120, 4560, 2175, 1095,  9,     B,               W,                 None, 0, {}},
    {"Command3", Kind::Button, "Frame4", "Exit",              240,  360, 1695,  615, 11.25,  D,               D,                 None, 0, &Controls::Command3},
    {"Frame1",   Kind::Frame,  "Form1",  "Software Version", 2400,  240, 4695, 5415,  9,     B,               W,                 None, 0, {}},
    {"Label1",   Kind::Label,  "Frame1", "Ver",               240,  720,  735,  375, 14.25,  kSysButtonText,  W,                 Box | AlignLeft, 0, {}},
    {"Label2",   Kind::Label,  "Frame1", "System",            960,  360, 1095,  375, 14.25,  kSysButtonText,  W,                 Box, 0, {}},
    {"Label3",   Kind::Label,  "Frame1", "Device",           2040,  360, 1095,  375, 14.25,  B,               W,                 Box, 0, {}},
    {"Label4",   Kind::Label,  "Frame1", "Validate",         3120,  360, 1335,  375, 14.25,  B,               W,                 Box, 0, {}},
    {"Label5",   Kind::Label,  "Frame1", "",                  960,  720, 1095,  375, 14.25,  B,               W,                 Box, 0, &Controls::Label5},
    {"Label6",   Kind::Label,  "Frame1", "",                 2040,  720, 1095,  375, 14.25,  B,               W,                 Box, 0, &Controls::Label6},
    {"Label7",   Kind::Label,  "Frame1", "",                 3120,  720, 1335,  375, 14.25,  B,               W,                 Box, 0, &Controls::Label7},
    {"Label8",   Kind::Label,  "Frame1", "System",            240, 1440, 2055,  375, 14.25,  B,               W,                 Box, 0, {}},
    {"Label9",   Kind::Label,  "Frame1", "Device",            240, 1920, 2055,  375, 14.25,  B,               W,                 Box, 0, {}},
    {"Label10",  Kind::Label,  "Frame1", "Validate",          240, 2400, 2055,  375, 14.25,  B,               W,                 Box, 0, {}},
    {"Label11",  Kind::Label,  "Frame1", "All Program",       240, 2880, 2055,  375, 14.25,  B,               W,                 Box, 0, {}},
    {"Label12",  Kind::Label,  "Frame1", "All ROM",           240, 3360, 2055,  375, 14.25,  B,               W,                 Box, 0, {}},
    {"Label13",  Kind::Label,  "Frame1", "User regulation",   240, 3840, 2055,  375, 14.25,  B,               W,                 Box, 0, {}},
    {"Label14",  Kind::Label,  "Frame1", "",                 2400, 1440, 2055,  375, 14.25,  B,               W,                 Box, 0, &Controls::Label14},
    {"Label15",  Kind::Label,  "Frame1", "",                 2400, 1920, 2055,  375, 14.25,  B,               W,                 Box, 0, &Controls::Label15},
    {"Label16",  Kind::Label,  "Frame1", "",                 2400, 2400, 2055,  375, 14.25,  B,               W,                 Box, 0, &Controls::Label16},
    {"Label17",  Kind::Label,  "Frame1", "",                 2400, 2880, 2055,  375, 14.25,  B,               W,                 Box, 0, &Controls::Label17},
    {"Label18",  Kind::Label,  "Frame1", "",                 2400, 3360, 2055,  375, 14.25,  B,               W,                 Box, 0, &Controls::Label18},
    {"Label19",  Kind::Label,  "Frame1", "",                 2400, 3840, 2055,  375, 14.25,  B,               W,                 Box, 0, &Controls::Label19},
    {"Command6", Kind::Button, "Frame1", "Clear",             480, 4560, 1575,  615, 11.25,  D,               D,                 Hidden, 0, &Controls::Command6},
    {"Command4", Kind::Button, "Frame1", "Clear EEPORM",     2640, 4560, 1575,  615, 11.25,  D,               D,                 Hidden, 0, &Controls::Command4},
    {"Frame3",   Kind::Frame,  "Form1",  "Rs232 Data",       7200,  240, 2655, 5415,  9,     B,               W,                 None, 0, {}},
    {"Text1",    Kind::LogBox, "Frame3", "",                  120,  240, 2415, 3975,  0,     B,               W,                 None, 0, &Controls::Text1},
    {"Command2", Kind::Button, "Frame3", "Clear",             600, 4560, 1575,  615, 11.25,  D,               D,                 None, 0, &Controls::Command2},
    {"Timer1",   Kind::Timer,  "Form1",  "",                    0,    0,    0,    0,  0,     D,               D,                 None, 100, &Controls::Timer1},
    {"Timer2",   Kind::Timer,  "Form1",  "",                    0,    0,    0,    0,  0,     D,               D,                 None, 500, &Controls::Timer2},
});

constexpr std::array kAccessibility = std::to_array<AccessibleSpec>({
    {"Label5",   nullptr,      "System version",        true},
    {"Label6",   nullptr,      "Device version",        true},
    {"Label7",   nullptr,      "Validate version",      true},
    {"Label14",  nullptr,      "System value",          true},
    {"Label15",  nullptr,      "Device value",          true},
    {"Label16",  nullptr,      "Validate value",        true},
    {"Label17",  nullptr,      "All Program value",     true},
    {"Label18",  nullptr,      "All ROM value",         true},
    {"Label19",  nullptr,      "User regulation value", true},
    {"Label20",  nullptr,      "Status",                true},
    {"Command1", nullptr,      "Leave test mode",       false},
    {"Command3", nullptr,      "End the program",       false},
    {"Text2",    "COM PORT",   nullptr,                 false},
    {"Text1",    "Rs232 Data", nullptr,                 false},
});

constexpr std::array<const char *, 10> kTabOrder = {
    "Option1", "Option2", "Command6", "Command8", "Text1",
    "Command1", "Command2", "Command3", "Command4", "Text2",
};

// clang-format on
} // namespace

std::span<const ControlSpec> controls()
{
    return kControls;
}

std::span<const AccessibleSpec> accessibility()
{
    return kAccessibility;
}

std::span<const char *const> tabOrder()
{
    return kTabOrder;
}

} // namespace Form1Design
