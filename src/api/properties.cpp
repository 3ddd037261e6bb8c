// Device properties. The type of a property's value is a flag bit of its identifier; a getter accepts
// only identifiers that carry its own type's flag.
#include <optional>
#include <string>

#include "api/boundary.h"
#include "api/exchange.h"
#include "veltari.h"

namespace sdk {
namespace {

// The parsed answer of a property request, or the error code when no answer was read.
struct PropertyAnswer {
    int error = VeltariErrorSuccess;
    std::optional<Response> response;
};

PropertyAnswer RequestProperty(int deviceIndex, VeltariDevicePropertyId propertyId, int typeFlag,
                               const char* method) {
    if (!HandshakeDone()) {
        return {VeltariErrorNoHandshake, std::nullopt};
    }
    if (ServerProtocolVersion() < kPropertiesMinProtocol) {
        return {VeltariErrorServerProtocolTooOld, std::nullopt};
    }
    if (deviceIndex < 0 || (static_cast<int>(propertyId) & typeFlag) == 0) {
        return {VeltariErrorBadArgument, std::nullopt};
    }
    Exchange exchange;
    if (!exchange.Gate()) {
        return {VeltariErrorServerUnreachable, std::nullopt};
    }
    std::string& request = exchange.NewRequest();
    WriteRequest(request, method,
                 {{"deviceIndex", deviceIndex}, {"propertyId", static_cast<int>(propertyId)}});
    const std::string_view answer = exchange.Call(request);
    if (answer.empty()) {
        return {exchange.Failure(), std::nullopt};
    }
    return {VeltariErrorSuccess, std::optional<Response>(std::in_place, answer)};
}

// Runs a property request and, when the answer carries "result", hands it to `write`. Success depends
// only on that presence; the server's error code is stored either way.
template <class Write>
bool GetProperty(int deviceIndex, VeltariDevicePropertyId propertyId, int typeFlag, const char* method,
                 Write write) {
    const PropertyAnswer answer = RequestProperty(deviceIndex, propertyId, typeFlag, method);
    if (!answer.response) {
        return Fail(answer.error, false);
    }
    const Json* result = ReadResultIfPresent(*answer.response);
    if (result == nullptr) {
        return false;
    }
    write(*result);
    return true;
}

}  // namespace
}  // namespace sdk

using namespace sdk;

bool VeltariGetBoolPropertyValue(int deviceIndex, VeltariDevicePropertyId propertyId, bool* value) {
    return Guarded(false, [&]() -> bool {
        // Before the handshake test: without a place for the value there is nothing to ask for.
        if (value == nullptr) {
            return Fail(VeltariErrorBadArgument, false);
        }
        return GetProperty(deviceIndex, propertyId, VeltariPropertyTypeBool, kMethodGetBoolPropertyValue,
                           [value](const Json& result) { *value = result.AsBool(); });
    });
}

bool VeltariGetInt32PropertyValue(int deviceIndex, VeltariDevicePropertyId propertyId, int* value) {
    return Guarded(false, [&]() -> bool {
        if (value == nullptr) {
            return Fail(VeltariErrorBadArgument, false);
        }
        return GetProperty(deviceIndex, propertyId, VeltariPropertyTypeInt32, kMethodGetInt32PropertyValue,
                           [value](const Json& result) { *value = result.AsInt(); });
    });
}
