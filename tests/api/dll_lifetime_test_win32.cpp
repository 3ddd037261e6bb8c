// veltari.dll loaded at run time by a separate host process, as applications load it: FreeLibrary with
// the library's threads running must return, unload everything and leave the process working, and a
// process that ends with those threads running must end at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "dll/run_host_win32.h"
#include "support/scripted_server.h"

namespace sdk::test {
namespace {

using namespace std::chrono_literals;

constexpr int kLimitMs = 120000;

// Keeps pushing key events to the newest client until the host is done, so that its key-press
// callback, and with it the notification threads, run whenever the host looks.
class KeyPresser {
public:
    explicit KeyPresser(ScriptedServer& server)
        : thread_([this, &server] {
              while (!done_) {
                  server.Notify(R"({"vendorKey":5,"pressed":true})");
                  std::this_thread::sleep_for(20ms);
              }
          }) {}
    ~KeyPresser() {
        done_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// The host counts an asynchronous call whose callback does not report success as a failure.
void AnswerColourCallsWithSuccess(ScriptedServer& server) {
    const ScriptedReply success = ScriptedReply::Text(R"({"errorCode":0,"result":true})");
    server.OnMethod("VeltariSetLedsColors", success);
    server.OnMethod("VeltariSetLedsColorsFlushBuffer", success);
}

TEST(DllLifetimeWin32, FreeLibraryWithLibraryThreadsRunningUnloadsAndTheProcessGoesOn) {
    ScriptedServer server;
    AnswerColourCallsWithSuccess(server);
    ASSERT_TRUE(server.Start());
    HostRun run;
    {
        KeyPresser presser(server);
        run = RunDllHost(L"unload", L"veltari.dll", kLimitMs);
    }
    ASSERT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut);
    // 0: FreeLibrary returned, and a new load found an empty state and could connect again.
    EXPECT_EQ(0u, run.exitCode);
    ASSERT_TRUE(server.WaitForSessions(2));
    ASSERT_TRUE(server.WaitForSessionEnd(0));
    EXPECT_TRUE(server.Session(0).clientClosedRequests);
}

TEST(DllLifetimeWin32, ProcessExitsAtOnceWithLibraryThreadsRunning) {
    ScriptedServer server;
    AnswerColourCallsWithSuccess(server);
    ASSERT_TRUE(server.Start());
    HostRun run;
    {
        KeyPresser presser(server);
        run = RunDllHost(L"exit", L"veltari.dll", kLimitMs);
    }
    ASSERT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(0u, run.exitCode);
    ASSERT_TRUE(server.WaitForSessionEnd(0));
}

}  // namespace
}  // namespace sdk::test
