#include "cli/server_names.h"

namespace cli {

const char* DeviceTypeName(int type) {
    (void)type;
    return "device";
}

const std::vector<KnownProperty>& KnownProperties() {
    static const std::vector<KnownProperty> properties;
    return properties;
}

const char* PropertyName(int id) {
    for (const auto& p : KnownProperties()) {
        if (p.id == id) return p.name;
    }
    return nullptr;
}

std::string ServerErrorText(int code) { return "error code " + std::to_string(code); }

}  // namespace cli
