// The virtual devices the reference server serves: what each device is, where its LEDs sit and which
// keys and properties it has. Immutable once loaded; every lookup the request handler needs is here.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/protocol.h"

namespace sdk {

// LED ids form one id space shared by all devices, since the colour requests name LEDs without a device.
constexpr int kMinLedId = 1;  // up to kMaxLedId

// Property ids carry the kind of their value in one flag bit.
constexpr int kPropertyFlagBool = 0x1000;
constexpr int kPropertyFlagInt32 = 0x2000;

enum class PropertyKind { kBool, kInt32 };

struct LedDescription {
    int ledId = 0;
    // Millimetres from the device's top left corner.
    double top = 0;
    double left = 0;
    double height = 0;
    double width = 0;
    // The key under this LED, empty for LEDs that light no key (logos, indicators, strips).
    std::string key;
    int vendorKey = 0;
    // Short text for the terminal view; falls back to the key name.
    std::string label;
};

struct ChannelDeviceDescription {
    int type = 0;
    int ledCount = 0;
};

struct ChannelDescription {
    std::vector<ChannelDeviceDescription> devices;
    int TotalLedCount() const;
};

struct PropertyDescription {
    int id = 0;
    std::string name;
    PropertyKind kind = PropertyKind::kBool;
    // Booleans are stored as 0 or 1.
    int value = 0;
};

struct DeviceDescription {
    int type = 0;
    std::string model;
    int physicalLayout = 0;
    int logicalLayout = 0;
    int capsMask = 0;
    // Where the device sits on the virtual desk, in millimetres; gives the list of every device's LEDs
    // one shared coordinate space.
    double placementTop = 0;
    double placementLeft = 0;
    std::vector<LedDescription> leds;
    std::vector<ChannelDescription> channels;
    std::vector<PropertyDescription> properties;

    const PropertyDescription* FindProperty(int id) const;
};

// Where an LED id lives.
struct LedLocation {
    int device = -1;
    int index = -1;
};

class DeviceCatalog {
public:
    DeviceCatalog() = default;
    // The devices must already be valid (LoadDeviceCatalog checks them): LED ids unique and in range.
    explicit DeviceCatalog(std::vector<DeviceDescription> devices);

    int DeviceCount() const { return static_cast<int>(devices_.size()); }
    const std::vector<DeviceDescription>& Devices() const { return devices_; }
    // Null for an index the catalog does not have.
    const DeviceDescription* Device(int index) const;

    std::optional<LedLocation> FindLed(int ledId) const;
    bool HasLed(int ledId) const { return FindLed(ledId).has_value(); }
    const LedDescription* Led(int ledId) const;

    // The LED of the key whose name is exactly this one character, letters compared without case;
    // 0 when no device has such a key.
    int LedIdForKeyName(int character) const;
    // Key names are compared without case. Nullopt when no device has the key.
    std::optional<int> VendorKeyForName(std::string_view keyName) const;
    // The key name for a vendor key, empty when unknown.
    std::string KeyNameForVendorKey(int vendorKey) const;

private:
    std::vector<DeviceDescription> devices_;
    // Indexed by LED id.
    std::vector<LedLocation> ledIndex_;
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace sdk
