// The shipped shared library, loaded and unloaded at run time the way applications do it. Built
// against the library's path, so it needs the complete library (every exported function) to build.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
