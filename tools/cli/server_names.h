// Names for the codes that the server defines (device types, properties, its own error codes), as the
// reference server documents them. Other servers may use other codes; unknown ones print as numbers.
#pragma once

#include <string>
#include <vector>

namespace cli {

struct KnownProperty {
    int id;
    const char* name;
};

// "keyboard", "mouse", ...; "device" for a code the reference server does not use.
const char* DeviceTypeName(int type);

// The properties `veltari-cli devices` asks every device for.
const std::vector<KnownProperty>& KnownProperties();

// The name of a property identifier, or nullptr.
const char* PropertyName(int id);

// The name of a key code ("vendorKey") of the reference server's keyboard ("LeftShift" for 160), or nullptr.
const char* VendorKeyName(int vendorKey);

// Words for a server error code other than the library's own, for example "error code 9 (no such LED)".
std::string ServerErrorText(int code);

}  // namespace cli
