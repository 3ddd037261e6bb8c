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
