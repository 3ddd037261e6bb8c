// The reference server as applications meet it: through the library's exported functions, over the
// real pipes.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "api/lifetime.h"
#include "served_server.h"
#include "veltari.h"

namespace sdk::test {
namespace {

class ContractTest : public ::testing::Test {
protected:
    void Serve(ServerIdentity identity = {}) {
        served_.reset();  // one server at a time: the rendezvous names are fixed
        served_ = std::make_unique<ServedLightingServer>(std::move(identity));
        ASSERT_TRUE(served_->Start());
    }
    // A handshake that reaches the current server; reconnects when an earlier server went away.
    VeltariProtocolDetails Handshake() {
        const VeltariProtocolDetails details = VeltariPerformProtocolHandshake();
        EXPECT_EQ(VeltariGetLastError(), VeltariErrorSuccess);
        EXPECT_NE(details.serverVersion, nullptr);
        return details;
    }
    // The library's connection goes with each test, so that its notification threads are joined
    // rather than left behind when the process ends.
    void TearDown() override {
        UnloadClientState();
        LoadClientState();
        served_.reset();
    }

    const DeviceCatalog& Catalog() { return served_->Server().Catalog(); }
    VeltariError LastError() { return VeltariGetLastError(); }

    std::unique_ptr<ServedLightingServer> served_;
};

TEST_F(ContractTest, HandshakeReportsTheServersIdentity) {
    Serve(ServerIdentity{"3.5.1-test", 9, false});
    const VeltariProtocolDetails details = Handshake();
    ASSERT_NE(details.serverVersion, nullptr);
    EXPECT_STREQ(details.serverVersion, "3.5.1-test");
    EXPECT_EQ(details.serverProtocolVersion, 9);
    EXPECT_FALSE(details.breakingChanges);
    EXPECT_EQ(details.sdkProtocolVersion, 9);
    EXPECT_EQ(VeltariGetDeviceCount(), 4);
    EXPECT_EQ(VeltariGetLastError(), VeltariErrorSuccess);
}

TEST_F(ContractTest, TheReportedProtocolSelectsTheLibrarysOlderAndNewerPaths) {
    const struct {
        int protocol;
        bool declared;
        bool expected;
    } cases[] = {{8, false, true}, {7, false, false}, {12, true, true}, {12, false, false}, {10, true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.protocol);
        Serve(ServerIdentity{"p", c.protocol, c.declared});
        const VeltariProtocolDetails details = Handshake();
        EXPECT_EQ(details.serverProtocolVersion, c.protocol);
        EXPECT_EQ(details.breakingChanges, c.expected);
        EXPECT_EQ(VeltariGetDeviceCount(), 4);
    }
}

TEST_F(ContractTest, AServerThatStopsIsReportedAndFoundAgainByTheNextHandshake) {
    Serve();
    Handshake();
    ASSERT_EQ(VeltariGetDeviceCount(), 4);
    served_.reset();
    EXPECT_EQ(VeltariGetDeviceCount(), -1);
    EXPECT_EQ(VeltariGetLastError(), VeltariErrorServerUnreachable);
    Serve();
    Handshake();
    EXPECT_EQ(VeltariGetDeviceCount(), 4);
}

TEST_F(ContractTest, DeviceInfoDescribesEveryDeviceAndRefusesOthers) {
    Serve();
    Handshake();
    const int count = VeltariGetDeviceCount();
    ASSERT_EQ(count, Catalog().DeviceCount());
    for (int i = 0; i < count; ++i) {
        SCOPED_TRACE(i);
        const DeviceDescription& expected = *Catalog().Device(i);
        const VeltariDeviceInfo* info = VeltariGetDeviceInfo(i);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(LastError(), VeltariErrorSuccess);
        EXPECT_EQ(info->type, expected.type);
        EXPECT_STREQ(info->model, expected.model.c_str());
        EXPECT_EQ(info->physicalLayout, expected.physicalLayout);
        EXPECT_EQ(info->logicalLayout, expected.logicalLayout);
        EXPECT_EQ(info->capsMask, expected.capsMask);
        EXPECT_EQ(info->ledsCount, static_cast<int>(expected.leds.size()));
        ASSERT_EQ(info->channelsCount, static_cast<int>(expected.channels.size()));
        for (int c = 0; c < info->channelsCount; ++c) {
            const ChannelDescription& channel = expected.channels[static_cast<std::size_t>(c)];
            EXPECT_EQ(info->channels[c].totalLedsCount, channel.TotalLedCount());
            ASSERT_EQ(info->channels[c].devicesCount, static_cast<int>(channel.devices.size()));
            for (int d = 0; d < info->channels[c].devicesCount; ++d) {
                EXPECT_EQ(info->channels[c].devices[d].type,
                          channel.devices[static_cast<std::size_t>(d)].type);
                EXPECT_EQ(info->channels[c].devices[d].deviceLedCount,
                          channel.devices[static_cast<std::size_t>(d)].ledCount);
            }
        }
    }
    EXPECT_EQ(VeltariGetDeviceInfo(count), nullptr);
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
}

TEST_F(ContractTest, PositionsAndKeyNames) {
    Serve();
    Handshake();
    const VeltariLedPositions* keyboard = VeltariGetLedPositionsByDeviceIndex(0);
    ASSERT_NE(keyboard, nullptr);
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    const DeviceDescription& expected = *Catalog().Device(0);
    ASSERT_EQ(keyboard->positionsCount, static_cast<int>(expected.leds.size()));
    for (int i = 0; i < keyboard->positionsCount; ++i) {
        const LedDescription& led = expected.leds[static_cast<std::size_t>(i)];
        EXPECT_EQ(keyboard->positions[i].ledId, led.ledId);
        EXPECT_DOUBLE_EQ(keyboard->positions[i].top, led.top);
        EXPECT_DOUBLE_EQ(keyboard->positions[i].left, led.left);
        EXPECT_DOUBLE_EQ(keyboard->positions[i].height, led.height);
        EXPECT_DOUBLE_EQ(keyboard->positions[i].width, led.width);
    }
    EXPECT_EQ(VeltariGetLedPositionsByDeviceIndex(Catalog().DeviceCount()), nullptr);
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);

    const VeltariLedPositions* all = VeltariGetLedPositions();
    ASSERT_NE(all, nullptr);
    std::set<int> ids;
    for (int i = 0; i < all->positionsCount; ++i) ids.insert(all->positions[i].ledId);
    std::size_t total = 0;
    for (const auto& device : Catalog().Devices()) total += device.leds.size();
    EXPECT_EQ(ids.size(), total);

    for (char c = 'A'; c <= 'Z'; ++c) {
        const int id = VeltariGetLedIdForKeyName(c);
        EXPECT_EQ(LastError(), VeltariErrorSuccess);
        EXPECT_EQ(id, Catalog().LedIdForKeyName(c)) << c;
        EXPECT_NE(id, 0) << c;
        EXPECT_EQ(VeltariGetLedIdForKeyName(static_cast<char>(c - 'A' + 'a')), id) << c;
    }
}

TEST_F(ContractTest, ColoursAreSetAndReadBack) {
    Serve();
    Handshake();
    const int w = VeltariGetLedIdForKeyName('W');
    const int mouseLed = Catalog().Device(1)->leds[0].ledId;
    const VeltariLedColor set[] = {{w, 255, 0, 0}, {mouseLed, 1, 2, 3}};
    EXPECT_TRUE(VeltariSetLedsColors(2, set));
    EXPECT_EQ(LastError(), VeltariErrorSuccess);

    VeltariLedColor get[] = {{mouseLed, -1, -1, -1}, {w, 0, 0, 0}};
    ASSERT_TRUE(VeltariGetLedsColors(2, get));
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_EQ(get[0].r * 65536 + get[0].g * 256 + get[0].b, 0x010203);
    EXPECT_EQ(get[1].r, 255);

    VeltariLedColor byDevice[] = {{mouseLed, 0, 0, 0}};
    ASSERT_TRUE(VeltariGetLedsColorsByDeviceIndex(1, 1, byDevice));
    EXPECT_EQ(byDevice[0].b, 3);

    // LEDs the server does not have, or not on the device named.
    const VeltariLedColor unknown[] = {{900, 1, 1, 1}};
    EXPECT_FALSE(VeltariSetLedsColors(1, unknown));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    VeltariLedColor unknownGet[] = {{900, 7, 7, 7}};
    EXPECT_FALSE(VeltariGetLedsColors(1, unknownGet));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    EXPECT_EQ(unknownGet[0].r, 7);
    VeltariLedColor wrongDevice[] = {{w, 0, 0, 0}};
    EXPECT_FALSE(VeltariGetLedsColorsByDeviceIndex(1, 1, wrongDevice));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    EXPECT_FALSE(VeltariGetLedsColorsByDeviceIndex(7, 1, wrongDevice));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
}

TEST_F(ContractTest, ControlLayerPriorityAndRelease) {
    Serve();
    Handshake();
    const int e = VeltariGetLedIdForKeyName('E');
    EXPECT_TRUE(VeltariSetLayerPriority(255));
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_TRUE(VeltariRequestControl(VeltariAccessModeLightingControl));
    EXPECT_EQ(served_->Server().TakeSnapshot().controlHolder.has_value(), true);
    const VeltariLedColor colour[] = {{e, 0, 9, 0}};
    ASSERT_TRUE(VeltariSetLedsColors(1, colour));
    EXPECT_TRUE(VeltariReleaseControl(VeltariAccessModeLightingControl));
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_FALSE(served_->Server().TakeSnapshot().controlHolder.has_value());
    // Giving back the lighting took this application's colours away.
    VeltariLedColor get[] = {{e, 5, 5, 5}};
    ASSERT_TRUE(VeltariGetLedsColors(1, get));
    EXPECT_EQ(get[0].g, 0);
}

TEST_F(ContractTest, PropertiesOfBothKinds) {
    Serve();
    Handshake();
    bool flag = false;
    EXPECT_TRUE(VeltariGetBoolPropertyValue(2, static_cast<VeltariDevicePropertyId>(0x1002), &flag));
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_TRUE(flag);
    int value = 0;
    EXPECT_TRUE(VeltariGetInt32PropertyValue(1, static_cast<VeltariDevicePropertyId>(0x2004), &value));
    EXPECT_EQ(value, 1600);
    value = -1;
    EXPECT_FALSE(VeltariGetInt32PropertyValue(0, static_cast<VeltariDevicePropertyId>(0x2004), &value));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    EXPECT_EQ(value, -1);
    EXPECT_FALSE(VeltariGetBoolPropertyValue(9, static_cast<VeltariDevicePropertyId>(0x1001), &flag));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
}

TEST_F(ContractTest, AnOlderServersProtocolKeepsNewerFunctionsFromIt) {
    Serve(ServerIdentity{"old", 3, false});
    Handshake();
    const int a = VeltariGetLedIdForKeyName('A');
    ASSERT_NE(a, 0);
    VeltariLedColor get[] = {{a, 0, 0, 0}};
    EXPECT_FALSE(VeltariGetLedsColors(1, get));
    EXPECT_EQ(LastError(), VeltariErrorServerProtocolTooOld);
    EXPECT_FALSE(VeltariSetLayerPriority(3));
    EXPECT_EQ(LastError(), VeltariErrorServerProtocolTooOld);
    // What protocol 3 has still works.
    EXPECT_NE(VeltariGetLedPositionsByDeviceIndex(0), nullptr);
    const VeltariLedColor set[] = {{a, 1, 1, 1}};
    EXPECT_TRUE(VeltariSetLedsColors(1, set));
    EXPECT_TRUE(VeltariReleaseControl(VeltariAccessModeLightingControl));
}

TEST_F(ContractTest, BufferedColoursOfSeveralDevicesArriveInOneFlush) {
    Serve();
    Handshake();
    const int a = VeltariGetLedIdForKeyName('A');
    const int strip = Catalog().Device(3)->leds[5].ledId;
    const VeltariLedColor keyboard[] = {{a, 10, 20, 30}};
    const VeltariLedColor controller[] = {{strip, 40, 50, 60}};
    ASSERT_TRUE(VeltariSetLedsColorsBufferByDeviceIndex(0, 1, keyboard));
    ASSERT_TRUE(VeltariSetLedsColorsBufferByDeviceIndex(3, 1, controller));
    EXPECT_TRUE(VeltariSetLedsColorsFlushBuffer());
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    VeltariLedColor get[] = {{a, 0, 0, 0}, {strip, 0, 0, 0}};
    ASSERT_TRUE(VeltariGetLedsColors(2, get));
    EXPECT_EQ(get[0].b, 30);
    EXPECT_EQ(get[1].r, 40);

    // A keyboard LED buffered for the mouse: the whole flush is refused and nothing of it is applied.
    const VeltariLedColor good[] = {{a, 1, 1, 1}};
    ASSERT_TRUE(VeltariSetLedsColorsBufferByDeviceIndex(0, 1, good));
    ASSERT_TRUE(VeltariSetLedsColorsBufferByDeviceIndex(1, 1, keyboard));
    EXPECT_FALSE(VeltariSetLedsColorsFlushBuffer());
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    ASSERT_TRUE(VeltariGetLedsColors(1, get));
    EXPECT_EQ(get[0].r, 10);
}

struct Completion {
    std::mutex mutex;
    std::condition_variable done;
    int calls = 0;
    bool result = false;
    VeltariError error = VeltariErrorServerUnreachable;

    static void Call(void* context, bool result, VeltariError error) {
        auto* self = static_cast<Completion*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        ++self->calls;
        self->result = result;
        self->error = error;
        self->done.notify_all();
    }
    bool Wait() {
        std::unique_lock<std::mutex> lock(mutex);
        return done.wait_for(lock, std::chrono::seconds(10), [&] { return calls > 0; });
    }
};

TEST_F(ContractTest, AsynchronousSetsAndFlushesAreAnswered) {
    Serve();
    Handshake();
    const int s = VeltariGetLedIdForKeyName('S');
    const VeltariLedColor colour[] = {{s, 7, 8, 9}};
    Completion set;
    ASSERT_TRUE(VeltariSetLedsColorsAsync(1, colour, &Completion::Call, &set));
    ASSERT_TRUE(set.Wait());
    EXPECT_TRUE(set.result);
    EXPECT_EQ(set.error, VeltariErrorSuccess);

    const VeltariLedColor buffered[] = {{s, 1, 2, 3}};
    ASSERT_TRUE(VeltariSetLedsColorsBufferByDeviceIndex(0, 1, buffered));
    Completion flush;
    ASSERT_TRUE(VeltariSetLedsColorsFlushBufferAsync(&Completion::Call, &flush));
    ASSERT_TRUE(flush.Wait());
    EXPECT_TRUE(flush.result);
    EXPECT_EQ(flush.error, VeltariErrorSuccess);
    VeltariLedColor get[] = {{s, 0, 0, 0}};
    ASSERT_TRUE(VeltariGetLedsColors(1, get));
    EXPECT_EQ(get[0].r * 65536 + get[0].g * 256 + get[0].b, 0x010203);

    // An LED the server does not have comes back through the callback.
    const VeltariLedColor unknown[] = {{900, 1, 1, 1}};
    Completion refused;
    ASSERT_TRUE(VeltariSetLedsColorsAsync(1, unknown, &Completion::Call, &refused));
    ASSERT_TRUE(refused.Wait());
    EXPECT_FALSE(refused.result);
    EXPECT_EQ(refused.error, VeltariErrorBadArgument);
}

struct KeyLog {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::pair<int, bool>> keys;

    static void Call(void* context, VeltariKeyId key, bool pressed) {
        auto* self = static_cast<KeyLog*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->keys.emplace_back(key, pressed);
        self->arrived.notify_all();
    }
    std::vector<std::pair<int, bool>> Wait(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        arrived.wait_for(lock, std::chrono::seconds(10), [&] { return keys.size() >= count; });
        return keys;
    }
};

TEST_F(ContractTest, KeyPressesReachARegisteredCallback) {
    Serve();
    Handshake();
    KeyLog log;
    ASSERT_TRUE(VeltariRegisterKeypressCallback(&KeyLog::Call, &log));
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    const int vendorKey = *Catalog().VendorKeyForName("Space");
    served_->Server().PressKey(vendorKey, true);
    served_->Server().PressKey(vendorKey, false);
    EXPECT_EQ(log.Wait(2), (std::vector<std::pair<int, bool>>{{vendorKey, true}, {vendorKey, false}}));
}

}  // namespace
}  // namespace sdk::test
