#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "api/exchange.h"
#include "api_fixture.h"

namespace sdk::testing {
namespace {

using Handshake = ApiTest;

void ExpectUnreachableRecord(const VeltariProtocolDetails& details) {
    ASSERT_NE(details.sdkVersion, nullptr);
    EXPECT_STREQ(details.sdkVersion, VELTARI_VERSION_STRING);
    EXPECT_EQ(details.serverVersion, nullptr);
    EXPECT_EQ(details.sdkProtocolVersion, 9);
    EXPECT_EQ(details.serverProtocolVersion, 0);
    EXPECT_FALSE(details.breakingChanges);
}

TEST_F(Handshake, WithoutServerFailsWithUnreachableAndLeavesCallsWithoutHandshake) {
    server.SetReachable(false);
    ExpectUnreachableRecord(VeltariPerformProtocolHandshake());
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    EXPECT_FALSE(HandshakeDone());

    EXPECT_EQ(VeltariGetDeviceCount(), -1);
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);
}

TEST_F(Handshake, ConnectsAsThisProcessBeforeTheRequest) {
    const auto details = HandshakeAnswered();
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_STREQ(details.serverVersion, "4.1.7");
    EXPECT_EQ(details.serverProtocolVersion, 9);

    ASSERT_EQ(server.Identities().size(), 1u);
    EXPECT_EQ(server.Identities()[0], ":pid:" + std::to_string(getpid()));

    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0],
              R"({"method":"VeltraiHandshakeMethod","params":{"sdkProtocolVersion":9}})");
}

struct BreakingCase {
    const char* answer;
    int serverProtocol;
    bool breaking;
};

class HandshakeBreakingChanges : public ApiTest, public ::testing::WithParamInterface<BreakingCase> {};

TEST_P(HandshakeBreakingChanges, FollowsTheServerProtocol) {
    const BreakingCase& c = GetParam();
    const auto details = HandshakeAnswered(c.answer);
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_EQ(details.serverProtocolVersion, c.serverProtocol);
    EXPECT_EQ(ServerProtocolVersion(), c.serverProtocol);
    EXPECT_EQ(details.breakingChanges, c.breaking);
    EXPECT_STREQ(details.serverVersion, "s");
    EXPECT_TRUE(HandshakeDone());
}

INSTANTIATE_TEST_SUITE_P(
    Table, HandshakeBreakingChanges,
    ::testing::Values(
        BreakingCase{R"({"serverProtocolVersion":8,"serverVersion":"s"})", 8, true},
        BreakingCase{R"({"serverProtocolVersion":7,"serverVersion":"s"})", 7, false},
        BreakingCase{R"({"serverProtocolVersion":9,"serverVersion":"s"})", 9, false},
        BreakingCase{R"({"serverProtocolVersion":1,"serverVersion":"s"})", 1, false},
        // Below 10 the server's own say is ignored.
        BreakingCase{R"({"serverProtocolVersion":9,"serverVersion":"s","breakingChanges":true})", 9, false},
        BreakingCase{R"({"serverProtocolVersion":8,"serverVersion":"s","breakingChanges":false})", 8, true},
        BreakingCase{R"({"serverProtocolVersion":12,"serverVersion":"s","breakingChanges":true})", 12, true},
        BreakingCase{R"({"serverProtocolVersion":12,"serverVersion":"s"})", 12, false},
        BreakingCase{R"({"serverProtocolVersion":10,"serverVersion":"s","breakingChanges":false})", 10,
                     false},
        BreakingCase{R"({"serverProtocolVersion":12,"serverVersion":"s","breakingChanges":1})", 12, false}));

TEST_F(Handshake, AnyAnswerCountsEvenOneThatDoesNotParse) {
    for (const char* answer : {"this is no json", "{}", "[9]", R"({"serverVersion":7})"}) {
        const auto details = HandshakeAnswered(answer);
        EXPECT_EQ(LastError(), VeltariErrorSuccess) << answer;
        ASSERT_NE(details.serverVersion, nullptr) << answer;
        EXPECT_STREQ(details.serverVersion, "") << answer;
        EXPECT_EQ(details.serverProtocolVersion, 0) << answer;
        EXPECT_FALSE(details.breakingChanges) << answer;
        EXPECT_EQ(details.sdkProtocolVersion, 9);
        EXPECT_TRUE(HandshakeDone()) << answer;
    }
}

TEST_F(Handshake, EmptyAnswerIsUnreachableAndDoesNotSetTheFlag) {
    server.Queue("");
    ExpectUnreachableRecord(VeltariPerformProtocolHandshake());
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    EXPECT_FALSE(HandshakeDone());
    EXPECT_EQ(server.Identities().size(), 1u) << "an empty answer does not make the connection broken";
}

TEST_F(Handshake, SecondHandshakeReusesTheConnectionAndKeepsTheFirstVersionText) {
    const auto first = HandshakeAnswered(R"({"serverProtocolVersion":9,"serverVersion":"1.0"})");
    const auto second = HandshakeAnswered(R"({"serverProtocolVersion":11,"serverVersion":"2.0"})");
    EXPECT_EQ(server.Identities().size(), 1u);
    EXPECT_EQ(server.Requests().size(), 2u);
    EXPECT_STREQ(first.serverVersion, "1.0");
    EXPECT_STREQ(second.serverVersion, "2.0");
    EXPECT_NE(first.serverVersion, second.serverVersion);
    EXPECT_EQ(ServerProtocolVersion(), 11);
}

TEST_F(Handshake, ConnectionLostDuringTheRequestIsReplacedOnceAndTheRequestRepeated) {
    server.Queue("", /*breaks=*/true);
    server.Queue(kServerAnswer);
    const auto details = VeltariPerformProtocolHandshake();
    EXPECT_STREQ(details.serverVersion, "4.1.7");
    EXPECT_EQ(LastError(), VeltariErrorSuccess);

    const auto lines = server.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0]->destroyed);
    EXPECT_FALSE(lines[1]->destroyed);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], requests[1]);
}

TEST_F(Handshake, NoThirdAttemptWhenTheSecondConnectionFailsToo) {
    server.Queue("", true);
    server.Queue("", true);
    server.Queue(kServerAnswer);
    ExpectUnreachableRecord(VeltariPerformProtocolHandshake());
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    EXPECT_EQ(server.Identities().size(), 2u);
    EXPECT_EQ(server.Requests().size(), 2u);
}

TEST_F(Handshake, ReconnectThatFindsNoServerFails) {
    server.Queue("", true);
    server.OnConnect([this] {
        if (server.Identities().size() == 2) server.SetReachable(false);
    });
    ExpectUnreachableRecord(VeltariPerformProtocolHandshake());
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    EXPECT_FALSE(HandshakeDone());
}

TEST_F(Handshake, FailureAfterSuccessClearsTheServerFieldsButKeepsTheFlag) {
    HandshakeAnswered();
    server.BreakLatest();
    server.SetReachable(false);

    ExpectUnreachableRecord(VeltariPerformProtocolHandshake());
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    EXPECT_TRUE(HandshakeDone());
    EXPECT_EQ(ServerProtocolVersion(), 0);
    EXPECT_TRUE(server.Lines()[0]->destroyed) << "the broken connection was replaced by nothing";
    EXPECT_EQ(VeltariGetDeviceCount(), -1);
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);

    server.SetReachable(true);
    const auto again = HandshakeAnswered();
    EXPECT_STREQ(again.serverVersion, "4.1.7");
    server.Queue(R"({"result":2})");
    EXPECT_EQ(VeltariGetDeviceCount(), 2);
}

void IgnoreKey(void*, VeltariKeyId, bool) {}

TEST_F(Handshake, OnlyAReconnectDiscardsKeyPressCallbacks) {
    HandshakeAnswered();
    State().keyPresses.Add(IgnoreKey, nullptr);
    HandshakeAnswered();
    EXPECT_EQ(State().keyPresses.Size(), 1u) << "a live connection keeps its callbacks";

    server.BreakLatest();
    HandshakeAnswered();
    EXPECT_EQ(State().keyPresses.Size(), 0u);

    State().keyPresses.Add(IgnoreKey, nullptr);
    server.BreakLatest();
    server.SetReachable(false);
    VeltariPerformProtocolHandshake();
    EXPECT_EQ(State().keyPresses.Size(), 0u) << "discarded even when no new connection came";
}

// Installs a handler that behaves as the library's key-press delivery does: it marks its thread and
// then runs `callback` for each notification.
template <class Callback>
void InstallKeyPressHandler(FakeConnection* connection, Callback callback) {
    connection->SetNotificationHandler([callback](const std::string& text) {
        KeyPressDispatchScope scope;
        callback(text);
    });
}

TEST_F(Handshake, InsideAKeyPressCallbackABrokenConnectionIsReportedNotReplaced) {
    HandshakeAnswered();
    std::mutex mutex;
    std::condition_variable condition;
    std::optional<VeltariProtocolDetails> seen;
    int seenError = -1;
    InstallKeyPressHandler(server.Latest(), [&](const std::string&) {
        const VeltariProtocolDetails details = VeltariPerformProtocolHandshake();
        const int error = LastError();
        std::lock_guard<std::mutex> lock(mutex);
        seen = details;
        seenError = error;
        condition.notify_all();
    });
    server.BreakLatest();
    server.Latest()->Notify(R"({"vendorKey":5,"pressed":true})");

    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(condition.wait_for(lock, std::chrono::seconds(30), [&] { return seen.has_value(); }));
    ExpectUnreachableRecord(*seen);
    EXPECT_EQ(seenError, VeltariErrorServerUnreachable);
    lock.unlock();

    EXPECT_EQ(server.Identities().size(), 1u);
    EXPECT_FALSE(server.Lines()[0]->destroyed);
    EXPECT_FALSE(server.Lines()[0]->selfJoinAttempted);

    // Outside a callback the same handshake reconnects.
    const auto details = HandshakeAnswered();
    EXPECT_STREQ(details.serverVersion, "4.1.7");
    EXPECT_TRUE(server.Lines()[0]->destroyed);
    EXPECT_FALSE(server.Lines()[0]->selfJoinAttempted);
}

TEST_F(Handshake, InsideAKeyPressCallbackALiveConnectionHandshakesNormally) {
    HandshakeAnswered();
    std::promise<int> error;
    InstallKeyPressHandler(server.Latest(), [&](const std::string&) {
        server.Queue(R"({"serverProtocolVersion":10,"serverVersion":"x"})");
        VeltariPerformProtocolHandshake();
        error.set_value(LastError());
    });
    server.Latest()->Notify("{}");
    auto result = error.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(result.get(), VeltariErrorSuccess);
    EXPECT_EQ(ServerProtocolVersion(), 10);
}

TEST_F(Handshake, ReconnectDoesNotDeadlockWithACallbackThatSendsARequest) {
    HandshakeAnswered();
    FakeConnection* old = server.Latest();
    std::promise<void> callbackEntered;
    std::promise<int> callbackCount;
    InstallKeyPressHandler(old, [&](const std::string&) {
        callbackEntered.set_value();
        callbackCount.set_value(VeltariGetDeviceCount());
    });
    server.BreakLatest();
    // The key press arrives while the handshake holds the connection mutex to make the new connection:
    // the callback then needs that mutex, and the old connection's destruction has to wait for the
    // callback.
    server.OnConnect([&] {
        old->Notify("{}");
        callbackEntered.get_future().wait();
    });
    server.SetFallback(R"({"result":6})");

    FinishesOrAbort([] { VeltariPerformProtocolHandshake(); }, "handshake replacing a delivering connection");
    EXPECT_TRUE(server.Lines()[0]->destroyed);
    EXPECT_EQ(callbackCount.get_future().get(), 6) << "the callback's request went over the new connection";
}

}  // namespace
}  // namespace sdk::testing
