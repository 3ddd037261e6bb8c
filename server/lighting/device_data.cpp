#include "lighting/device_data.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <vector>

#include "json/json.h"

namespace sdk {
namespace {

// Thrown inside the loader only, to stop at the first fault with its location.
struct DataError {
    std::string message;
};

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
    throw DataError{where + ": " + what};
}

bool IsWholeNumber(const Json& value) {
    if (value.Type() != kJsonNumber) return false;
    const double d = value.AsDouble();
    return std::isfinite(d) && std::floor(d) == d && d >= std::numeric_limits<int>::min() &&
           d <= std::numeric_limits<int>::max();
}

int RequiredInt(const Json& object, const char* name, const std::string& where) {
    if (!object.HasMember(name)) Fail(where, std::string("\"") + name + "\" is missing");
    const Json& value = object.At(name);
    if (!IsWholeNumber(value)) Fail(where, std::string("\"") + name + "\" must be a whole number");
    return value.AsInt();
}

int OptionalInt(const Json& object, const char* name, const std::string& where, int fallback) {
    if (!object.HasMember(name) || object.At(name).IsNull()) return fallback;
    return RequiredInt(object, name, where);
}

double RequiredNumber(const Json& object, const char* name, const std::string& where) {
    const Json& value = object.At(name);
    if (value.Type() != kJsonNumber || !std::isfinite(value.AsDouble()))
        Fail(where, std::string("\"") + name + "\" must be a number");
    return value.AsDouble();
}

std::string OptionalString(const Json& object, const char* name, const std::string& where) {
    if (!object.HasMember(name) || object.At(name).IsNull()) return {};
    const Json& value = object.At(name);
    if (value.Type() != kJsonString) Fail(where, std::string("\"") + name + "\" must be a string");
    return value.AsString();
}

// The reader gives null for an empty array, so null and a missing member both mean "none".
int ArraySize(const Json& object, const char* name, const std::string& where) {
    const Json& value = object.At(name);
    if (value.IsNull()) return 0;
    if (value.Type() != kJsonArray) Fail(where, std::string("\"") + name + "\" must be an array");
    return value.Size();
}

std::string Index(const std::string& where, const char* name, int i) {
    return where + "." + name + "[" + std::to_string(i) + "]";
}

// Property ids may be written as numbers or, for readability, as hexadecimal text such as "0x1001".
int PropertyId(const Json& property, const std::string& where) {
    const Json& id = property.At("id");
    if (id.Type() == kJsonString) {
        const std::string text = id.AsString();
        char* end = nullptr;
        const long value = std::strtol(text.c_str(), &end, 0);
        if (text.empty() || end == nullptr || *end != '\0' || value < 0 ||
            value > std::numeric_limits<int>::max())
            Fail(where, "\"id\" \"" + text + "\" is not a number");
        return static_cast<int>(value);
    }
    return RequiredInt(property, "id", where);
}

PropertyDescription ReadProperty(const Json& json, const std::string& where) {
    if (json.Type() != kJsonObject) Fail(where, "a property must be an object");
    PropertyDescription property;
    property.id = PropertyId(json, where);
    property.name = OptionalString(json, "name", where);
    const std::string type = OptionalString(json, "type", where);
    const bool boolFlag = (property.id & kPropertyFlagBool) != 0;
    const bool intFlag = (property.id & kPropertyFlagInt32) != 0;
    if (type == "bool") {
        property.kind = PropertyKind::kBool;
        if (!boolFlag || intFlag) Fail(where, "a bool property id must carry the flag 0x1000 and not 0x2000");
        const Json& value = json.At("value");
        if (value.Type() != kJsonBool) Fail(where, "\"value\" of a bool property must be true or false");
        property.value = value.AsBool() ? 1 : 0;
    } else if (type == "int32") {
        property.kind = PropertyKind::kInt32;
        if (!intFlag || boolFlag)
            Fail(where, "an int32 property id must carry the flag 0x2000 and not 0x1000");
        property.value = RequiredInt(json, "value", where);
    } else {
        Fail(where, "\"type\" must be \"bool\" or \"int32\"");
    }
    return property;
}

LedDescription ReadLed(const Json& json, const std::string& where) {
    if (json.Type() != kJsonObject) Fail(where, "an LED must be an object");
    LedDescription led;
    led.ledId = RequiredInt(json, "ledId", where);
    if (led.ledId < kMinLedId || led.ledId > kMaxLedId)
        Fail(where, "ledId " + std::to_string(led.ledId) + " is outside 1 to 911");
    led.top = RequiredNumber(json, "top", where);
    led.left = RequiredNumber(json, "left", where);
    led.height = RequiredNumber(json, "height", where);
    led.width = RequiredNumber(json, "width", where);
    if (led.height < 0 || led.width < 0) Fail(where, "height and width must not be negative");
    led.key = OptionalString(json, "key", where);
    if (!led.key.empty()) led.vendorKey = RequiredInt(json, "vendorKey", where);
    led.label = OptionalString(json, "label", where);
    if (led.label.empty()) led.label = led.key;
    return led;
}

ChannelDescription ReadChannel(const Json& json, const std::string& where) {
    if (json.Type() != kJsonObject) Fail(where, "a channel must be an object");
    ChannelDescription channel;
    const int count = ArraySize(json, "devices", where);
    for (int i = 0; i < count; ++i) {
        const std::string at = Index(where, "devices", i);
        const Json& entry = json.At("devices").At(i);
        if (entry.Type() != kJsonObject) Fail(at, "a channel device must be an object");
        ChannelDeviceDescription device;
        device.type = RequiredInt(entry, "type", at);
        device.ledCount = RequiredInt(entry, "deviceLedCount", at);
        if (device.ledCount < 0) Fail(at, "\"deviceLedCount\" must not be negative");
        channel.devices.push_back(device);
    }
    return channel;
}

// Model names travel to clients whose JSON reader turns a backslash before b, f, n, r, t or a quote into
// another character, and takes a final one as escaping the closing quote.
void CheckModelName(const std::string& model, const std::string& where) {
    if (model.find('\\') != std::string::npos)
        Fail(where, "\"model\" must not contain a backslash: clients would read it as something else");
}

DeviceDescription ReadDevice(const Json& json, const std::string& where) {
    if (json.Type() != kJsonObject) Fail(where, "a device must be an object");
    DeviceDescription device;
    device.type = RequiredInt(json, "type", where);
    if (json.At("model").Type() != kJsonString) Fail(where, "\"model\" must be a string");
    device.model = json.At("model").AsString();
    CheckModelName(device.model, where);
    device.physicalLayout = OptionalInt(json, "physicalLayout", where, 0);
    device.logicalLayout = OptionalInt(json, "logicalLayout", where, 0);
    device.capsMask = OptionalInt(json, "capsMask", where, 0);
    const Json& placement = json.At("placement");
    if (!placement.IsNull()) {
        if (placement.Type() != kJsonObject) Fail(where, "\"placement\" must be an object");
        device.placementTop = RequiredNumber(placement, "top", where + ".placement");
        device.placementLeft = RequiredNumber(placement, "left", where + ".placement");
    }

    const int ledCount = ArraySize(json, "leds", where);
    for (int i = 0; i < ledCount; ++i)
        device.leds.push_back(ReadLed(json.At("leds").At(i), Index(where, "leds", i)));

    const int channelCount = ArraySize(json, "channels", where);
    int channelLeds = 0;
    for (int i = 0; i < channelCount; ++i) {
        device.channels.push_back(ReadChannel(json.At("channels").At(i), Index(where, "channels", i)));
        channelLeds += device.channels.back().TotalLedCount();
    }
    if (channelCount > 0 && channelLeds != ledCount) {
        Fail(where, "the channels carry " + std::to_string(channelLeds) + " LEDs but the device lists " +
                        std::to_string(ledCount));
    }

    const int propertyCount = ArraySize(json, "properties", where);
    for (int i = 0; i < propertyCount; ++i) {
        const std::string at = Index(where, "properties", i);
        PropertyDescription property = ReadProperty(json.At("properties").At(i), at);
        if (device.FindProperty(property.id) != nullptr)
            Fail(at, "property id " + std::to_string(property.id) + " appears twice");
        device.properties.push_back(std::move(property));
    }
    return device;
}

// A strict check of the file's JSON before the tolerant reader sees it, so that a mistake is reported
// where it is instead of as a file that is not an object.
class SyntaxCheck {
public:
    explicit SyntaxCheck(std::string_view text) : text_(text) {}

    // Empty when the text is one well-formed JSON value; else "line L, column C: what".
    std::string Error() {
        Space();
        if (at_ == text_.size()) return "the file is empty";
        Value(0);
        if (error_.empty()) {
            Space();
            if (at_ < text_.size()) Expected("nothing more after the end of the top-level value");
        }
        if (error_.empty()) return {};
        std::size_t line = 1, column = 1;
        for (std::size_t i = 0; i < at_ && i < text_.size(); ++i) {
            if (text_[i] == '\n') {
                ++line;
                column = 1;
            } else if ((static_cast<unsigned char>(text_[i]) & 0xC0) != 0x80) {
                ++column;  // characters, not the bytes of one
            }
        }
        return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + error_;
    }

private:
    static constexpr int kMaxDepth = 64;

    bool Failed() const { return !error_.empty(); }
    void Expected(const std::string& what) {
        if (Failed()) return;
        const std::string found =
            at_ >= text_.size() ? std::string("the end of the file") : std::string("'") + text_[at_] + "'";
        error_ = "expected " + what + ", found " + found;
    }
    void Space() {
        while (at_ < text_.size() && std::string_view(" \t\r\n").find(text_[at_]) != std::string_view::npos)
            ++at_;
    }
    bool Take(char c) {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    void Literal(std::string_view word) {
        if (text_.substr(at_, word.size()) == word) {
            at_ += word.size();
        } else {
            Expected("a value");
        }
    }
    void Number() {
        const auto digits = [&] {
            const std::size_t start = at_;
            while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
            return at_ > start;
        };
        Take('-');
        if (Take('0')) {
        } else if (!digits()) {
            return Expected("a digit");
        }
        if (Take('.') && !digits()) return Expected("a digit after the decimal point");
        if (Take('e') || Take('E')) {
            if (!Take('+')) Take('-');
            if (!digits()) return Expected("a digit in the exponent");
        }
    }
    void String() {
        ++at_;  // the opening quote
        while (at_ < text_.size() && text_[at_] != '"') {
            const auto c = static_cast<unsigned char>(text_[at_]);
            if (c < 0x20) return Expected("a closing quote before the end of the line");
            if (c == '\\') {
                ++at_;
                if (at_ >= text_.size() ||
                    std::string_view("\"\\/bfnrtu").find(text_[at_]) == std::string_view::npos)
                    return Expected("an escape (\\\" \\\\ \\/ \\b \\f \\n \\r \\t \\uXXXX)");
            }
            ++at_;
        }
        if (!Take('"')) Expected("a closing quote");
    }
    void Value(int depth) {
        Space();
        if (depth > kMaxDepth) return Expected("less nesting");
        if (at_ >= text_.size()) return Expected("a value");
        const char c = text_[at_];
        if (c == '{') return Container(depth, '}', true);
        if (c == '[') return Container(depth, ']', false);
        if (c == '"') return String();
        if (c == '-' || (c >= '0' && c <= '9')) return Number();
        if (c == 't') return Literal("true");
        if (c == 'f') return Literal("false");
        if (c == 'n') return Literal("null");
        Expected("a value");
    }
    void Container(int depth, char close, bool object) {
        ++at_;
        Space();
        if (Take(close)) return;
        for (;;) {
            if (object) {
                Space();
                if (at_ >= text_.size() || text_[at_] != '"')
                    return Expected("a member name in double quotes");
                String();
                Space();
                if (!Failed() && !Take(':')) return Expected("':' after the member name");
            }
            Value(depth + 1);
            if (Failed()) return;
            Space();
            if (Take(close)) return;
            if (!Take(',')) return Expected(std::string("',' or '") + close + "'");
        }
    }

    std::string_view text_;
    std::size_t at_ = 0;
    std::string error_;
};

DeviceCatalog ReadCatalog(std::string_view text) {
    if (const std::string error = SyntaxCheck(text).Error(); !error.empty()) Fail("device data", error);
    const Json root = Json::Parse(text);
    if (root.IsNull() || (root.Type() == kJsonObject && root.At("devices").IsNull()))
        Fail("device data", "no devices (the file needs a \"devices\" array with at least one device)");
    if (root.Type() != kJsonObject) Fail("device data", "not a JSON object");
    std::vector<DeviceDescription> devices;
    std::set<int> ledIds;
    std::vector<std::string> keys;
    const int count = ArraySize(root, "devices", "device data");
    for (int d = 0; d < count; ++d) {
        const std::string where = "devices[" + std::to_string(d) + "]";
        DeviceDescription device = ReadDevice(root.At("devices").At(d), where);
        for (std::size_t i = 0; i < device.leds.size(); ++i) {
            const LedDescription& led = device.leds[i];
            const std::string at = Index(where, "leds", static_cast<int>(i));
            if (!ledIds.insert(led.ledId).second)
                Fail(at, "ledId " + std::to_string(led.ledId) + " is used twice");
            if (led.key.empty()) continue;
            for (const auto& key : keys) {
                if (EqualsIgnoringCase(key, led.key)) Fail(at, "key \"" + led.key + "\" is used twice");
            }
            keys.push_back(led.key);
        }
        devices.push_back(std::move(device));
    }
    return DeviceCatalog(std::move(devices));
}

}  // namespace

DeviceDataResult LoadDeviceCatalog(std::string_view text) {
    DeviceDataResult result;
    try {
        result.catalog = ReadCatalog(text);
    } catch (const DataError& error) {
        result.error = error.message;
    }
    return result;
}

DeviceDataResult LoadDeviceCatalogFile(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        return DeviceDataResult{std::nullopt, path + ": is a directory, not a device file"};
    std::ifstream file(path, std::ios::binary);
    if (!file) return DeviceDataResult{std::nullopt, path + ": cannot be opened"};
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) return DeviceDataResult{std::nullopt, path + ": cannot be read"};
    DeviceDataResult result = LoadDeviceCatalog(text.str());
    if (!result.error.empty()) result.error = path + ": " + result.error;
    return result;
}

}  // namespace sdk
