// Where LEDs sit, and which LED belongs to a letter key. Positions are kept once per distinct answer.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "api/boundary.h"
#include "api/client_state.h"
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

bool SamePosition(const VeltariLedPosition& a, const VeltariLedPosition& b) {
    return a.ledId == b.ledId && std::bit_cast<std::uint64_t>(a.top) == std::bit_cast<std::uint64_t>(b.top) &&
           std::bit_cast<std::uint64_t>(a.left) == std::bit_cast<std::uint64_t>(b.left) &&
           std::bit_cast<std::uint64_t>(a.height) == std::bit_cast<std::uint64_t>(b.height) &&
           std::bit_cast<std::uint64_t>(a.width) == std::bit_cast<std::uint64_t>(b.width);
}

// The record for the "result" array: the one already kept when an earlier answer read the same, else a
// new one kept until unload.
VeltariLedPositions* KeepPositions(const Json& result) {
    std::vector<VeltariLedPosition> listed;
    if (!result.IsNull()) {
        const int count = result.Size();
        listed.reserve(static_cast<std::size_t>(std::max(count, 0)));
        for (int i = 0; i < count; ++i) {
            listed.push_back(ReadPosition(result.At(i)));
        }
    }
    // A server that listed only LEDs outside the range still gets a (zero-length) array, unlike one that
    // listed none at all.
    const bool hasArray = !listed.empty();
    // The server's order and duplicates stay as they are.
    std::erase_if(listed, [](const VeltariLedPosition& position) {
        return position.ledId < kFirstPositionedLed || position.ledId > kLastPositionedLed;
    });

    ContentHash hash;
    hash.Add(static_cast<std::int64_t>(hasArray));
    for (const VeltariLedPosition& position : listed) {
        hash.Add(static_cast<std::int64_t>(position.ledId));
        hash.Add(position.top);
        hash.Add(position.left);
        hash.Add(position.height);
        hash.Add(position.width);
    }
    KeptRecordIndex<VeltariLedPositions>& index = State().retention.ledPositionsIndex;
    const auto same = [&](const VeltariLedPositions& kept) {
        return (kept.positions != nullptr) == hasArray &&
               kept.positionsCount == static_cast<int>(listed.size()) &&
               std::equal(listed.begin(), listed.end(), kept.positions, SamePosition);
    };
    if (VeltariLedPositions* kept = index.Find(hash.Value(), same)) {
        return kept;
    }

    VeltariLedPositions* positions = Retain(std::make_unique<VeltariLedPositions>());
    if (hasArray) {
        auto array = std::make_unique<VeltariLedPosition[]>(listed.size());
        std::copy(listed.begin(), listed.end(), array.get());
        positions->positionsCount = static_cast<int>(listed.size());
        positions->positions = Retain(std::move(array));
    }
    index.Add(hash.Value(), positions);
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
        const auto answer = exchange.SendRequest(kMethodGetLedPositions);
        if (!answer) {
            return nullptr;
        }
        const Response& response = *answer;
        return KeepPositions(ReadResultOnly(response));
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
        const auto answer =
            exchange.SendRequest(kMethodGetLedPositionsByDeviceIndex, {{"deviceIndex", deviceIndex}});
        if (!answer) {
            return nullptr;
        }
        const Response& response = *answer;
        if (!ReadErrorCodeDecides(response)) {
            return nullptr;
        }
        return KeepPositions(response.Result());
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
        const auto answer =
            exchange.SendRequest(kMethodGetLedIdForKeyName, {{"keyName", static_cast<int>(keyName)}});
        if (!answer) {
            return 0;
        }
        // A key the server does not know comes back as whatever it puts in "result".
        return ReadResultOnly(*answer).AsInt();
    });
}
