// The handshake against the scripted server over real pipes, through the real bootstrap.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "api/client_state.h"
#include "api/last_error.h"
#include "support/pipe_runtime.h"
#include "support/scripted_server.h"
#include "veltari.h"

namespace sdk::testing {
namespace {

using sdk::test::ScriptedPipe;
using sdk::test::ScriptedReply;
using sdk::test::ScriptedServer;

constexpr char kHandshakeRequest[] = R"({"method":"VeltraiHandshakeMethod","params":{"sdkProtocolVersion":9}})";

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        sdk::test::UsePrivatePipeRuntime();
        UnloadClientState();
        LoadClientState();
        StoreLastError(VeltariErrorSuccess);
    }
    // The client goes first, so the server sees its sessions end the way an application's would.
    void TearDown() override {
        UnloadClientState();
        server.Stop();
    }

    static int LastError() { return static_cast<int>(VeltariGetLastError()); }

    ScriptedServer server;
};

TEST_F(EndToEnd, NoServerRunning) {
    const VeltariProtocolDetails details = VeltariPerformProtocolHandshake();
    EXPECT_EQ(details.serverVersion, nullptr);
    EXPECT_STREQ(details.sdkVersion, VELTARI_VERSION_STRING);
    EXPECT_EQ(details.sdkProtocolVersion, 9);
    EXPECT_EQ(details.serverProtocolVersion, 0);
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    EXPECT_EQ(VeltariGetDeviceCount(), -1);
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);
}

TEST_F(EndToEnd, ServerOfProtocol8IsReportedAsBreaking) {
    server.SetProtocolVersion(8);
    server.OnMethod("VeltariGetDeviceCount", R"({"result":3})");
    ASSERT_TRUE(server.Start());

    const VeltariProtocolDetails details = VeltariPerformProtocolHandshake();
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_STREQ(details.serverVersion, "4.0.0");
    EXPECT_EQ(details.serverProtocolVersion, 8);
    EXPECT_TRUE(details.breakingChanges);
    EXPECT_EQ(server.Identities(), (std::vector<std::string>{":pid:" + std::to_string(getpid())}));

    EXPECT_EQ(VeltariGetDeviceCount(), 3);
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_EQ(server.Requests(),
              (std::vector<std::string>{kHandshakeRequest, R"({"method":"VeltariGetDeviceCount"})"}));
}

TEST_F(EndToEnd, SecondHandshakeKeepsTheConnectionAndTheFirstRecord) {
    server.SetServerVersion("4.0.0");
    ASSERT_TRUE(server.Start());
    const VeltariProtocolDetails first = VeltariPerformProtocolHandshake();
    server.SetServerVersion("4.0.1");
    server.SetProtocolVersion(12);
    server.SetBreakingChanges(true);
    const VeltariProtocolDetails second = VeltariPerformProtocolHandshake();

    EXPECT_EQ(server.SessionCount(), 1u);
    EXPECT_EQ(server.Requests(), (std::vector<std::string>{kHandshakeRequest, kHandshakeRequest}));
    EXPECT_STREQ(first.serverVersion, "4.0.0");
    EXPECT_STREQ(second.serverVersion, "4.0.1");
    EXPECT_TRUE(second.breakingChanges);
}

TEST_F(EndToEnd, ServerThatStopsFailsTheNextHandshakeUntilItIsBack) {
    server.OnMethod("VeltariGetDeviceCount", R"({"result":2})");
    ASSERT_TRUE(server.Start());
    ASSERT_NE(VeltariPerformProtocolHandshake().serverVersion, nullptr);

    server.Stop();
    const VeltariProtocolDetails failed = VeltariPerformProtocolHandshake();
    EXPECT_EQ(failed.serverVersion, nullptr);
    EXPECT_EQ(failed.serverProtocolVersion, 0);
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    EXPECT_TRUE(HandshakeDone());
    EXPECT_EQ(VeltariGetDeviceCount(), -1);
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);

    ASSERT_TRUE(server.Start());
    const VeltariProtocolDetails again = VeltariPerformProtocolHandshake();
    EXPECT_STREQ(again.serverVersion, "4.0.0");
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_EQ(server.SessionCount(), 2u);
    EXPECT_EQ(VeltariGetDeviceCount(), 2);
}

TEST_F(EndToEnd, ConnectionLostDuringTheHandshakeIsReplacedOnce) {
    server.OnMethodOnce("VeltraiHandshakeMethod", ScriptedReply::Close(ScriptedPipe::kAll));
    ASSERT_TRUE(server.Start());

    const VeltariProtocolDetails details = VeltariPerformProtocolHandshake();
    EXPECT_STREQ(details.serverVersion, "4.0.0");
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_EQ(server.SessionCount(), 2u);
    EXPECT_EQ(server.Requests(), (std::vector<std::string>{kHandshakeRequest, kHandshakeRequest}));
    EXPECT_TRUE(server.WaitForSessionEnd(0));
}

TEST_F(EndToEnd, ServerThatDroppedTheClientIsReconnectedByTheNextHandshake) {
    server.OnMethod("VeltariGetDeviceCount", R"({"result":1})");
    ASSERT_TRUE(server.Start());
    ASSERT_NE(VeltariPerformProtocolHandshake().serverVersion, nullptr);
    server.Disconnect(0);
    ASSERT_TRUE(server.WaitForSessionEnd(0));

    EXPECT_NE(VeltariPerformProtocolHandshake().serverVersion, nullptr);
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_EQ(server.SessionCount(), 2u);
    EXPECT_EQ(VeltariGetDeviceCount(), 1);
}

TEST_F(EndToEnd, UnloadClosesTheConnection) {
    ASSERT_TRUE(server.Start());
    ASSERT_NE(VeltariPerformProtocolHandshake().serverVersion, nullptr);
    UnloadClientState();
    EXPECT_TRUE(server.WaitForSessionEnd(0));
    EXPECT_TRUE(server.Session(0).clientClosedRequests);
}

}  // namespace
}  // namespace sdk::testing
