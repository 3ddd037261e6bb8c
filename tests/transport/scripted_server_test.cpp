// The scripted server's own promises, which every end-to-end test relies on.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "pipe_test_util.h"
#include "support/scripted_server.h"
#include "transport/bootstrap.h"

namespace sdk::test {
namespace {

std::string Nul(const std::string& text) { return text + '\0'; }

std::string Request(const std::string& method) { return R"({"method":")" + method + R"("})"; }

TEST(ScriptedServer, RepliesFollowTheScriptInItsOrderOfPrecedence) {
    ScriptedServer server;
    ASSERT_TRUE(server.Start());
    server.OnMethod("A", R"({"a":1})");
    server.OnMethodOnce("A", ScriptedReply::Text(R"({"once":1})"));
    server.OnMethodOnce("A", ScriptedReply::Text(R"({"once":2})"));
    server.OnRequest([](const std::string& request) -> std::optional<ScriptedReply> {
        if (request.find("\"B\"") != std::string::npos || request.find("\"A\"") != std::string::npos) {
            return ScriptedReply::Text("responder");
        }
        return std::nullopt;
    });
    auto connection = CreateRpcConnection(":pid:1");
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->Call(Request("A")), Nul(R"({"once":1})"));
    EXPECT_EQ(connection->Call(Request("A")), Nul(R"({"once":2})"));
    EXPECT_EQ(connection->Call(Request("A")), Nul(R"({"a":1})"));
    EXPECT_EQ(connection->Call(Request("B")), Nul("responder"));
    EXPECT_EQ(connection->Call(Request("C")), Nul("{}"));
    server.SetDefaultReply(ScriptedReply::Text("default"));
    EXPECT_EQ(connection->Call("not json"), Nul("default"));
    EXPECT_EQ(server.Methods(), (std::vector<std::string>{"A", "A", "A", "B", "C", ""}));
    EXPECT_EQ(server.Requests()[3], Request("B"));
    server.ClearRequests();
    EXPECT_EQ(server.RequestCount(), 0u);
}

TEST(ScriptedServer, AnswersTheHandshakeWithTheConfiguredVersions) {
    ScriptedServer server;
    ASSERT_TRUE(server.Start());
    auto connection = CreateRpcConnection(":pid:1");
    ASSERT_TRUE(connection);
    const std::string handshake = R"({"method":"VeltraiHandshakeMethod","params":{"sdkProtocolVersion":9}})";
    EXPECT_EQ(connection->Call(handshake), Nul(R"({"serverVersion":"4.0.0","serverProtocolVersion":9})"));
    server.SetProtocolVersion(12);
    server.SetServerVersion("5.\"1\"");
    server.SetBreakingChanges(true);
    EXPECT_EQ(connection->Call(handshake),
              Nul(R"({"serverVersion":"5.\"1\"","serverProtocolVersion":12,"breakingChanges":true})"));
    // A script for the method takes precedence over the built-in answer.
    server.OnMethod("VeltraiHandshakeMethod", "{}");
    EXPECT_EQ(connection->Call(handshake), Nul("{}"));
}

TEST(ScriptedServer, RawAndZeroLengthRepliesAreSentExactly) {
    ScriptedServer server;
    ASSERT_TRUE(server.Start());
    server.OnMethod("raw", ScriptedReply::Raw({'a', 'b'}));
    server.OnMethod("empty", ScriptedReply::Raw({}));
    auto connection = CreateRpcConnection(":pid:1");
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->Call(Request("raw")), "ab");
    EXPECT_EQ(connection->Call(Request("empty")), "");
    EXPECT_FALSE(connection->IsBroken());
}

TEST(ScriptedServer, ADelayedReplyArrivesLate) {
    ScriptedServer server;
    ASSERT_TRUE(server.Start());
    server.OnMethod("slow", ScriptedReply::Text("done").After(300));
    auto connection = CreateRpcConnection(":pid:1");
    ASSERT_TRUE(connection);
    Stopwatch watch;
    EXPECT_EQ(connection->Call(Request("slow")), Nul("done"));
    EXPECT_GE(watch.ElapsedMs(), 280);
}

TEST(ScriptedServer, AnUnansweredRequestWaitsUntilTheServerDisconnects) {
    ScriptedServer server;
    ASSERT_TRUE(server.Start());
    server.OnMethodOnce("hang", ScriptedReply::NoAnswer());
    auto connection = CreateRpcConnection(":pid:1");
    ASSERT_TRUE(connection);
    auto call = std::async(std::launch::async, [&] { return connection->Call(Request("hang")); });
    ASSERT_TRUE(server.WaitForRequests(1));
    EXPECT_EQ(call.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    server.Disconnect(0);
    ASSERT_EQ(call.wait_for(std::chrono::seconds(4)), std::future_status::ready);
    EXPECT_EQ(call.get(), "");
    EXPECT_TRUE(connection->IsBroken());
    ASSERT_TRUE(server.WaitForSessionEnd(0));
    EXPECT_FALSE(server.Session(0).clientClosedRequests);
}

TEST(ScriptedServer, ClosingTheResponsePipeFailsTheCall) {
    ScriptedServer server;
    ASSERT_TRUE(server.Start());
    server.OnMethod("close", ScriptedReply::Close(ScriptedPipe::kResponses));
    auto connection = CreateRpcConnection(":pid:1");
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->Call(Request("close")), "");
    EXPECT_TRUE(connection->IsBroken());
}

TEST(ScriptedServer, NotificationsGoToTheChosenSessionUntilItsPipeCloses) {
    ScriptedServer server;
    ASSERT_TRUE(server.Start());
    EXPECT_FALSE(server.Notify("nobody"));
    auto connection = CreateRpcConnection(":pid:1");
    ASSERT_TRUE(connection);
    ASSERT_TRUE(server.WaitForSessions(1));
    std::promise<std::string> first;
    connection->SetNotificationHandler([&](const std::string& text) { first.set_value(text); });
    ASSERT_TRUE(server.NotifyRaw(0, {'h', 'i', 0}));
    auto text = first.get_future();
    ASSERT_EQ(text.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(text.get(), "hi");

    server.CloseNotifications(0);
    EXPECT_FALSE(server.Notify(0, "gone"));
    EXPECT_FALSE(server.Notify(5, "no such session"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!connection->IsBroken() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(connection->IsBroken());
}

TEST(ScriptedServer, ScriptsAndRecordsSurviveARestart) {
    ScriptedServer server;
    ASSERT_TRUE(server.Start());
    server.OnMethod("kept", "yes");
    auto first = CreateRpcConnection(":pid:1");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->Call(Request("kept")), Nul("yes"));
    server.Stop();
    EXPECT_FALSE(server.IsRunning());
    ASSERT_TRUE(server.WaitForSessionEnd(0));
    ASSERT_TRUE(server.Start());
    auto second = CreateRpcConnection(":pid:2");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->Call(Request("kept")), Nul("yes"));
    EXPECT_EQ(server.SessionCount(), 2u);
    EXPECT_EQ(server.Identities(), (std::vector<std::string>{":pid:1", ":pid:2"}));
    EXPECT_EQ(server.RequestCount(), 2u);
}

TEST(ScriptedServer, OnlyOneServerCanServeTheRendezvous) {
    ScriptedServer first;
    ASSERT_TRUE(first.Start());
    ScriptedServer second;
    EXPECT_FALSE(second.Start());
    first.Stop();
    EXPECT_TRUE(second.Start());
}

TEST(ScriptedServer, MethodNamesAreReadFromTheRequestText) {
    EXPECT_EQ(ScriptedServer::MethodOf(R"({"method":"VeltariGetDeviceCount"})"), "VeltariGetDeviceCount");
    EXPECT_EQ(ScriptedServer::MethodOf(R"({"params":{},"method" : "Spaced"})"), "Spaced");
    EXPECT_EQ(ScriptedServer::MethodOf(R"({"method":"a\"b"})"), "a\"b");
    EXPECT_EQ(ScriptedServer::MethodOf(R"({"method":7})"), "");
    EXPECT_EQ(ScriptedServer::MethodOf("{}"), "");
}

}  // namespace
}  // namespace sdk::test
