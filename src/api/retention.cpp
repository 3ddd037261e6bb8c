#include "api/retention.h"

#include <cstring>

#include "api/client_state.h"

namespace sdk {

char* Retain(std::unique_ptr<char[]> text) { return State().retention.strings.Retain(std::move(text)); }

VeltariDeviceInfo* Retain(std::unique_ptr<VeltariDeviceInfo> info) {
    return State().retention.deviceInfos.Retain(std::move(info));
}

VeltariChannel* Retain(std::unique_ptr<VeltariChannel[]> channels) {
    return State().retention.channelArrays.Retain(std::move(channels));
}

VeltariChannelDevice* Retain(std::unique_ptr<VeltariChannelDevice[]> devices) {
    return State().retention.channelDeviceArrays.Retain(std::move(devices));
}

VeltariLedPositions* Retain(std::unique_ptr<VeltariLedPositions> positions) {
    return State().retention.ledPositions.Retain(std::move(positions));
}

VeltariLedPosition* Retain(std::unique_ptr<VeltariLedPosition[]> positions) {
    return State().retention.ledPositionArrays.Retain(std::move(positions));
}

const char* RetainString(std::string_view text) {
    auto copy = std::make_unique<char[]>(text.size() + 1);
    if (!text.empty()) {
        std::memcpy(copy.get(), text.data(), text.size());
    }
    copy[text.size()] = '\0';
    return Retain(std::move(copy));
}

}  // namespace sdk
