// The two waits of a full request time-out, run side by side so the suite pays for them once.
#include <gtest/gtest.h>

#include <future>

#include "pipe_test_util.h"
#include "support/scripted_server.h"
#include "transport/bootstrap.h"

namespace sdk::test {
namespace {

TEST(SilentServer, CallsAndBootstrapsGiveUpAfterFiveSeconds) {
    ScriptedServerOptions options;
    options.answerRendezvous = false;
    ScriptedServer rendezvousOnly(options);
    ASSERT_TRUE(rendezvousOnly.Start());
    ConnectionLinks links = OpenConnectionLinks();
    ASSERT_TRUE(links.connection);

    // A server that accepts the rendezvous and never answers.
    auto bootstrap = std::async(std::launch::async, [] {
        Stopwatch watch;
        const bool connected = CreateRpcConnection(":pid:1") != nullptr;
        return std::make_pair(connected, watch.ElapsedMs());
    });
    // A server that reads the request and never answers.
    auto call = std::async(std::launch::async, [&] {
        Stopwatch watch;
        std::string response = links.connection->Call("{}");
        return std::make_pair(response, watch.ElapsedMs());
    });

    const auto [connected, bootstrapMs] = bootstrap.get();
    EXPECT_FALSE(connected);
    EXPECT_GE(bootstrapMs, 4900);
    EXPECT_LT(bootstrapMs, 30000);
    EXPECT_EQ(rendezvousOnly.Identities(), std::vector<std::string>{":pid:1"});

    const auto [response, callMs] = call.get();
    EXPECT_EQ(response, "");
    EXPECT_GE(callMs, 4900);
    EXPECT_LT(callMs, 30000);
    EXPECT_TRUE(links.connection->IsBroken());
    // The late answer is never taken for the next request: the connection gave both channels up.
    links.responses.server->WriteMessage(TextMessage("late"), 1000);
    Stopwatch watch;
    EXPECT_EQ(links.connection->Call("{}"), "");
    EXPECT_LT(watch.ElapsedMs(), 1000);
}

}  // namespace
}  // namespace sdk::test
