// Key-press registration and delivery over the scripted connection, whose own thread delivers the
// notifications as the real connection's dispatcher does.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "api_fixture.h"
#include "callback_recorder.h"

namespace sdk::testing {
namespace {

constexpr char kRegisterRequest[] = R"({"method":"VeltariRegisterKeypressCallback"})";
constexpr char kProtocol3[] = R"({"serverProtocolVersion":3,"serverVersion":"old"})";

class KeyPress : public ApiTest {
protected:
    void Mark() { mark_ = server.Requests().size(); }
    std::vector<std::string> Sent() {
        std::vector<std::string> requests = server.Requests();
        return std::vector<std::string>(requests.begin() + static_cast<std::ptrdiff_t>(mark_),
                                        requests.end());
    }

    bool Register(void* context) { return VeltariRegisterKeypressCallback(KeyRecorder::Callback, context); }

    // A callback that never comes back would hang every later test; stop the run instead.
    void AwaitKeys(std::size_t count) {
        if (!keys.WaitFor(count)) {
            ADD_FAILURE() << "expected " << count << " key events";
            std::fprintf(stderr, "key events missing: deadlock or lost delivery\n");
            std::abort();
        }
    }

    KeyRecorder keys;

private:
    std::size_t mark_ = 0;
};

TEST_F(KeyPress, RegistrationTestsHandshakeThenCallbackThenConnectionThenProtocol) {
    EXPECT_FALSE(Register(keys.NewContext(1)));
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);

    HandshakeAnswered(kProtocol3);
    server.BreakLatest();
    EXPECT_FALSE(VeltariRegisterKeypressCallback(nullptr, nullptr));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    EXPECT_FALSE(Register(keys.NewContext(1)));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);

    HandshakeAnswered(kProtocol3);
    Mark();
    EXPECT_FALSE(Register(keys.NewContext(1)));
    EXPECT_EQ(LastError(), VeltariErrorServerProtocolTooOld);
    EXPECT_EQ(State().keyPresses.Size(), 0u) << "a failed test registers nothing";
    EXPECT_TRUE(Sent().empty());
}

TEST_F(KeyPress, EveryCallbackHearsEveryKeyInRegistrationOrder) {
    HandshakeAnswered();
    Mark();
    void* first = keys.NewContext(1);
    EXPECT_TRUE(Register(first));
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    StoreLastError(9);
    EXPECT_TRUE(Register(keys.NewContext(2)));
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_TRUE(Register(first)) << "the same callback and context may register twice";
    EXPECT_EQ(Sent(), std::vector<std::string>{kRegisterRequest}) << "only the first registration asks";

    FakeConnection* connection = server.Latest();
    connection->Notify(R"({"vendorKey":5,"pressed":true})");
    connection->Notify("");
    connection->Notify(R"({"vendorKey":7})");
    connection->Notify("not json");
    connection->Notify(R"({"vendorKey":-3.9,"pressed":false,"method":"anything"})");
    AwaitKeys(12);
    EXPECT_EQ(keys.Events(), (std::vector<KeyEvent>{{1, 5, true},
                                                    {2, 5, true},
                                                    {1, 5, true},
                                                    {1, 7, false},
                                                    {2, 7, false},
                                                    {1, 7, false},
                                                    {1, 0, false},
                                                    {2, 0, false},
                                                    {1, 0, false},
                                                    {1, -3, false},
                                                    {2, -3, false},
                                                    {1, -3, false}}))
        << "the empty notification called nothing";
}

TEST_F(KeyPress, RefusedRegistrationStaysRegisteredAndIsHeardOnceAnotherSucceeds) {
    HandshakeAnswered();
    server.Queue(R"({"errorCode":2,"result":true})");
    EXPECT_FALSE(Register(keys.NewContext(1)));
    EXPECT_EQ(LastError(), 2);
    server.Queue("", /*breaks=*/false);
    EXPECT_FALSE(Register(keys.NewContext(2)));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    EXPECT_FALSE(server.Latest()->HasNotificationHandler());
    EXPECT_EQ(State().keyPresses.Size(), 2u);

    Mark();
    server.Queue("{}");
    EXPECT_TRUE(Register(keys.NewContext(3)));
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_EQ(Sent(), std::vector<std::string>{kRegisterRequest});
    server.Latest()->Notify(R"({"vendorKey":1,"pressed":true})");
    AwaitKeys(3);
    EXPECT_EQ(keys.Events(), (std::vector<KeyEvent>{{1, 1, true}, {2, 1, true}, {3, 1, true}}));
}

TEST_F(KeyPress, ReconnectDiscardsCallbacksUntilANewRegistration) {
    HandshakeAnswered();
    EXPECT_TRUE(Register(keys.NewContext(1)));
    FakeConnection* old = server.Latest();
    old->Notify(R"({"vendorKey":1,"pressed":true})");
    AwaitKeys(1);

    server.BreakLatest();
    HandshakeAnswered();
    EXPECT_TRUE(server.Lines()[0]->destroyed) << "the old connection's delivery is gone with it";
    EXPECT_FALSE(server.Latest()->HasNotificationHandler());
    EXPECT_EQ(State().keyPresses.Size(), 0u);

    Mark();
    EXPECT_TRUE(Register(keys.NewContext(2)));
    EXPECT_EQ(Sent(), std::vector<std::string>{kRegisterRequest}) << "a new connection is asked again";
    server.Latest()->Notify(R"({"vendorKey":2,"pressed":false})");
    AwaitKeys(2);
    EXPECT_EQ(keys.Events(), (std::vector<KeyEvent>{{1, 1, true}, {2, 2, false}}));
}

TEST_F(KeyPress, CallbackMayRegisterAnotherWhichHearsFromTheNextKeyOn) {
    HandshakeAnswered();
    void* second = keys.NewContext(2);
    bool registered = false;
    bool registeredOk = false;
    EXPECT_TRUE(Register(keys.NewContext(1, [&] {
        if (registered) return;
        registered = true;
        registeredOk = Register(second);
    })));
    server.Latest()->Notify(R"({"vendorKey":1,"pressed":true})");
    server.Latest()->Notify(R"({"vendorKey":2,"pressed":true})");
    AwaitKeys(3);
    EXPECT_TRUE(registeredOk);
    EXPECT_EQ(keys.Events(), (std::vector<KeyEvent>{{1, 1, true}, {1, 2, true}, {2, 2, true}}));
}

TEST_F(KeyPress, CallbackSendingARequestWhileAHandshakeReplacesTheConnection) {
    HandshakeAnswered();
    Signal entered;
    int count = 0;
    EXPECT_TRUE(Register(keys.NewContext(1, [&] {
        entered.Set();
        count = VeltariGetDeviceCount();
    })));
    FakeConnection* old = server.Latest();
    server.BreakLatest();
    // The key arrives while the handshake holds the connection mutex to make the new connection, so
    // the callback waits for that mutex while the old connection's destruction waits for the callback.
    server.OnConnect([&] {
        old->Notify("{}");
        entered.Wait();
    });
    server.SetFallback(R"({"result":6,"serverProtocolVersion":9,"serverVersion":"v"})");

    FinishesOrAbort([] { VeltariPerformProtocolHandshake(); }, "handshake replacing a delivering connection");
    AwaitKeys(1);
    EXPECT_TRUE(server.Lines()[0]->destroyed);
    EXPECT_FALSE(server.Lines()[0]->selfJoinAttempted);
    EXPECT_EQ(count, 6) << "the callback's request went over the new connection";
}

TEST_F(KeyPress, HandshakeFromACallbackOnABrokenConnectionFailsInsteadOfJoiningItself) {
    HandshakeAnswered();
    const char* version = "unset";
    int error = -1;
    EXPECT_TRUE(Register(keys.NewContext(1, [&] {
        version = VeltariPerformProtocolHandshake().serverVersion;
        error = LastError();
    })));
    server.BreakLatest();
    server.Latest()->Notify("{}");
    AwaitKeys(1);
    EXPECT_EQ(version, nullptr);
    EXPECT_EQ(error, VeltariErrorServerUnreachable);
    EXPECT_EQ(server.Identities().size(), 1u) << "no reconnect from the delivering thread";
    EXPECT_FALSE(server.Lines()[0]->selfJoinAttempted);

    EXPECT_STREQ(HandshakeAnswered().serverVersion, "4.1.7") << "outside a callback it reconnects";
    EXPECT_TRUE(server.Lines()[0]->destroyed);
    EXPECT_FALSE(server.Lines()[0]->selfJoinAttempted);
}

// A key press during unload may make the process's first asynchronous call. Unload closes the queues
// before it stops key-press delivery, so no worker starts behind its back: the call is refused.
TEST_F(KeyPress, UnloadWhileACallbackMakesTheFirstAsynchronousCall) {
    HandshakeAnswered();
    Signal entered;
    Signal release;
    // Older than the stop of the colour workers, so it runs after it.
    Signal workersStopped;
    AtUnloadStopWorker([&] { workersStopped.Set(); });
    CompletionRecorder completions;
    void* completion = completions.NewContext(1);
    const VeltariLedColor color[] = {{1, 1, 1, 1}};
    bool started = true;
    EXPECT_TRUE(Register(keys.NewContext(1, [&] {
        entered.Set();
        release.Wait();
        EXPECT_FALSE(VeltariSetLedsColorsAsync(1, color, CompletionRecorder::Callback, completion));
        EXPECT_FALSE(VeltariSetLedsColorsFlushBufferAsync(CompletionRecorder::Callback, completion));
        started = State().colors.setQueue.WorkerStarted() || State().colors.flushQueue.WorkerStarted();
    })));
    server.Latest()->Notify("{}");
    ASSERT_TRUE(entered.Wait());

    std::thread unloader([] { UnloadClientState(); });
    EXPECT_TRUE(workersStopped.Wait());
    release.Set();
    FinishesOrAbort([&] { unloader.join(); }, "unload with a key-press callback queueing colours");
    EXPECT_TRUE(server.Lines()[0]->destroyed);
    EXPECT_FALSE(started);
    EXPECT_TRUE(completions.Completions().empty());
}

TEST_F(KeyPress, CallbackMayQueueAsynchronousColours) {
    HandshakeAnswered();
    CompletionRecorder completions;
    void* completion = completions.NewContext(1);
    const VeltariLedColor color[] = {{4, 0, 4, 0}};
    EXPECT_TRUE(Register(keys.NewContext(1, [&] {
        EXPECT_TRUE(VeltariSetLedsColorsAsync(1, color, CompletionRecorder::Callback, completion));
    })));
    server.Latest()->Notify(R"({"vendorKey":4,"pressed":true})");
    ASSERT_TRUE(completions.WaitFor(1));
    EXPECT_EQ(server.Requests().back(),
              R"({"method":"VeltariSetLedsColors","params":{"ledsColors":"4,0,4,0"}})");
}

}  // namespace
}  // namespace sdk::testing
