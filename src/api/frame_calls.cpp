// The two calls that belong to the frame itself: the last error and the device count.
#include <string>

#include "api/boundary.h"
#include "api/exchange.h"
#include "veltari.h"

using namespace sdk;

VeltariError VeltariGetLastError(void) {
    // Server codes outside the named values pass through unchanged; the C enumeration is int sized.
    return static_cast<VeltariError>(LoadLastError());
}

int VeltariGetDeviceCount(void) {
    return Guarded(-1, [&]() -> int {
        if (!HandshakeDone()) {
            return Fail(VeltariErrorNoHandshake, -1);
        }
        Exchange exchange;
        if (!exchange.Gate()) {
            return Fail(VeltariErrorServerUnreachable, -1);
        }
        const auto answer = exchange.SendRequest(kMethodGetDeviceCount);
        if (!answer) {
            return -1;
        }
        return ReadResultOnly(*answer).AsInt();
    });
}
