// Buffered and asynchronous colours and key presses over real pipes, through the real bootstrap and
// connection, against the scripted server.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "api/client_state.h"
#include "api/last_error.h"
#include "callback_recorder.h"
#include "support/pipe_runtime.h"
#include "support/scripted_server.h"
#include "veltari.h"

namespace sdk::testing {
namespace {

using sdk::test::ScriptedReply;
using sdk::test::ScriptedServer;

constexpr char kHandshake[] = "VeltraiHandshakeMethod";
constexpr char kSet[] = "VeltariSetLedsColors";
constexpr char kRegister[] = "VeltariRegisterKeypressCallback";

class ColorsAndKeysEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        sdk::test::UsePrivatePipeRuntime();
        UnloadClientState();
        LoadClientState();
        StoreLastError(VeltariErrorSuccess);
    }
    void TearDown() override {
        UnloadClientState();
        server.Stop();
    }

    static int LastError() { return static_cast<int>(VeltariGetLastError()); }
    static bool Register(void* context) {
        return VeltariRegisterKeypressCallback(KeyRecorder::Callback, context);
    }

    ScriptedServer server;
    KeyRecorder keys;
    CompletionRecorder completions;
};

TEST_F(ColorsAndKeysEndToEnd, ServerOfProtocol4RefusesTheBufferAndFlushesButTakesAnAsynchronousSet) {
    server.SetProtocolVersion(4);
    server.OnMethod(kSet, R"({"result":true})");
    ASSERT_TRUE(server.Start());
    ASSERT_NE(VeltariPerformProtocolHandshake().serverVersion, nullptr);

    const VeltariLedColor colors[] = {{12, 255, 0, 0}, {13, 0, 128, 0}};
    EXPECT_FALSE(VeltariSetLedsColorsBufferByDeviceIndex(0, 2, colors));
    EXPECT_EQ(LastError(), VeltariErrorServerProtocolTooOld);
    EXPECT_FALSE(VeltariSetLedsColorsFlushBuffer());
    EXPECT_EQ(LastError(), VeltariErrorServerProtocolTooOld);
    EXPECT_FALSE(
        VeltariSetLedsColorsFlushBufferAsync(CompletionRecorder::Callback, completions.NewContext(1)));
    EXPECT_EQ(LastError(), VeltariErrorServerProtocolTooOld);

    EXPECT_TRUE(
        VeltariSetLedsColorsAsync(2, colors, CompletionRecorder::Callback, completions.NewContext(2)));
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    ASSERT_TRUE(completions.WaitFor(1));
    const Completion done = completions.Completions()[0];
    EXPECT_EQ(done.tag, 2);
    EXPECT_TRUE(done.success);
    EXPECT_EQ(done.error, VeltariErrorSuccess);
    EXPECT_EQ(server.Methods(), (std::vector<std::string>{kHandshake, kSet}));
    EXPECT_EQ(server.Requests().back(),
              R"({"method":"VeltariSetLedsColors","params":{"ledsColors":"12,255,0,0#13,0,128,0"}})");
}

TEST_F(ColorsAndKeysEndToEnd, BufferFlushedSynchronouslyAndAsynchronously) {
    server.OnMethod("VeltariSetLedsColorsFlushBuffer", R"({"result":true,"errorCode":0})");
    ASSERT_TRUE(server.Start());
    ASSERT_NE(VeltariPerformProtocolHandshake().serverVersion, nullptr);

    const VeltariLedColor red[] = {{10, 255, 0, 0}};
    const VeltariLedColor blue[] = {{10, 0, 0, 255}};
    EXPECT_TRUE(VeltariSetLedsColorsBufferByDeviceIndex(0, 1, red));
    EXPECT_TRUE(VeltariSetLedsColorsBufferByDeviceIndex(0, 1, blue));
    EXPECT_TRUE(VeltariSetLedsColorsBufferByDeviceIndex(2, 1, red));
    EXPECT_TRUE(VeltariSetLedsColorsFlushBuffer());
    EXPECT_EQ(LastError(), VeltariErrorSuccess);

    EXPECT_TRUE(VeltariSetLedsColorsBufferByDeviceIndex(1, 1, blue));
    EXPECT_TRUE(
        VeltariSetLedsColorsFlushBufferAsync(CompletionRecorder::Callback, completions.NewContext(1)));
    ASSERT_TRUE(completions.WaitFor(1));
    EXPECT_TRUE(completions.Completions()[0].success);

    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(
        requests[1],
        R"({"method":"VeltariSetLedsColorsFlushBuffer","params":{"ledsColorsByDeviceIndex":[{"deviceIndex":0,"ledColors":"10,0,0,255"},{"deviceIndex":2,"ledColors":"10,255,0,0"}]}})");
    EXPECT_EQ(
        requests[2],
        R"({"method":"VeltariSetLedsColorsFlushBuffer","params":{"ledsColorsByDeviceIndex":[{"deviceIndex":1,"ledColors":"10,0,0,255"}]}})");
}

TEST_F(ColorsAndKeysEndToEnd, StoppedServerReachesCallbacksAsUnreachable) {
    ASSERT_TRUE(server.Start());
    ASSERT_NE(VeltariPerformProtocolHandshake().serverVersion, nullptr);
    server.Stop();

    const VeltariLedColor colors[] = {{1, 1, 1, 1}};
    EXPECT_TRUE(
        VeltariSetLedsColorsAsync(1, colors, CompletionRecorder::Callback, completions.NewContext(1)));
    EXPECT_TRUE(
        VeltariSetLedsColorsFlushBufferAsync(CompletionRecorder::Callback, completions.NewContext(2)));
    ASSERT_TRUE(completions.WaitFor(2));
    for (const Completion& completion : completions.Completions()) {
        EXPECT_FALSE(completion.success);
        EXPECT_EQ(completion.error, VeltariErrorServerUnreachable);
        EXPECT_EQ(completion.lastErrorInside, VeltariErrorServerUnreachable);
        EXPECT_NE(completion.thread, std::this_thread::get_id());
    }
}

TEST_F(ColorsAndKeysEndToEnd, KeyNotificationsReachEveryCallbackInRegistrationOrder) {
    server.OnMethodOnce(kRegister, ScriptedReply::Text(R"({"errorCode":2})"));
    ASSERT_TRUE(server.Start());
    ASSERT_NE(VeltariPerformProtocolHandshake().serverVersion, nullptr);

    EXPECT_FALSE(Register(keys.NewContext(1))) << "refused, but stays registered";
    EXPECT_EQ(LastError(), 2);
    EXPECT_TRUE(Register(keys.NewContext(2)));
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_TRUE(Register(keys.NewContext(3)));
    EXPECT_EQ(server.Methods(), (std::vector<std::string>{kHandshake, kRegister, kRegister}))
        << "the registration after a successful one sends nothing";

    ASSERT_TRUE(server.Notify(R"({"vendorKey":5,"pressed":true})"));
    ASSERT_TRUE(server.Notify(R"({"vendorKey":5,"pressed":false})"));
    ASSERT_TRUE(keys.WaitFor(6));
    EXPECT_EQ(keys.Events(),
              (std::vector<KeyEvent>{
                  {1, 5, true}, {2, 5, true}, {3, 5, true}, {1, 5, false}, {2, 5, false}, {3, 5, false}}));
}

TEST_F(ColorsAndKeysEndToEnd, AfterAReconnectOnlyNewRegistrationsHearKeys) {
    ASSERT_TRUE(server.Start());
    ASSERT_NE(VeltariPerformProtocolHandshake().serverVersion, nullptr);
    EXPECT_TRUE(Register(keys.NewContext(1)));
    ASSERT_TRUE(server.Notify(R"({"vendorKey":1,"pressed":true})"));
    ASSERT_TRUE(keys.WaitFor(1));

    server.Disconnect(0);
    ASSERT_TRUE(server.WaitForSessionEnd(0));
    EXPECT_EQ(VeltariGetDeviceCount(), -1);
    ASSERT_NE(VeltariPerformProtocolHandshake().serverVersion, nullptr);
    ASSERT_EQ(server.SessionCount(), 2u);

    EXPECT_TRUE(Register(keys.NewContext(2)));
    EXPECT_EQ(server.Methods().back(), kRegister) << "the new connection is asked again";
    ASSERT_TRUE(server.Notify(1, R"({"vendorKey":2,"pressed":true})"));
    ASSERT_TRUE(keys.WaitFor(2));
    EXPECT_EQ(keys.Events(), (std::vector<KeyEvent>{{1, 1, true}, {2, 2, true}}));
}

TEST_F(ColorsAndKeysEndToEnd, CallbackHandshakingOnALostConnectionFailsAndTheNextHandshakeReconnects) {
    ASSERT_TRUE(server.Start());
    ASSERT_NE(VeltariPerformProtocolHandshake().serverVersion, nullptr);
    Signal entered;
    Signal release;
    Signal done;
    const char* version = "unset";
    int error = -1;
    EXPECT_TRUE(Register(keys.NewContext(1, [&] {
        entered.Set();
        release.Wait();
        VeltariGetDeviceCount();  // finds the connection gone
        version = VeltariPerformProtocolHandshake().serverVersion;
        error = LastError();
        done.Set();
    })));
    ASSERT_TRUE(server.Notify("{}"));
    ASSERT_TRUE(entered.Wait());
    server.Disconnect(0);
    ASSERT_TRUE(server.WaitForSessionEnd(0));
    release.Set();
    ASSERT_TRUE(done.Wait());
    EXPECT_EQ(version, nullptr);
    EXPECT_EQ(error, VeltariErrorServerUnreachable);
    EXPECT_EQ(server.SessionCount(), 1u);

    ASSERT_NE(VeltariPerformProtocolHandshake().serverVersion, nullptr);
    EXPECT_EQ(server.SessionCount(), 2u);
}

}  // namespace
}  // namespace sdk::testing
