// Device descriptions: one record per distinct answer, kept with everything it points to until unload.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "api/boundary.h"
#include "api/client_state.h"
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

// A description as read from "result", before anything is kept.
struct DeviceInfoAnswer {
    VeltariDeviceInfo fields{};                 // model and channels stay null here
    std::string_view model;                     // every byte of the text; the caller sees up to a NUL
    std::vector<VeltariChannel> channels;       // their devices stay null here
    std::vector<VeltariChannelDevice> devices;  // of every channel, one channel after another

    std::string_view VisibleModel() const { return model.substr(0, model.find('\0')); }
};

DeviceInfoAnswer ReadAnswer(const Json& result) {
    DeviceInfoAnswer answer;
    VeltariDeviceInfo& fields = answer.fields;
    fields.type = result.At("type").AsInt();
    fields.physicalLayout = result.At("physicalLayout").AsInt();
    fields.logicalLayout = result.At("logicalLayout").AsInt();
    fields.capsMask = result.At("capsMask").AsInt();
    fields.ledsCount = result.At("ledsCount").AsInt();
    answer.model = result.At("model").AsStringView();
    if (!result.HasMember("channels")) {
        return answer;
    }
    const Json& channels = result.At("channels");
    const int count = ArrayLength(channels);
    fields.channelsCount = count;
    answer.channels.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const Json& channel = channels.At(i);
        VeltariChannel read{};
        read.totalLedsCount = channel.At("totalLedsCount").AsInt();
        const Json& devices = channel.At("devices");
        read.devicesCount = ArrayLength(devices);
        for (int j = 0; j < read.devicesCount; ++j) {
            const Json& device = devices.At(j);
            answer.devices.push_back({device.At("type").AsInt(), device.At("deviceLedCount").AsInt()});
        }
        answer.channels.push_back(read);
    }
    return answer;
}

std::uint64_t HashOf(const DeviceInfoAnswer& answer) {
    const VeltariDeviceInfo& fields = answer.fields;
    ContentHash hash;
    for (int value : {fields.type, fields.physicalLayout, fields.logicalLayout, fields.capsMask,
                      fields.ledsCount, fields.channelsCount}) {
        hash.Add(static_cast<std::int64_t>(value));
    }
    hash.Add(answer.VisibleModel());
    for (const VeltariChannel& channel : answer.channels) {
        hash.Add(static_cast<std::int64_t>(channel.totalLedsCount));
        hash.Add(static_cast<std::int64_t>(channel.devicesCount));
    }
    for (const VeltariChannelDevice& device : answer.devices) {
        hash.Add(static_cast<std::int64_t>(device.type));
        hash.Add(static_cast<std::int64_t>(device.deviceLedCount));
    }
    return hash.Value();
}

// True when a kept record shows the caller exactly what the answer would.
bool SameAsKept(const DeviceInfoAnswer& answer, const VeltariDeviceInfo& kept) {
    const VeltariDeviceInfo& fields = answer.fields;
    if (kept.type != fields.type || kept.physicalLayout != fields.physicalLayout ||
        kept.logicalLayout != fields.logicalLayout || kept.capsMask != fields.capsMask ||
        kept.ledsCount != fields.ledsCount || kept.channelsCount != fields.channelsCount ||
        std::string_view(kept.model) != answer.VisibleModel()) {
        return false;
    }
    const VeltariChannelDevice* devices = answer.devices.data();
    for (std::size_t i = 0; i < answer.channels.size(); ++i) {
        const VeltariChannel& channel = answer.channels[i];
        const VeltariChannel& keptChannel = kept.channels[i];
        if (keptChannel.totalLedsCount != channel.totalLedsCount ||
            keptChannel.devicesCount != channel.devicesCount ||
            !std::equal(devices, devices + channel.devicesCount, keptChannel.devices,
                        [](const VeltariChannelDevice& a, const VeltariChannelDevice& b) {
                            return a.type == b.type && a.deviceLedCount == b.deviceLedCount;
                        })) {
            return false;
        }
        devices += channel.devicesCount;
    }
    return true;
}

// A new record for the answer, kept with its text and arrays until unload.
VeltariDeviceInfo* Keep(const DeviceInfoAnswer& answer) {
    VeltariDeviceInfo* info = Retain(std::make_unique<VeltariDeviceInfo>(answer.fields));
    info->model = RetainString(answer.model);
    if (answer.channels.empty()) {
        return info;
    }
    VeltariChannel* channels = Retain(std::make_unique<VeltariChannel[]>(answer.channels.size()));
    const VeltariChannelDevice* devices = answer.devices.data();
    for (std::size_t i = 0; i < answer.channels.size(); ++i) {
        channels[i] = answer.channels[i];
        const int count = channels[i].devicesCount;
        if (count > 0) {
            auto array = std::make_unique<VeltariChannelDevice[]>(static_cast<std::size_t>(count));
            std::copy(devices, devices + count, array.get());
            channels[i].devices = Retain(std::move(array));
            devices += count;
        }
    }
    info->channels = channels;
    return info;
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
        const auto answer = exchange.SendRequest(kMethodGetDeviceInfo, {{"deviceIndex", deviceIndex}});
        if (!answer) {
            return nullptr;
        }
        // Only the presence of "result" decides; a device the server does not have comes back without one.
        const Response& response = *answer;
        const Json& result = response.Result();
        if (result.IsNull()) {
            return Fail(VeltariErrorBadArgument, nullptr);
        }

        // An answer equal to one already kept gives back that record, so asking every frame stays flat.
        const DeviceInfoAnswer read = ReadAnswer(result);
        const std::uint64_t hash = HashOf(read);
        KeptRecordIndex<VeltariDeviceInfo>& index = State().retention.deviceInfoIndex;
        VeltariDeviceInfo* info =
            index.Find(hash, [&](const VeltariDeviceInfo& kept) { return SameAsKept(read, kept); });
        if (info == nullptr) {
            info = Keep(read);
            index.Add(hash, info);
        }
        StoreLastError(VeltariErrorSuccess);
        return info;
    });
}
