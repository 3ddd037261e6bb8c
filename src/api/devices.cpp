// Device descriptions: one record per call, kept with everything it points to until unload.
#include <memory>
#include <string>

#include "api/boundary.h"
#include "api/exchange.h"
#include "api/retention.h"
#include "veltari.h"

namespace sdk {
namespace {

// Elements of an array; anything else counts as none, so a caller that sizes memory from the count
// never sees a negative one.
int ArrayLength(const Json& value) {
    return value.Type() == kJsonArray ? value.Size() : 0;
}

VeltariChannelDevice* RetainChannelDevices(const Json& devices, int count) {
    auto array = std::make_unique<VeltariChannelDevice[]>(static_cast<std::size_t>(count));
    for (int j = 0; j < count; ++j) {
        const Json& device = devices.At(j);
        array[j].type = device.At("type").AsInt();
        array[j].deviceLedCount = device.At("deviceLedCount").AsInt();
    }
    return Retain(std::move(array));
}

void FillChannels(VeltariDeviceInfo& info, const Json& result) {
    if (!result.HasMember("channels")) {
        return;
    }
    const Json& channels = result.At("channels");
    const int count = ArrayLength(channels);
    info.channelsCount = count;
    if (count == 0) {
        return;
    }
    auto array = std::make_unique<VeltariChannel[]>(static_cast<std::size_t>(count));
    VeltariChannel* kept = Retain(std::move(array));
    for (int i = 0; i < count; ++i) {
        const Json& channel = channels.At(i);
        kept[i].totalLedsCount = channel.At("totalLedsCount").AsInt();
        const Json& devices = channel.At("devices");
        const int devicesCount = ArrayLength(devices);
        kept[i].devicesCount = devicesCount;
        kept[i].devices = devicesCount > 0 ? RetainChannelDevices(devices, devicesCount) : nullptr;
    }
    info.channels = kept;
}

}  // namespace
}  // namespace sdk

using namespace sdk;

VeltariDeviceInfo* VeltariGetDeviceInfo(int deviceIndex) {
    return Guarded(nullptr, [&]() -> VeltariDeviceInfo* {
        if (!HandshakeDone()) {
            return Fail(VeltariErrorNoHandshake, nullptr);
        }
        // The index is never compared with the device count: the server decides which devices exist.
        if (deviceIndex < 0) {
            return Fail(VeltariErrorBadArgument, nullptr);
        }
        Exchange exchange;
        if (!exchange.Gate()) {
            return Fail(VeltariErrorServerUnreachable, nullptr);
        }
        Json params;
        params["deviceIndex"] = Json(deviceIndex);
        const auto answer = exchange.Send(BuildRequest(kMethodGetDeviceInfo, std::move(params)));
        if (!answer) {
            return nullptr;
        }
        // Only the presence of "result" decides; a device the server does not have comes back without one.
        const Response& response = *answer;
        const Json& result = response.Result();
        if (result.IsNull()) {
            return Fail(VeltariErrorBadArgument, nullptr);
        }

        VeltariDeviceInfo* info = Retain(std::make_unique<VeltariDeviceInfo>());
        info->type = result.At("type").AsInt();
        info->physicalLayout = result.At("physicalLayout").AsInt();
        info->logicalLayout = result.At("logicalLayout").AsInt();
        info->capsMask = result.At("capsMask").AsInt();
        info->ledsCount = result.At("ledsCount").AsInt();
        info->model = RetainString(result.At("model").AsString());
        FillChannels(*info, result);
        StoreLastError(VeltariErrorSuccess);
        return info;
    });
}
