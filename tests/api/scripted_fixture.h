// A fresh client state per test, talking over real pipes through the real bootstrap to the scripted
// server. Free of platform calls, so the same tests run wherever the pipes do.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/client_state.h"
#include "api/last_error.h"
#include "support/pipe_runtime.h"
#include "support/scripted_server.h"
#include "veltari.h"

namespace sdk::testing {

using sdk::test::ScriptedPipe;
using sdk::test::ScriptedReply;
using sdk::test::ScriptedServer;

class ScriptedApiTest : public ::testing::Test {
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

    // Starts the server as one of `protocol` and shakes hands with it; the handshake's request is then
    // forgotten, so Requests() holds only what the test sent.
    void Connect(int protocol = 9) {
        server.SetProtocolVersion(protocol);
        ASSERT_TRUE(server.Start());
        const VeltariProtocolDetails details = VeltariPerformProtocolHandshake();
        ASSERT_NE(details.serverVersion, nullptr);
        ASSERT_EQ(details.serverProtocolVersion, protocol);
        ASSERT_EQ(LastError(), VeltariErrorSuccess);
        server.ClearRequests();
    }

    // The server goes away and a handshake finds it gone: the gate fails from now on, the handshake flag
    // stays set and the stored server protocol is 0.
    void LoseServer() {
        server.Stop();
        ASSERT_EQ(VeltariPerformProtocolHandshake().serverVersion, nullptr);
        ASSERT_EQ(LastError(), VeltariErrorServerUnreachable);
        server.ClearRequests();
    }

    // The server drops this client and a call notices: the gate fails from now on, while the stored
    // server protocol stays what the handshake learnt.
    void DropConnection() {
        const std::size_t session = server.SessionCount() - 1;
        server.Disconnect(session);
        ASSERT_TRUE(server.WaitForSessionEnd(session));
        ASSERT_EQ(VeltariGetDeviceCount(), -1);
        ASSERT_EQ(LastError(), VeltariErrorServerUnreachable);
        server.ClearRequests();
    }

    // The requests the server read since the last clearing. A device count request goes last: once it
    // is answered the server has read everything sent before it on the same connection, so a request
    // that a failed call wrongly sent cannot still be on its way. The last error is changed.
    std::vector<std::string> SentSoFar() {
        EXPECT_NE(VeltariGetDeviceCount(), -1) << "the probe needs a live connection";
        std::vector<std::string> requests = server.Requests();
        EXPECT_FALSE(requests.empty());
        if (!requests.empty()) {
            EXPECT_EQ(requests.back(), R"({"method":"VeltariGetDeviceCount"})");
            requests.pop_back();
        }
        server.ClearRequests();
        return requests;
    }

    // The server's answer to the next request of `method` is exactly this text.
    void AnswerOnce(const std::string& method, const std::string& text) {
        server.OnMethodOnce(method, ScriptedReply::Text(text));
    }
    // The next request of `method` gets a frame without payload: the library sees no answer.
    void AnswerEmptyOnce(const std::string& method) { server.OnMethodOnce(method, ScriptedReply::Raw({})); }

    ScriptedServer server;
};

}  // namespace sdk::testing
