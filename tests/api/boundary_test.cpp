// Whatever goes wrong inside the library (memory or threads it cannot have) comes out of an exported
// function as a failure and a last error, never as an exception into the application's C code, and
// leaves nothing locked.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include "api_fixture.h"

namespace sdk::testing {
namespace {

// Answers like a protocol 9 server until told to throw from every exchange.
class ThrowingConnection : public IRpcConnection {
public:
    explicit ThrowingConnection(std::atomic<bool>& throwing) : throwing_(throwing) {}
    bool Call(std::string_view request, std::string& response) override {
        if (throwing_) throw std::bad_alloc();
        const bool handshake = request.find("Handshake") != std::string_view::npos;
        response = handshake ? kServerAnswer : R"({"errorCode":0,"result":4})";
        return true;
    }
    void SetNotificationHandler(NotificationHandler) override {}
    bool HasNotificationHandler() override { return false; }
    bool IsBroken() override { return false; }

private:
    std::atomic<bool>& throwing_;
};

void KeyCallback(void*, VeltariKeyId, bool) {}

constexpr auto kBoolProperty = static_cast<VeltariDevicePropertyId>(VeltariPropertyTypeBool | 1);
constexpr auto kIntProperty = static_cast<VeltariDevicePropertyId>(VeltariPropertyTypeInt32 | 1);

using Boundary = ApiTest;

TEST_F(Boundary, AHandshakeThatCannotMakeItsConnectionReportsAnUnreachableServer) {
    server.OnConnect([] { throw std::bad_alloc(); });
    const VeltariProtocolDetails failed = VeltariPerformProtocolHandshake();
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    ASSERT_NE(failed.sdkVersion, nullptr);
    EXPECT_STREQ(failed.sdkVersion, VELTARI_VERSION_STRING);
    EXPECT_EQ(failed.serverVersion, nullptr);
    EXPECT_EQ(failed.serverProtocolVersion, 0);

    // The connection mutex was released by the unwinding: the next handshake, on any thread, works.
    server.OnConnect([] {});
    FinishesOrAbort(
        [&] {
            server.Queue(kServerAnswer);
            EXPECT_EQ(VeltariPerformProtocolHandshake().serverProtocolVersion, 9);
            EXPECT_EQ(LastError(), VeltariErrorSuccess);
        },
        "a handshake after a failed one");
}

TEST_F(Boundary, EveryExchangeThatThrowsEndsInTheFunctionsFailureResult) {
    std::atomic<bool> throwing{false};
    SetConnectionFactory([&](const std::string&) { return std::make_unique<ThrowingConnection>(throwing); });
    ASSERT_EQ(VeltariPerformProtocolHandshake().serverProtocolVersion, 9);
    throwing = true;

    VeltariLedColor colors[2] = {{12, 1, 2, 3}, {13, 4, 5, 6}};
    bool flag = true;
    int number = 7;
    const std::pair<const char*, std::function<bool()>> calls[] = {
        {"device count", [] { return VeltariGetDeviceCount() == -1; }},
        {"device info", [] { return VeltariGetDeviceInfo(0) == nullptr; }},
        {"positions", [] { return VeltariGetLedPositions() == nullptr; }},
        {"positions by device", [] { return VeltariGetLedPositionsByDeviceIndex(0) == nullptr; }},
        {"key name", [] { return VeltariGetLedIdForKeyName('a') == 0; }},
        {"set colours", [&] { return !VeltariSetLedsColors(2, colors); }},
        {"get colours", [&] { return !VeltariGetLedsColors(2, colors); }},
        {"get colours by device", [&] { return !VeltariGetLedsColorsByDeviceIndex(0, 2, colors); }},
        {"request control", [] { return !VeltariRequestControl(VeltariAccessModeLightingControl); }},
        {"release control", [] { return !VeltariReleaseControl(VeltariAccessModeLightingControl); }},
        {"layer priority", [] { return !VeltariSetLayerPriority(3); }},
        {"bool property", [&] { return !VeltariGetBoolPropertyValue(0, kBoolProperty, &flag); }},
        {"int property", [&] { return !VeltariGetInt32PropertyValue(0, kIntProperty, &number); }},
        {"key-press registration", [] { return !VeltariRegisterKeypressCallback(KeyCallback, nullptr); }},
    };
    for (const auto& [what, call] : calls) {
        SCOPED_TRACE(what);
        StoreLastError(VeltariErrorSuccess);
        EXPECT_TRUE(call());
        EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    }
    EXPECT_EQ(colors[0].r, 1) << "a failed read leaves the caller's colours alone";

    // A handshake that throws gives the library's fields and leaves the flag and mutex usable.
    EXPECT_EQ(VeltariPerformProtocolHandshake().serverProtocolVersion, 0);
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    // ... and forgets the server's protocol, as a handshake without an answer does.
    EXPECT_FALSE(VeltariSetLedsColorsFlushBuffer());
    EXPECT_EQ(LastError(), VeltariErrorServerProtocolTooOld);
    throwing = false;
    FinishesOrAbort([] { EXPECT_EQ(VeltariGetDeviceCount(), 4); }, "a call after throwing exchanges");
}

}  // namespace
}  // namespace sdk::testing
