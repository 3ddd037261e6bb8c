#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "lighting/device_data.h"
#include "memory_pipes.h"

namespace sdk {
namespace {

template <typename Predicate>
bool Eventually(Predicate predicate, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class LightingServerTest : public ::testing::Test {
protected:
    LightingServerTest() : server_(*LoadDeviceCatalog(BuiltInDeviceData()).catalog, ServerIdentity{}) {}

    std::string SetColour(int ledId, int r, int g, int b) {
        return "{\"method\":\"VeltariSetLedsColors\",\"params\":{\"ledsColors\":\"" + std::to_string(ledId) +
               "," + std::to_string(r) + "," + std::to_string(g) + "," + std::to_string(b) + "\"}}";
    }
    Rgb Visible(int ledId) {
        const auto at = server_.Catalog().FindLed(ledId);
        return server_.TakeSnapshot()
            .colours[static_cast<std::size_t>(at->device)][static_cast<std::size_t>(at->index)];
    }

    LightingServer server_;
};

TEST_F(LightingServerTest, AnswersEachRequestInOrder) {
    MemoryClient client;
    ASSERT_NE(server_.AddClient(":pid:1", client.Pipes()), 0u);
    client.Send(R"({"method":"VeltariGetDeviceCount"})");
    client.Send(R"({"method":"VeltariGetLedIdForKeyName","params":{"keyName":200}})");
    client.Send(R"({"method":"Nope"})");
    EXPECT_EQ(client.Response(), R"({"errorCode":0,"result":4})");
    EXPECT_EQ(client.Response(), R"({"errorCode":5,"result":0})");
    EXPECT_EQ(client.Response(), R"({"errorCode":100})");
}

TEST_F(LightingServerTest, GarbageOrAnEmptyFrameDropsOnlyThatClient) {
    for (const Bytes& garbage : {Bytes{0xff, 0x00, 0x13}, Bytes{}, Bytes{'{', '"', 'm', 0}}) {
        MemoryClient bad, good;
        server_.AddClient(":pid:2", bad.Pipes());
        server_.AddClient(":pid:3", good.Pipes());
        EXPECT_EQ(bad.Call(SetColour(1, 255, 0, 0)), R"({"errorCode":0,"result":true})");
        bad.SendRaw(garbage);
        EXPECT_TRUE(bad.Dropped());
        // The dropped client's colours went with it; the other client is still served.
        EXPECT_TRUE(Eventually([&] { return Visible(1) == Rgb{}; }));
        EXPECT_EQ(good.Call(R"({"method":"VeltariGetDeviceCount"})"), R"({"errorCode":0,"result":4})");
    }
}

TEST_F(LightingServerTest, NotificationsReachRegisteredClientsOnly) {
    MemoryClient listener, bystander;
    server_.AddClient(":pid:4", listener.Pipes());
    server_.AddClient(":pid:5", bystander.Pipes());
    server_.PressKey(65, true);  // before anyone registered: goes nowhere
    EXPECT_EQ(listener.Call(R"({"method":"VeltariRegisterKeypressCallback"})"), R"({"errorCode":0})");
    server_.PressKey(66, true);
    server_.PressKey(66, false);
    EXPECT_EQ(listener.Notification(), R"({"vendorKey":66,"pressed":true})");
    EXPECT_EQ(listener.Notification(), R"({"vendorKey":66,"pressed":false})");
    EXPECT_EQ(listener.Notification(50), "(none)");
    EXPECT_EQ(bystander.Notification(50), "(none)");
    EXPECT_EQ(server_.TakeSnapshot().keyListenerCount, 1u);
}

TEST_F(LightingServerTest, ARegistrationRefusedByAnOlderProtocolStartsNoNotifications) {
    LightingServer old(*LoadDeviceCatalog(BuiltInDeviceData()).catalog, ServerIdentity{"old", 3, false});
    MemoryClient client;
    old.AddClient(":pid:6", client.Pipes());
    EXPECT_EQ(client.Call(R"({"method":"VeltariRegisterKeypressCallback"})"), R"({"errorCode":100})");
    old.PressKey(1, true);
    EXPECT_EQ(client.Notification(50), "(none)");
}

TEST_F(LightingServerTest, FirstKeyListenerHookRunsOnce) {
    std::atomic<int> calls{0};
    server_.SetFirstKeyListenerHook([&] { ++calls; });
    MemoryClient a, b;
    server_.AddClient(":pid:7", a.Pipes());
    server_.AddClient(":pid:8", b.Pipes());
    a.Call(R"({"method":"VeltariRegisterKeypressCallback"})");
    a.Call(R"({"method":"VeltariRegisterKeypressCallback"})");
    b.Call(R"({"method":"VeltariRegisterKeypressCallback"})");
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(LightingServerTest, AClientThatStopsTakingNotificationsIsStillServed) {
    MemoryClient stuck, fine;
    server_.AddClient(":pid:9", stuck.Pipes(/*notificationsFail=*/true));
    server_.AddClient(":pid:10", fine.Pipes());
    stuck.Call(R"({"method":"VeltariRegisterKeypressCallback"})");
    fine.Call(R"({"method":"VeltariRegisterKeypressCallback"})");
    server_.PressKey(70, true);
    EXPECT_EQ(fine.Notification(), R"({"vendorKey":70,"pressed":true})");
    EXPECT_TRUE(Eventually([&] { return server_.TakeSnapshot().keyListenerCount == 1; }));
    EXPECT_EQ(stuck.Call(R"({"method":"VeltariGetDeviceCount"})"), R"({"errorCode":0,"result":4})");
}

TEST_F(LightingServerTest, DisconnectingRemovesTheLayerAndControl) {
    MemoryClient owner, other;
    server_.AddClient(":pid:11", owner.Pipes());
    server_.AddClient(":pid:12", other.Pipes());
    other.Call(SetColour(3, 0, 0, 9));
    owner.Call(R"({"method":"InternalAquireAccessMode","params":{"accessMode":0}})");
    owner.Call(SetColour(3, 9, 0, 0));
    EXPECT_EQ(Visible(3), (Rgb{9, 0, 0}));
    EXPECT_EQ(server_.ClientCount(), 2u);
    owner.Disconnect();
    EXPECT_TRUE(Eventually([&] { return server_.ClientCount() == 1; }));
    EXPECT_EQ(Visible(3), (Rgb{0, 0, 9}));
    EXPECT_FALSE(server_.TakeSnapshot().controlHolder.has_value());
    EXPECT_EQ(other.Call(R"({"method":"InternalAquireAccessMode","params":{"accessMode":0}})"),
              R"({"errorCode":0,"result":true})");
}

TEST_F(LightingServerTest, ManyClientsAtOnceEachGetTheirOwnAnswers) {
    constexpr int kClients = 8;
    std::vector<MemoryClient> clients(kClients);
    for (int i = 0; i < kClients; ++i)
        server_.AddClient(":pid:" + std::to_string(100 + i), clients[i].Pipes());
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            const int led = server_.Catalog().Device(0)->leds[static_cast<std::size_t>(i)].ledId;
            for (int round = 0; round < 50; ++round) {
                if (clients[i].Call(SetColour(led, i, round, 1)) != R"({"errorCode":0,"result":true})")
                    ++mismatches;
                const std::string expected = "{\"errorCode\":0,\"ledsColors\":\"" + std::to_string(led) +
                                             "," + std::to_string(i) + "," + std::to_string(round) + ",1\"}";
                if (clients[i].Call("{\"method\":\"VeltariGetLedsColors\",\"params\":{\"ledsColors\":\"" +
                                    std::to_string(led) + ",0,0,0\"}}") != expected)
                    ++mismatches;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(LightingServerTest, TraceSeesRequestsResponsesAndDisconnects) {
    std::mutex mutex;
    std::vector<TraceEvent> events;
    server_.SetTraceSink([&](const TraceEvent& e) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(e);
    });
    MemoryClient client;
    const ClientId id = server_.AddClient(":pid:77", client.Pipes());
    client.Call(R"({"method":"VeltariGetDeviceCount"})");
    client.Disconnect();
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return !events.empty() && events.back().kind == TraceEvent::Kind::kDisconnected;
    }));
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].kind, TraceEvent::Kind::kConnected);
    EXPECT_EQ(events[1].kind, TraceEvent::Kind::kRequest);
    EXPECT_EQ(events[1].text, R"({"method":"VeltariGetDeviceCount"})");
    EXPECT_EQ(events[2].kind, TraceEvent::Kind::kResponse);
    EXPECT_EQ(events[2].text, R"({"errorCode":0,"result":4})");
    for (const auto& e : events) {
        EXPECT_EQ(e.client, id);
        EXPECT_EQ(e.identity, ":pid:77");
    }
    EXPECT_NE(events[3].text.find("closed"), std::string::npos);
}

TEST_F(LightingServerTest, StopEndsEverySessionAndRefusesNewClients) {
    MemoryClient a, b;
    server_.AddClient(":pid:1", a.Pipes());
    server_.AddClient(":pid:2", b.Pipes());
    b.Call(R"({"method":"VeltariRegisterKeypressCallback"})");
    server_.Stop();
    EXPECT_TRUE(a.Dropped());
    EXPECT_TRUE(b.Dropped());
    EXPECT_EQ(server_.ClientCount(), 0u);
    MemoryClient late;
    EXPECT_EQ(server_.AddClient(":pid:3", late.Pipes()), 0u);
}

}  // namespace
}  // namespace sdk
