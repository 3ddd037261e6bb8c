// A fresh client state per test, with the scripted server behind the connection seam.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "api/client_state.h"
#include "api/last_error.h"
#include "fake_connection.h"
#include "veltari.h"

namespace sdk::testing {

inline constexpr char kServerAnswer[] = R"({"serverProtocolVersion":9,"serverVersion":"4.1.7"})";

class ApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        UnloadClientState();
        LoadClientState();
        SetConnectionFactory(server.Factory());
        StoreLastError(VeltariErrorSuccess);
    }
    void TearDown() override { UnloadClientState(); }

    VeltariProtocolDetails HandshakeAnswered(const std::string& answer = kServerAnswer) {
        server.Queue(answer);
        return VeltariPerformProtocolHandshake();
    }

    static int LastError() { return static_cast<int>(VeltariGetLastError()); }

    FakeServer server;
};

// Runs `work` on its own thread and fails the whole run when it does not finish in time: a deadlock
// would otherwise hang the suite.
template <class Work>
void FinishesOrAbort(Work work, const char* what) {
    std::packaged_task<void()> task(std::move(work));
    std::future<void> done = task.get_future();
    std::thread thread(std::move(task));
    if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << what << " did not finish: deadlock";
        std::fprintf(stderr, "deadlock: %s\n", what);
        std::abort();
    }
    thread.join();
    done.get();
}

}  // namespace sdk::testing
