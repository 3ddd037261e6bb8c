// Losing the server and getting it back, across the calls, over real pipes.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "api/client_state.h"
#include "scripted_fixture.h"

namespace sdk::testing {
namespace {

using Reconnect = ScriptedApiTest;

// The test orders differ on purpose: with the server gone and the stored protocol cleared, the layer
// priority stops at its connection test while the colour read stops at its protocol test first.
TEST_F(Reconnect, CallsFailByTheirOwnTestOrderUntilAHandshakeReconnects) {
    server.OnMethod("VeltariSetLayerPriority", R"({"result":true})");
    server.OnMethod("VeltariGetLedsColors", R"({"ledsColors":"4,10,20,30"})");
    Connect();
    VeltariLedColor color{4, 0, 0, 0};
    ASSERT_TRUE(VeltariSetLayerPriority(3));
    ASSERT_TRUE(VeltariGetLedsColors(1, &color));

    server.Stop();
    const VeltariProtocolDetails lost = VeltariPerformProtocolHandshake();
    EXPECT_EQ(lost.serverVersion, nullptr);
    EXPECT_EQ(lost.serverProtocolVersion, 0);
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    EXPECT_TRUE(HandshakeDone()) << "a failed handshake keeps the flag";

    EXPECT_FALSE(VeltariSetLayerPriority(3));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    color = {4, 0, 0, 0};
    EXPECT_FALSE(VeltariGetLedsColors(1, &color));
    EXPECT_EQ(LastError(), VeltariErrorServerProtocolTooOld);
    EXPECT_EQ(color.r, 0);

    server.ClearRequests();
    ASSERT_TRUE(server.Start());
    const VeltariProtocolDetails back = VeltariPerformProtocolHandshake();
    EXPECT_STREQ(back.serverVersion, "4.0.0");
    EXPECT_EQ(back.serverProtocolVersion, 9);
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_EQ(server.SessionCount(), 2u);

    EXPECT_TRUE(VeltariSetLayerPriority(3));
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_TRUE(VeltariGetLedsColors(1, &color));
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_EQ(color.r, 10);
    EXPECT_EQ(server.Methods(), (std::vector<std::string>{"VeltraiHandshakeMethod", "VeltariSetLayerPriority",
                                                          "VeltariGetLedsColors"}));
}

// Threads keep calling while another keeps dropping and re-establishing the connection. Every call must
// end either with its own complete answer or as unreachable: never with another call's answer, a
// half-built record or a connection destroyed under it.
TEST_F(Reconnect, CallsOnManyThreadsWhileAnotherReconnects) {
    server.OnMethod("VeltariSetLedsColors", R"({"result":true})");
    server.OnMethod("VeltariGetLedsColors", R"({"ledsColors":"1,11,12,13#2,21,22,23"})");
    server.OnMethod("VeltariGetDeviceInfo",
                    R"({"result":{"model":"Pad","ledsCount":2,"channels":[{"totalLedsCount":2}]}})");
    server.OnMethod("VeltariGetLedPositions", R"({"result":[{"ledId":1,"top":0.5},{"ledId":2,"top":1.5}]})");
    server.OnMethod("VeltariGetInt32PropertyValue", R"({"result":77})");
    Connect();

    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::atomic<int> unreachable{0};
    std::atomic<int> wrong{0};
    auto tally = [&](bool ok, bool failedUnreachable) {
        if (ok) {
            ++answered;
        } else if (failedUnreachable) {
            ++unreachable;
        } else {
            ++wrong;
        }
    };
    auto unreachableNow = [] { return VeltariGetLastError() == VeltariErrorServerUnreachable; };

    std::vector<std::thread> callers;
    callers.emplace_back([&] {
        const VeltariLedColor colors[] = {{1, 1, 2, 3}, {2, 4, 5, 6}};
        while (!stop) {
            const bool set = VeltariSetLedsColors(2, colors);
            tally(set && VeltariGetLastError() == VeltariErrorSuccess, !set && unreachableNow());
        }
    });
    callers.emplace_back([&] {
        while (!stop) {
            VeltariLedColor colors[] = {{1, 0, 0, 0}, {2, 0, 0, 0}};
            const bool got = VeltariGetLedsColors(2, colors);
            const bool filled = colors[0].r == 11 && colors[0].b == 13 && colors[1].g == 22;
            const bool untouched = colors[0].r == 0 && colors[1].r == 0;
            tally(got && filled, !got && untouched && unreachableNow());
        }
    });
    callers.emplace_back([&] {
        while (!stop) {
            const VeltariDeviceInfo* info = VeltariGetDeviceInfo(0);
            const bool complete = info != nullptr && std::string(info->model) == "Pad" &&
                                  info->ledsCount == 2 && info->channelsCount == 1 &&
                                  info->channels[0].totalLedsCount == 2;
            tally(complete, info == nullptr && unreachableNow());
            const VeltariLedPositions* positions = VeltariGetLedPositions();
            const bool listed = positions != nullptr && positions->positionsCount == 2 &&
                                positions->positions[1].ledId == 2 && positions->positions[1].top == 1.5;
            tally(listed, positions == nullptr && unreachableNow());
            int value = 0;
            const bool got =
                VeltariGetInt32PropertyValue(0, static_cast<VeltariDevicePropertyId>(0x2001), &value);
            tally(got && value == 77, !got && value == 0 && unreachableNow());
        }
    });

    // Reconnect until both sides have done plenty, so the loops overlap however threads are scheduled.
    int handshakes = 0;
    int handshakeFailures = 0;
    bool sessionsFollowed = true;
    while (sessionsFollowed && (handshakes < 30 || answered + unreachable + wrong < 300)) {
        // Session `handshakes` is the connection in use; once it has ended the handshake must replace it.
        const auto current = static_cast<std::size_t>(handshakes);
        sessionsFollowed = server.WaitForSessions(current + 1);
        server.Disconnect(current);
        sessionsFollowed = sessionsFollowed && server.WaitForSessionEnd(current);
        const VeltariProtocolDetails details = VeltariPerformProtocolHandshake();
        handshakeFailures += details.serverVersion == nullptr;
        ++handshakes;
    }
    stop = true;
    for (std::thread& caller : callers) caller.join();

    EXPECT_TRUE(sessionsFollowed);
    EXPECT_EQ(handshakeFailures, 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(answered.load(), 0);
    EXPECT_EQ(server.SessionCount(), static_cast<std::size_t>(handshakes + 1));
}

}  // namespace
}  // namespace sdk::testing
