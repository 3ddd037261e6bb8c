#include "lighting/device_catalog.h"

#include <cctype>

namespace sdk {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

int ChannelDescription::TotalLedCount() const {
    int total = 0;
    for (const auto& device : devices) total += device.ledCount;
    return total;
}

const PropertyDescription* DeviceDescription::FindProperty(int id) const {
    for (const auto& property : properties) {
        if (property.id == id) return &property;
    }
    return nullptr;
}

DeviceCatalog::DeviceCatalog(std::vector<DeviceDescription> devices)
    : devices_(std::move(devices)), ledIndex_(kMaxLedId + 1) {
    for (std::size_t d = 0; d < devices_.size(); ++d) {
        const auto& leds = devices_[d].leds;
        for (std::size_t i = 0; i < leds.size(); ++i) {
            const int id = leds[i].ledId;
            if (id >= kMinLedId && id <= kMaxLedId && ledIndex_[id].device < 0)
                ledIndex_[id] = LedLocation{static_cast<int>(d), static_cast<int>(i)};
        }
    }
}

const DeviceDescription* DeviceCatalog::Device(int index) const {
    if (index < 0 || index >= DeviceCount()) return nullptr;
    return &devices_[static_cast<std::size_t>(index)];
}

std::optional<LedLocation> DeviceCatalog::FindLed(int ledId) const {
    if (ledId < kMinLedId || ledId > kMaxLedId || ledIndex_.empty()) return std::nullopt;
    const LedLocation& location = ledIndex_[static_cast<std::size_t>(ledId)];
    if (location.device < 0) return std::nullopt;
    return location;
}

const LedDescription* DeviceCatalog::Led(int ledId) const {
    const auto location = FindLed(ledId);
    if (!location) return nullptr;
    return &devices_[static_cast<std::size_t>(location->device)]
                .leds[static_cast<std::size_t>(location->index)];
}

int DeviceCatalog::LedIdForKeyName(int character) const {
    if (character <= 0x20 || character >= 0x7F) return 0;
    const char name[1] = {static_cast<char>(character)};
    for (const auto& device : devices_) {
        for (const auto& led : device.leds) {
            if (EqualsIgnoringCase(led.key, std::string_view(name, 1))) return led.ledId;
        }
    }
    return 0;
}

std::optional<int> DeviceCatalog::VendorKeyForName(std::string_view keyName) const {
    for (const auto& device : devices_) {
        for (const auto& led : device.leds) {
            if (!led.key.empty() && EqualsIgnoringCase(led.key, keyName)) return led.vendorKey;
        }
    }
    return std::nullopt;
}

std::string DeviceCatalog::KeyNameForVendorKey(int vendorKey) const {
    for (const auto& device : devices_) {
        for (const auto& led : device.leds) {
            if (!led.key.empty() && led.vendorKey == vendorKey) return led.key;
        }
    }
    return {};
}

}  // namespace sdk
