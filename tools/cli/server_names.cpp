#include "cli/server_names.h"

namespace cli {

const char* DeviceTypeName(int type) {
    switch (type) {
        case 1: return "keyboard";
        case 2: return "mouse";
        case 3: return "headset";
        case 4: return "LED controller";
        default: return "device";
    }
}

const std::vector<KnownProperty>& KnownProperties() {
    static const std::vector<KnownProperty> properties = {
        {0x1001, "wireless"},          {0x1002, "microphone on"},   {0x1003, "surround sound"},
        {0x2001, "polling rate (Hz)"}, {0x2002, "brightness (%)"},  {0x2003, "battery (%)"},
        {0x2004, "DPI"},               {0x2005, "equalizer preset"}, {0x2006, "channels"},
    };
    return properties;
}

const char* PropertyName(int id) {
    for (const auto& p : KnownProperties()) {
        if (p.id == id) return p.name;
    }
    return nullptr;
}

const char* VendorKeyName(int vendorKey) {
    // The keys of the reference server's built-in keyboard, by the codes it reports.
    static const struct {
        int code;
        const char* name;
    } kKeys[] = {
        {8, "Backspace"}, {9, "Tab"}, {13, "Enter"}, {19, "Pause"}, {20, "CapsLock"}, {27, "Esc"},
        {32, "Space"}, {33, "PageUp"}, {34, "PageDown"}, {35, "End"}, {36, "Home"}, {37, "Left"}, {38, "Up"},
        {39, "Right"}, {40, "Down"}, {44, "PrintScreen"}, {45, "Insert"}, {46, "Delete"}, {48, "0"},
        {49, "1"}, {50, "2"}, {51, "3"}, {52, "4"}, {53, "5"}, {54, "6"}, {55, "7"}, {56, "8"}, {57, "9"},
        {65, "A"}, {66, "B"}, {67, "C"}, {68, "D"}, {69, "E"}, {70, "F"}, {71, "G"}, {72, "H"}, {73, "I"},
        {74, "J"}, {75, "K"}, {76, "L"}, {77, "M"}, {78, "N"}, {79, "O"}, {80, "P"}, {81, "Q"}, {82, "R"},
        {83, "S"}, {84, "T"}, {85, "U"}, {86, "V"}, {87, "W"}, {88, "X"}, {89, "Y"}, {90, "Z"},
        {91, "LeftWin"}, {93, "Menu"}, {96, "Num0"}, {97, "Num1"}, {98, "Num2"}, {99, "Num3"}, {100, "Num4"},
        {101, "Num5"}, {102, "Num6"}, {103, "Num7"}, {104, "Num8"}, {105, "Num9"}, {106, "NumStar"},
        {107, "NumPlus"}, {109, "NumMinus"}, {110, "NumPeriod"}, {111, "NumSlash"}, {112, "F1"}, {113, "F2"},
        {114, "F3"}, {115, "F4"}, {116, "F5"}, {117, "F6"}, {118, "F7"}, {119, "F8"}, {120, "F9"},
        {121, "F10"}, {122, "F11"}, {123, "F12"}, {144, "NumLock"}, {145, "ScrollLock"}, {160, "LeftShift"},
        {161, "RightShift"}, {162, "LeftCtrl"}, {163, "RightCtrl"}, {164, "LeftAlt"}, {165, "RightAlt"},
        {186, "Semicolon"}, {187, "Equal"}, {188, "Comma"}, {189, "Minus"}, {190, "Period"}, {191, "Slash"},
        {192, "Grave"}, {219, "LeftBracket"}, {220, "Backslash"}, {221, "RightBracket"}, {222, "Quote"},
        {256, "Fn"}, {269, "NumEnter"},
    };
    for (const auto& key : kKeys) {
        if (key.code == vendorKey) return key.name;
    }
    return nullptr;
}

std::string ServerErrorText(int code) {
    std::string text = "error code " + std::to_string(code);
    switch (code) {
        case 100: return text + " (it does not know this request, or its protocol is older than the request)";
        case 101: return text + " (another application holds control of the lighting)";
        case 102: return text + " (the request was not understood)";
        default: return text;
    }
}

}  // namespace cli
