// Where LEDs sit, and which LED belongs to a letter key.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "api/boundary.h"
#include "api/exchange.h"
#include "api/retention.h"
#include "veltari.h"

namespace sdk {
namespace {

// LED ids that a layout may name; the others are the server's internal LEDs.
constexpr int kFirstPositionedLed = 1;
constexpr int kLastPositionedLed = 911;

VeltariLedPosition ReadPosition(const Json& entry) {
    VeltariLedPosition position{};
    position.ledId = entry.At("ledId").AsInt();
    // The server measures in fractions of its unit; truncating would misplace small LEDs.
    position.top = entry.At("top").AsDouble();
    position.left = entry.At("left").AsDouble();
    position.height = entry.At("height").AsDouble();
    position.width = entry.At("width").AsDouble();
    return position;
}

// A new record from the "result" array, kept until unload.
VeltariLedPositions* RetainPositions(const Json& result) {
    VeltariLedPositions* positions = Retain(std::make_unique<VeltariLedPositions>());
    std::vector<VeltariLedPosition> listed;
    if (!result.IsNull()) {
        const int count = result.Size();
        for (int i = 0; i < count; ++i) {
            listed.push_back(ReadPosition(result.At(i)));
        }
    }
    if (listed.empty()) {
        return positions;
    }
    // The server's order and duplicates stay as they are.
    std::erase_if(listed, [](const VeltariLedPosition& position) {
        return position.ledId < kFirstPositionedLed || position.ledId > kLastPositionedLed;
    });
    // A server that listed only LEDs outside the range still gets a (zero-length) array, unlike one that
    // listed none at all.
    auto array = std::make_unique<VeltariLedPosition[]>(listed.size());
    std::copy(listed.begin(), listed.end(), array.get());
    positions->positionsCount = static_cast<int>(listed.size());
    positions->positions = Retain(std::move(array));
    return positions;
}

bool IsAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace
}  // namespace sdk

using namespace sdk;

VeltariLedPositions* VeltariGetLedPositions(void) {
    return Guarded(nullptr, [&]() -> VeltariLedPositions* {
        if (!HandshakeDone()) {
            return Fail(VeltariErrorNoHandshake, nullptr);
        }
        Exchange exchange;
        if (!exchange.Gate()) {
            return Fail(VeltariErrorServerUnreachable, nullptr);
        }
        const auto answer = exchange.Send(BuildRequest(kMethodGetLedPositions));
        if (!answer) {
            return nullptr;
        }
        const Response& response = *answer;
        return RetainPositions(ReadResultOnly(response));
    });
}

VeltariLedPositions* VeltariGetLedPositionsByDeviceIndex(int deviceIndex) {
    return Guarded(nullptr, [&]() -> VeltariLedPositions* {
        if (!HandshakeDone()) {
            return Fail(VeltariErrorNoHandshake, nullptr);
        }
        if (deviceIndex < 0) {
            return Fail(VeltariErrorBadArgument, nullptr);
        }
        Exchange exchange;
        if (!exchange.Gate()) {
            return Fail(VeltariErrorServerUnreachable, nullptr);
        }
        if (ServerProtocolVersion() < kPositionsByDeviceMinProtocol) {
            return Fail(VeltariErrorServerProtocolTooOld, nullptr);
        }
        Json params;
        params["deviceIndex"] = Json(deviceIndex);
        const auto answer =
            exchange.Send(BuildRequest(kMethodGetLedPositionsByDeviceIndex, std::move(params)));
        if (!answer) {
            return nullptr;
        }
        const Response& response = *answer;
        if (!ReadErrorCodeDecides(response)) {
            return nullptr;
        }
        return RetainPositions(response.Result());
    });
}

int VeltariGetLedIdForKeyName(char keyName) {
    return Guarded(0, [&]() -> int {
        if (!HandshakeDone()) {
            return Fail(VeltariErrorNoHandshake, 0);
        }
        // Letters only, in either case and unfolded: the server knows keys by their letter.
        if (!IsAsciiLetter(keyName)) {
            return Fail(VeltariErrorBadArgument, 0);
        }
        Exchange exchange;
        if (!exchange.Gate()) {
            return Fail(VeltariErrorServerUnreachable, 0);
        }
        Json params;
        params["keyName"] = Json(static_cast<int>(keyName));
        const auto answer = exchange.Send(BuildRequest(kMethodGetLedIdForKeyName, std::move(params)));
        if (!answer) {
            return 0;
        }
        // A key the server does not know comes back as whatever it puts in "result".
        return ReadResultOnly(*answer).AsInt();
    });
}
