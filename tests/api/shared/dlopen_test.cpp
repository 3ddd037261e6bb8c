// The shipped shared library, loaded and unloaded at run time the way applications do it. Built
// against the library's path, so it needs the complete library (every exported function) to build.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "support/scripted_server.h"
#include "veltari.h"

namespace {

constexpr const char* kExported[] = {
    "VeltariPerformProtocolHandshake", "VeltariGetLastError", "VeltariGetDeviceCount",
    "VeltariGetDeviceInfo", "VeltariGetLedPositions", "VeltariGetLedPositionsByDeviceIndex",
    "VeltariGetLedIdForKeyName", "VeltariSetLedsColors", "VeltariGetLedsColors",
    "VeltariGetLedsColorsByDeviceIndex", "VeltariSetLedsColorsBufferByDeviceIndex",
    "VeltariSetLedsColorsFlushBuffer", "VeltariSetLedsColorsAsync", "VeltariSetLedsColorsFlushBufferAsync",
    "VeltariRequestControl", "VeltariReleaseControl", "VeltariSetLayerPriority",
    "VeltariGetBoolPropertyValue", "VeltariGetInt32PropertyValue", "VeltariRegisterKeypressCallback",
};

template <class Function>
Function* Resolve(void* library, const char* name) {
    return reinterpret_cast<Function*>(dlsym(library, name));
}

TEST(SharedLibrary, LoadsWithEveryFunctionAndUnloadsCleanly) {
    for (int round = 0; round < 2; ++round) {
        void* library = dlopen(VELTARI_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        for (const char* name : kExported) EXPECT_NE(dlsym(library, name), nullptr) << name;
        EXPECT_EQ(dlsym(library, "_ZN3sdk5StateEv"), nullptr) << "internal functions stay hidden";

        auto lastError = Resolve<decltype(VeltariGetLastError)>(library, "VeltariGetLastError");
        auto deviceCount = Resolve<decltype(VeltariGetDeviceCount)>(library, "VeltariGetDeviceCount");
        ASSERT_NE(lastError, nullptr);
        ASSERT_NE(deviceCount, nullptr);
        EXPECT_EQ(deviceCount(), -1) << "round " << round;
        EXPECT_EQ(lastError(), VeltariErrorNoHandshake) << "round " << round;

        ASSERT_EQ(dlclose(library), 0) << dlerror();
        EXPECT_EQ(dlopen(VELTARI_SHARED_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr)
            << "nothing may keep the library loaded after the last dlclose";
    }
}

// Unloading with a live connection closes it: the server sees the client go away.
TEST(SharedLibrary, UnloadAfterAHandshakeClosesTheConnection) {
    sdk::test::ScriptedServer server;
    server.OnMethod("VeltariGetDeviceCount", R"({"result":4})");
    ASSERT_TRUE(server.Start());

    void* library = dlopen(VELTARI_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto handshake = Resolve<decltype(VeltariPerformProtocolHandshake)>(library, "VeltariPerformProtocolHandshake");
    auto deviceCount = Resolve<decltype(VeltariGetDeviceCount)>(library, "VeltariGetDeviceCount");
    ASSERT_NE(handshake, nullptr);
    ASSERT_NE(deviceCount, nullptr);
    EXPECT_STREQ(handshake().serverVersion, "4.0.0");
    EXPECT_EQ(deviceCount(), 4);

    ASSERT_EQ(dlclose(library), 0) << dlerror();
    EXPECT_TRUE(server.WaitForSessionEnd(0));
    EXPECT_TRUE(server.Session(0).clientClosedRequests);
}

// What the library's own threads did, counted in the test program, which outlives the library.
class Activity {
public:
    static void OnDone(void* context, bool, VeltariError) { static_cast<Activity*>(context)->Count(false); }
    static void OnKey(void* context, VeltariKeyId, bool) { static_cast<Activity*>(context)->Count(true); }

    bool WaitFor(int completions, int keys) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30),
                                 [&] { return completions_ >= completions && keys_ >= keys; });
    }

private:
    void Count(bool key) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++(key ? keys_ : completions_);
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    int completions_ = 0;
    int keys_ = 0;
};

// Unloading while both asynchronous workers and the key-press delivery run, with more work queued, stops
// them all before the library goes; the program keeps running and can load the library again.
TEST(SharedLibrary, UnloadWhileWorkersAndKeyPressDeliveryRun) {
    sdk::test::ScriptedServer server;
    server.OnMethod("VeltariSetLedsColors", R"({"result":true})");
    server.OnMethod("VeltariSetLedsColorsFlushBuffer", R"({"result":true})");
    ASSERT_TRUE(server.Start());
    std::atomic<bool> pressing{true};
    std::thread presser([&] {
        while (pressing) {
            server.Notify(R"({"vendorKey":5,"pressed":true})");
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    for (std::size_t round = 0; round < 2; ++round) {
        Activity activity;
        void* library = dlopen(VELTARI_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        auto handshake =
            Resolve<decltype(VeltariPerformProtocolHandshake)>(library, "VeltariPerformProtocolHandshake");
        auto registerKeys =
            Resolve<decltype(VeltariRegisterKeypressCallback)>(library, "VeltariRegisterKeypressCallback");
        auto setAsync = Resolve<decltype(VeltariSetLedsColorsAsync)>(library, "VeltariSetLedsColorsAsync");
        auto buffer = Resolve<decltype(VeltariSetLedsColorsBufferByDeviceIndex)>(
            library, "VeltariSetLedsColorsBufferByDeviceIndex");
        auto flushAsync = Resolve<decltype(VeltariSetLedsColorsFlushBufferAsync)>(
            library, "VeltariSetLedsColorsFlushBufferAsync");
        ASSERT_TRUE(handshake && registerKeys && setAsync && buffer && flushAsync);

        ASSERT_NE(handshake().serverVersion, nullptr);
        ASSERT_TRUE(registerKeys(Activity::OnKey, &activity));
        const VeltariLedColor color{1, 2, 3, 4};
        ASSERT_TRUE(setAsync(1, &color, Activity::OnDone, &activity));
        ASSERT_TRUE(buffer(0, 1, &color));
        ASSERT_TRUE(flushAsync(Activity::OnDone, &activity));
        ASSERT_TRUE(activity.WaitFor(2, 1)) << "both workers and the key-press delivery are running";
        // Work still queued at unload: part of it may be carried, the rest is dropped.
        for (int i = 0; i < 50; ++i) {
            setAsync(1, &color, Activity::OnDone, &activity);
            flushAsync(Activity::OnDone, &activity);
        }

        ASSERT_EQ(dlclose(library), 0) << dlerror();
        EXPECT_EQ(dlopen(VELTARI_SHARED_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr);
        EXPECT_TRUE(server.WaitForSessionEnd(round));
    }
    pressing = false;
    presser.join();
}

}  // namespace
