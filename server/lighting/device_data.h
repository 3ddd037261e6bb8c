// Reads the device data file (the virtual devices the server serves) and checks it, so that every later
// lookup can trust it. A built-in copy of the default file lets the server run with no file at all.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "lighting/device_catalog.h"

namespace sdk {

struct DeviceDataResult {
    std::optional<DeviceCatalog> catalog;
    // Where and why the data was refused, for the user; empty on success.
    std::string error;
};

DeviceDataResult LoadDeviceCatalog(std::string_view text);
DeviceDataResult LoadDeviceCatalogFile(const std::string& path);

// The text of the default data file, compiled in.
std::string_view BuiltInDeviceData();

}  // namespace sdk
