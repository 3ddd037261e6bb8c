// Control of the lighting and the priority of this application's layer. The tests of the three calls
// come in different orders on purpose: callers tell the failures apart by the last error.
#include <optional>
#include <string_view>

#include "api/boundary.h"
#include "api/exchange.h"
#include "veltari.h"

namespace sdk {
namespace {

constexpr int kMaxLayerPriority = 255;

// Only one mode exists, and it always travels as 0.
std::optional<Response> SendAccessModeRequest(Exchange& exchange, std::string_view method) {
    return exchange.SendRequest(method, {{"accessMode", static_cast<int>(VeltariAccessModeLightingControl)}});
}

}  // namespace
}  // namespace sdk

using namespace sdk;

bool VeltariRequestControl(VeltariAccessMode accessMode) {
    return Guarded(false, [&]() -> bool {
        if (!HandshakeDone()) {
            return Fail(VeltariErrorNoHandshake, false);
        }
        if (accessMode != VeltariAccessModeLightingControl) {
            return Fail(VeltariErrorBadArgument, false);
        }
        Exchange exchange;
        if (!exchange.Gate()) {
            return Fail(VeltariErrorServerUnreachable, false);
        }
        const auto answer = SendAccessModeRequest(exchange, kMethodRequestControl);
        if (!answer) {
            return false;
        }
        return ReadResultOnly(*answer).AsBool();
    });
}

bool VeltariReleaseControl(VeltariAccessMode accessMode) {
    return Guarded(false, [&]() -> bool {
        if (!HandshakeDone()) {
            return Fail(VeltariErrorNoHandshake, false);
        }
        Exchange exchange;
        if (!exchange.Gate()) {
            return Fail(VeltariErrorServerUnreachable, false);
        }
        if (accessMode != VeltariAccessModeLightingControl) {
            return Fail(VeltariErrorBadArgument, false);
        }
        if (ServerProtocolVersion() < kReleaseControlMinProtocol) {
            return Fail(VeltariErrorServerProtocolTooOld, false);
        }
        const auto answer = SendAccessModeRequest(exchange, kMethodReleaseControl);
        if (!answer) {
            return false;
        }
        return ReadErrorCodeAndResult(*answer).AsBool();
    });
}

bool VeltariSetLayerPriority(int layerPriority) {
    return Guarded(false, [&]() -> bool {
        if (!HandshakeDone()) {
            return Fail(VeltariErrorNoHandshake, false);
        }
        Exchange exchange;
        if (!exchange.Gate()) {
            return Fail(VeltariErrorServerUnreachable, false);
        }
        if (ServerProtocolVersion() < kLayerPriorityMinProtocol) {
            return Fail(VeltariErrorServerProtocolTooOld, false);
        }
        // Taken as unsigned, so negative priorities are out of range too.
        if (static_cast<unsigned>(layerPriority) > kMaxLayerPriority) {
            return Fail(VeltariErrorBadArgument, false);
        }
        const auto answer = exchange.SendRequest(kMethodSetLayerPriority, {{"layerPriority", layerPriority}});
        if (!answer) {
            return false;
        }
        return ReadErrorCodeAndResult(*answer).AsBool();
    });
}
