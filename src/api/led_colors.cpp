// Setting LED colours now, and reading them back.
#include <string>

#include "api/boundary.h"
#include "api/exchange.h"
#include "api/led_color_list.h"
#include "veltari.h"

namespace sdk {
namespace {

// A list a caller passes in: at least one record, readable (a null array is refused before anything
// reads it), each id known and at most once, and the other `checks`.
bool AcceptableList(int size, const VeltariLedColor* colors, unsigned checks) {
    return size > 0 && colors != nullptr && ValidateLedColors(size, colors, checks);
}

// Reads the colours of the answer straight into the caller's records, by position. The answer carries its
// list at the top level, not in "result"; a list that does not match the request leaves the records as they
// were.
bool FillColorsFromAnswer(const Response& response, int size, VeltariLedColor* colors) {
    if (response.Root().IsNull()) {
        return Fail(VeltariErrorBadArgument, false);
    }
    const Json& list = response.Member("ledsColors");
    if (list.IsNull()) {
        return Fail(VeltariErrorBadArgument, false);
    }
    if (!DecodeLedColorsInto(list.AsStringView(), size, colors)) {
        return Fail(VeltariErrorBadArgument, false);
    }
    StoreLastError(VeltariErrorSuccess);
    return true;
}

// The exchange shared by both get calls, once their tests before the gate have passed. The request is
// written only when the gate has passed, so a failed test costs nothing.
template <class WriteRequestText>
bool ExchangeColors(WriteRequestText writeRequest, int size, VeltariLedColor* colors) {
    Exchange exchange;
    if (!exchange.Gate()) {
        return Fail(VeltariErrorServerUnreachable, false);
    }
    std::string& request = exchange.NewRequest();
    writeRequest(request);
    const auto answer = exchange.Send(request);
    if (!answer) {
        return false;
    }
    return FillColorsFromAnswer(*answer, size, colors);
}

}  // namespace
}  // namespace sdk

using namespace sdk;

bool VeltariSetLedsColors(int size, const VeltariLedColor* ledsColors) {
    return Guarded(false, [&]() -> bool {
        if (!HandshakeDone()) {
            return Fail(VeltariErrorNoHandshake, false);
        }
        if (!AcceptableList(size, ledsColors, kCheckAll)) {
            return Fail(VeltariErrorBadArgument, false);
        }
        Exchange exchange;
        if (!exchange.Gate()) {
            return Fail(VeltariErrorServerUnreachable, false);
        }
        std::string& request = exchange.NewRequest();
        WriteLedColorsRequest(request, kMethodSetLedsColors, size, ledsColors);
        const auto answer = exchange.Send(request);
        if (!answer) {
            return false;
        }
        return ReadErrorCodeAndResult(*answer).AsBool();
    });
}

bool VeltariGetLedsColors(int size, VeltariLedColor* ledsColors) {
    return Guarded(false, [&]() -> bool {
        if (!HandshakeDone()) {
            return Fail(VeltariErrorNoHandshake, false);
        }
        if (ServerProtocolVersion() < kGetColorsMinProtocol) {
            return Fail(VeltariErrorServerProtocolTooOld, false);
        }
        // The colour fields of a get request are sent as they are, so only the ids are checked.
        if (!AcceptableList(size, ledsColors, kCheckLedIds)) {
            return Fail(VeltariErrorBadArgument, false);
        }
        return ExchangeColors(
            [&](std::string& request) {
                WriteLedColorsRequest(request, kMethodGetLedsColors, size, ledsColors);
            },
            size, ledsColors);
    });
}

bool VeltariGetLedsColorsByDeviceIndex(int deviceIndex, int size, VeltariLedColor* ledsColors) {
    return Guarded(false, [&]() -> bool {
        if (!HandshakeDone()) {
            return Fail(VeltariErrorNoHandshake, false);
        }
        if (ServerProtocolVersion() < kColorsByDeviceMinProtocol) {
            return Fail(VeltariErrorServerProtocolTooOld, false);
        }
        if (deviceIndex < 0 || !AcceptableList(size, ledsColors, kCheckLedIds)) {
            return Fail(VeltariErrorBadArgument, false);
        }
        return ExchangeColors(
            [&](std::string& request) {
                WriteLedColorsRequest(request, kMethodGetLedsColorsByDeviceIndex, deviceIndex, size,
                                      ledsColors);
            },
            size, ledsColors);
    });
}
