// The client against a hostile server. Each input is a run of exported calls, each answered with
// whatever the input says: any text, no answer at all, or a broken connection; key-press notifications
// of any text arrive in between. Checked: no crash, no hang (every call returns, every completion
// callback comes exactly once), and the invariants a caller relies on: the last error is one the call
// may give, returned records are complete and stay readable (ASan reports any that points at freed
// memory), and a failed get leaves the caller's array alone. Every few thousand inputs the library is
// unloaded and loaded again, which frees what it retained; every record handed out before is read once
// more just before that.
#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/client_state.h"
#include "json/json.h"
#include "transport/rpc_connection_interface.h"
#include "veltari.h"

namespace {

void Require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "broken invariant: %s\n", what);
    std::abort();
}

struct Reply {
    std::string text;
    bool breaks = false;
};

// What the hostile server will answer, shared by every connection the library makes.
struct Script {
    std::mutex mutex;
    std::deque<Reply> replies;
    sdk::NotificationHandler handler;  // the handler of the newest connection that installed one
};
Script* gScript = nullptr;

class HostileConnection final : public sdk::IRpcConnection {
public:
    ~HostileConnection() override { ClearNotificationHandler(); }

    bool Call(std::string_view request, std::string& response) override {
        response = Answer(request);
        return !response.empty();
    }
    std::string Answer(std::string_view request) {
        std::lock_guard<std::mutex> call(callMutex_);
        // Whatever the server does, what the library sends is one JSON object naming a method.
        const sdk::Json parsed = sdk::Json::Parse(request);
        Require(parsed.Type() == sdk::kJsonObject && parsed.At("method").Type() == sdk::kJsonString,
                "request is not an object with a method");
        if (broken_) return {};
        Reply reply;
        {
            std::lock_guard<std::mutex> lock(gScript->mutex);
            if (!gScript->replies.empty()) {
                reply = std::move(gScript->replies.front());
                gScript->replies.pop_front();
            } else {
                reply.text = "{}";
            }
        }
        if (reply.breaks) broken_ = true;
        return reply.breaks ? std::string() : reply.text;
    }
    void SetNotificationHandler(sdk::NotificationHandler handler) override {
        std::lock_guard<std::mutex> lock(gScript->mutex);
        hasHandler_ = static_cast<bool>(handler);
        gScript->handler = std::move(handler);
        owner_ = hasHandler_;
    }
    void ClearNotificationHandler() {
        std::lock_guard<std::mutex> lock(gScript->mutex);
        if (owner_) gScript->handler = nullptr;
        owner_ = hasHandler_ = false;
    }
    bool HasNotificationHandler() override { return hasHandler_; }
    bool IsBroken() override { return broken_; }

private:
    std::mutex callMutex_;
    bool broken_ = false;
    bool hasHandler_ = false;
    bool owner_ = false;
};

// Records handed out since the last reload, read again later.
std::vector<const VeltariDeviceInfo*> gDeviceInfos;
std::vector<const VeltariLedPositions*> gPositions;
std::vector<const char*> gVersions;

volatile std::uint64_t gSink = 0;

void ReadDeviceInfo(const VeltariDeviceInfo* info) {
    Require(info->model != nullptr, "device info without a model text");
    std::uint64_t sum = std::strlen(info->model) + info->type + info->ledsCount;
    Require(info->channelsCount >= -1, "negative channel count below -1");
    Require((info->channels != nullptr) == (info->channelsCount > 0), "channels and their count disagree");
    for (int i = 0; i < info->channelsCount; ++i) {
        const VeltariChannel& channel = info->channels[i];
        Require(channel.devicesCount >= -1, "negative device count below -1");
        Require((channel.devices != nullptr) == (channel.devicesCount > 0),
                "devices and their count disagree");
        sum += channel.totalLedsCount;
        for (int j = 0; j < channel.devicesCount; ++j)
            sum += channel.devices[j].type + channel.devices[j].deviceLedCount;
    }
    gSink = gSink + sum;
}

void ReadPositions(const VeltariLedPositions* positions) {
    Require(positions->positionsCount >= 0, "negative position count");
    Require(positions->positionsCount == 0 || positions->positions != nullptr, "positions missing");
    std::uint64_t sum = 0;
    for (int i = 0; i < positions->positionsCount; ++i) {
        const VeltariLedPosition& p = positions->positions[i];
        Require(p.ledId >= 1 && p.ledId <= 911, "position with an LED id outside 1..911");
        sum += static_cast<std::uint64_t>(p.top + p.left + p.height + p.width);
    }
    gSink = gSink + sum;
}

void ReadEverything() {
    for (const auto* info : gDeviceInfos) ReadDeviceInfo(info);
    for (const auto* positions : gPositions) ReadPositions(positions);
    for (const char* version : gVersions) gSink = gSink + std::strlen(version);
}

template <typename T>
void Keep(std::vector<T>& list, T item) {
    list.push_back(item);
}

void ReadRecent() {
    const std::size_t kRecent = 32;
    for (std::size_t i = gDeviceInfos.size() > kRecent ? gDeviceInfos.size() - kRecent : 0;
         i < gDeviceInfos.size(); ++i) {
        ReadDeviceInfo(gDeviceInfos[i]);
    }
    for (std::size_t i = gPositions.size() > kRecent ? gPositions.size() - kRecent : 0; i < gPositions.size();
         ++i) {
        ReadPositions(gPositions[i]);
    }
}

void InstallHostileServer() {
    sdk::SetConnectionFactory([](const std::string&) -> std::unique_ptr<sdk::IRpcConnection> {
        return std::make_unique<HostileConnection>();
    });
}

void Reload() {
    ReadEverything();
    sdk::UnloadClientState();
    gDeviceInfos.clear();
    gPositions.clear();
    gVersions.clear();
    {
        std::lock_guard<std::mutex> lock(gScript->mutex);
        gScript->replies.clear();
        gScript->handler = nullptr;
    }
    sdk::LoadClientState();
    InstallHostileServer();
}

// Completion callbacks: each must come exactly once.
struct Completion {
    std::mutex mutex;
    std::condition_variable done;
    int calls = 0;
    VeltariError error = VeltariErrorSuccess;
    bool seenError = false;
};

void OnComplete(void* context, bool, VeltariError error) {
    auto* completion = static_cast<Completion*>(context);
    // The error handed over is also this thread's last error.
    const bool errorSeen = VeltariGetLastError() == error;
    std::lock_guard<std::mutex> lock(completion->mutex);
    ++completion->calls;
    completion->error = error;
    completion->seenError = errorSeen;
    completion->done.notify_all();
}

void AwaitCompletion(Completion& completion) {
    std::unique_lock<std::mutex> lock(completion.mutex);
    const bool called =
        completion.done.wait_for(lock, std::chrono::seconds(5), [&] { return completion.calls > 0; });
    Require(called, "completion callback never came");
    Require(completion.seenError, "completion error differs from the worker's last error");
}

std::atomic<int> gKeyPresses{0};
void OnKeyPress(void*, VeltariKeyId, bool) {
    ++gKeyPresses;
}

std::string ResponseText(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0: {
            // A well-formed envelope around whatever the input says, to reach past the parser quickly.
            std::string text = "{\"errorCode\":" + std::to_string(input.ConsumeIntegralInRange(-3, 12));
            text += ",\"result\":" + input.ConsumeRandomLengthString(256);
            return text + "}";
        }
        case 1:
            return "{\"ledsColors\":\"" + input.ConsumeRandomLengthString(256) + "\"}";
        default:
            return input.ConsumeRandomLengthString(1024);
    }
}

void QueueReply(FuzzedDataProvider& input) {
    Reply reply;
    const int fate = input.ConsumeIntegralInRange(0, 15);
    if (fate == 0) {
        reply.breaks = true;
    } else if (fate != 1) {  // 1: an empty answer on a live connection
        reply.text = ResponseText(input);
    }
    std::lock_guard<std::mutex> lock(gScript->mutex);
    gScript->replies.push_back(std::move(reply));
}

std::vector<VeltariLedColor> Colors(FuzzedDataProvider& input) {
    std::vector<VeltariLedColor> colors(input.ConsumeIntegralInRange<std::size_t>(0, 8));
    for (auto& c : colors) {
        c.ledId = input.ConsumeBool() ? input.ConsumeIntegralInRange(0, 911) : input.ConsumeIntegral<int>();
        c.r = input.ConsumeIntegralInRange(-1, 256);
        c.g = input.ConsumeIntegralInRange(0, 255);
        c.b = input.ConsumeIntegralInRange(0, 255);
    }
    return colors;
}

bool SameColors(const std::vector<VeltariLedColor>& a, const std::vector<VeltariLedColor>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof a[0]) == 0);
}

void RequireLibraryError(std::initializer_list<int> allowed) {
    const int error = VeltariGetLastError();
    for (int e : allowed) {
        if (e == error) return;
    }
    Require(false, "last error outside what the call may give");
}

void RunOne(FuzzedDataProvider& input) {
    int op = input.ConsumeIntegralInRange(0, 21);
    // Each asynchronous call waits for a worker pass of 10 ms; kept rare so the fuzzer keeps its pace.
    if ((op == 11 || op == 12) && input.ConsumeIntegralInRange(0, 7) != 0) op = 6;
    const int index = input.ConsumeIntegralInRange(-2, 8);
    if (op != 21) QueueReply(input);
    switch (op) {
        case 0: {
            const VeltariProtocolDetails details = VeltariPerformProtocolHandshake();
            RequireLibraryError({0, 1});
            Require(
                details.sdkVersion != nullptr && std::strcmp(details.sdkVersion, VELTARI_VERSION_STRING) == 0,
                "sdk version");
            Require(details.sdkProtocolVersion == 9, "sdk protocol version");
            Require((details.serverVersion != nullptr) == (VeltariGetLastError() == 0),
                    "server version presence");
            if (details.serverVersion) Keep(gVersions, details.serverVersion);
            break;
        }
        case 1:
            if (VeltariGetDeviceCount() == -1) Require(VeltariGetLastError() != 0, "-1 without an error");
            break;
        case 2:
            if (const VeltariDeviceInfo* info = VeltariGetDeviceInfo(index)) {
                RequireLibraryError({0});
                ReadDeviceInfo(info);
                Keep(gDeviceInfos, info);
            }
            break;
        case 3:
        case 4: {
            const VeltariLedPositions* positions =
                op == 3 ? VeltariGetLedPositions() : VeltariGetLedPositionsByDeviceIndex(index);
            if (positions) {
                RequireLibraryError({0});
                ReadPositions(positions);
                Keep(gPositions, positions);
            }
            break;
        }
        case 5:
            VeltariGetLedIdForKeyName(static_cast<char>(input.ConsumeIntegral<std::uint8_t>()));
            break;
        case 6: {
            const auto colors = Colors(input);
            VeltariSetLedsColors(static_cast<int>(colors.size()), colors.data());
            break;
        }
        case 7:
        case 8: {
            auto colors = Colors(input);
            const auto before = colors;
            const bool ok = op == 7 ? VeltariGetLedsColors(static_cast<int>(colors.size()), colors.data())
                                    : VeltariGetLedsColorsByDeviceIndex(
                                          index, static_cast<int>(colors.size()), colors.data());
            if (!ok) Require(SameColors(colors, before), "a failed get changed the caller's colours");
            for (std::size_t i = 0; i < colors.size(); ++i) {
                Require(colors[i].ledId == before[i].ledId, "a get changed an LED id");
            }
            break;
        }
        case 9: {
            const auto colors = Colors(input);
            VeltariSetLedsColorsBufferByDeviceIndex(index, static_cast<int>(colors.size()), colors.data());
            break;
        }
        case 10:
            VeltariSetLedsColorsFlushBuffer();
            break;
        case 11: {
            const auto colors = Colors(input);
            Completion completion;
            if (VeltariSetLedsColorsAsync(static_cast<int>(colors.size()), colors.data(), OnComplete,
                                          &completion)) {
                AwaitCompletion(completion);
            } else {
                std::lock_guard<std::mutex> lock(gScript->mutex);
                gScript->replies.clear();
            }
            break;
        }
        case 12: {
            Completion completion;
            if (VeltariSetLedsColorsFlushBufferAsync(OnComplete, &completion)) {
                AwaitCompletion(completion);
            } else {
                std::lock_guard<std::mutex> lock(gScript->mutex);
                gScript->replies.clear();
            }
            break;
        }
        case 13:
            VeltariRequestControl(static_cast<VeltariAccessMode>(input.ConsumeIntegralInRange(0, 1)));
            break;
        case 14:
            VeltariReleaseControl(static_cast<VeltariAccessMode>(input.ConsumeIntegralInRange(0, 1)));
            break;
        case 15:
            VeltariSetLayerPriority(input.ConsumeIntegralInRange(-1, 256));
            break;
        case 16:
        case 17: {
            const auto property =
                static_cast<VeltariDevicePropertyId>(input.ConsumeIntegral<std::uint16_t>());
            if (op == 16) {
                bool value = true;
                bool sentinel = value;
                if (!VeltariGetBoolPropertyValue(index, property, &value)) {
                    Require(value == sentinel, "a failed getter wrote its value");
                }
            } else {
                int value = 0x5A5A5A5A;
                if (!VeltariGetInt32PropertyValue(index, property, &value)) {
                    Require(value == 0x5A5A5A5A, "a failed getter wrote its value");
                }
            }
            break;
        }
        case 18:
            VeltariRegisterKeypressCallback(input.ConsumeBool() ? OnKeyPress : nullptr, nullptr);
            break;
        case 19:
        case 20:
            VeltariGetDeviceCount();
            break;
        case 21: {
            // A notification, delivered the way the connection's dispatcher would.
            const std::string text = input.ConsumeRandomLengthString(256);
            sdk::NotificationHandler handler;
            {
                std::lock_guard<std::mutex> lock(gScript->mutex);
                handler = gScript->handler;
            }
            if (handler) handler(text);
            break;
        }
    }
    // Whatever was queued and not asked for must not answer a later call.
    std::lock_guard<std::mutex> lock(gScript->mutex);
    gScript->replies.clear();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gScript = new Script;
    sdk::LoadClientState();
    InstallHostileServer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::uint64_t runs = 0;
    if (++runs % 4096 == 0) Reload();
    FuzzedDataProvider input(data, size);
    // Start from a live connection that passed a handshake, so the input reaches every call.
    {
        std::lock_guard<std::mutex> lock(gScript->mutex);
        gScript->replies.push_back(Reply{"{\"serverVersion\":\"fuzz\",\"serverProtocolVersion\":10}", false});
    }
    VeltariPerformProtocolHandshake();
    {
        std::lock_guard<std::mutex> lock(gScript->mutex);
        gScript->replies.clear();
    }
    for (int step = 0; step < 16 && input.remaining_bytes() > 0; ++step) RunOne(input);
    ReadRecent();
    return 0;
}
