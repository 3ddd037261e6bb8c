// The bootstrap against the scripted server over the real rendezvous and private pipes.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "pipe_test_util.h"
#include "support/scripted_server.h"
#include "transport/bootstrap.h"

namespace sdk::test {
namespace {

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

TEST(Bootstrap, TheRendezvousBaseNameIsFixed) {
    EXPECT_EQ(ServerPipeBaseName(), L"\\\\.\\pipe\\VeltariLumaneth\\{7C1D5E90-3B62-4F8A-9E07-2D4B6A81C3F5}");
}

TEST(Bootstrap, AConnectionReachesItsOwnSessionOnTheServer) {
    ScriptedServer server;
    ASSERT_TRUE(server.Start());
    server.OnMethod("VeltariGetDeviceCount", R"({"result":3})");
    auto connection = CreateRpcConnection(":pid:4312");
    ASSERT_TRUE(connection);
    EXPECT_FALSE(connection->IsBroken());
    ASSERT_TRUE(server.WaitForSessions(1));
    EXPECT_EQ(server.Session(0).identity, ":pid:4312");
    EXPECT_EQ(server.Identities(), std::vector<std::string>{":pid:4312"});
    const std::wstring base = server.Session(0).baseName;
    EXPECT_EQ(base.rfind(L"\\\\.\\pipe\\VeltariLumaneth\\", 0), 0u);

    // The response keeps the server's terminating NUL.
    EXPECT_EQ(connection->Call(R"({"method":"VeltariGetDeviceCount"})"), std::string(R"({"result":3})") + '\0');
    EXPECT_EQ(server.Requests(), std::vector<std::string>{R"({"method":"VeltariGetDeviceCount"})"});
    EXPECT_EQ(server.RequestPayloads()[0].back(), 0);

    std::promise<std::string> delivered;
    connection->SetNotificationHandler([&](const std::string& text) { delivered.set_value(text); });
    ASSERT_TRUE(server.Notify(R"({"vendorKey":5,"pressed":true})"));
    auto text = delivered.get_future();
    ASSERT_EQ(text.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(text.get(), R"({"vendorKey":5,"pressed":true})");

    // Closing the connection ends the session on the server.
    connection.reset();
    ASSERT_TRUE(server.WaitForSessionEnd(0));
    EXPECT_TRUE(server.Session(0).clientClosedRequests);
}

TEST(Bootstrap, WithNoServerItFailsAtOnce) {
    ScriptedServer server;  // not started: nothing serves the rendezvous pipes
    Stopwatch watch;
    EXPECT_EQ(CreateRpcConnection(":pid:1"), nullptr);
    EXPECT_TRUE(RequestPipeName(":pid:1").empty());
    EXPECT_LT(watch.ElapsedMs(), 1500);
}

TEST(Bootstrap, AServerThatGoesAwayIsFoundAgainWhenItComesBack) {
    ScriptedServer server;
    ASSERT_TRUE(server.Start());
    auto first = CreateRpcConnection(":pid:7");
    ASSERT_TRUE(first);
    server.Stop();
    EXPECT_EQ(first->Call("{}"), "");
    EXPECT_TRUE(first->IsBroken());
    EXPECT_EQ(CreateRpcConnection(":pid:7"), nullptr);
    ASSERT_TRUE(server.Start());
    auto second = CreateRpcConnection(":pid:7");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->Call("{}"), std::string("{}") + '\0');
}

TEST(Bootstrap, TheLastByteOfTheReplyIsDroppedWhateverItIs) {
    ScriptedServerOptions options;
    const std::string name = "\\\\.\\pipe\\somewhere\\else";
    options.rendezvousReply = Bytes(name.begin(), name.end());
    options.rendezvousReply->push_back('Q');
    ScriptedServer server(options);
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(RequestPipeName(":pid:9"), Widen(name));
    ASSERT_TRUE(server.WaitForIdentities(1));
    EXPECT_EQ(server.Identities()[0], ":pid:9");
}

TEST(Bootstrap, ReplyBytesAreWidenedWithTheirSign) {
    ScriptedServerOptions options;
    options.rendezvousReply = Bytes{'a', 0x7F, 0x80, 0xFF, 0};
    ScriptedServer server(options);
    ASSERT_TRUE(server.Start());
    const std::wstring name = RequestPipeName(":pid:9");
    ASSERT_EQ(name.size(), 4u);
    EXPECT_EQ(static_cast<std::uint32_t>(name[0]), 0x61u);
    EXPECT_EQ(static_cast<std::uint32_t>(name[1]), 0x7Fu);
    EXPECT_EQ(static_cast<std::uint32_t>(name[2]), 0xFF80u);
    EXPECT_EQ(static_cast<std::uint32_t>(name[3]), 0xFFFFu);
}

TEST(Bootstrap, AnEmptyOrOneByteReplyGivesNoConnection) {
    for (const Bytes& reply : {Bytes{}, Bytes{0}}) {
        ScriptedServerOptions options;
        options.rendezvousReply = reply;
        ScriptedServer server(options);
        ASSERT_TRUE(server.Start());
        EXPECT_TRUE(RequestPipeName(":pid:9").empty());
        EXPECT_EQ(CreateRpcConnection(":pid:9"), nullptr);
    }
}

TEST(Bootstrap, AReplyNamingPipesThatDoNotExistGivesNoConnectionAtOnce) {
    ScriptedServerOptions options;
    const std::string name = "\\\\.\\pipe\\VeltariLumaneth\\nothing-here";
    options.rendezvousReply = Bytes(name.begin(), name.end());
    options.rendezvousReply->push_back(0);
    ScriptedServer server(options);
    ASSERT_TRUE(server.Start());
    Stopwatch watch;
    EXPECT_EQ(CreateRpcConnection(":pid:9"), nullptr);
    EXPECT_LT(watch.ElapsedMs(), 1500);
}

TEST(Bootstrap, ClientsBootstrappingAtTheSameMomentGetTheirOwnPipes) {
    ScriptedServer server;
    ASSERT_TRUE(server.Start());
    constexpr int kClients = 4;
    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    std::vector<std::future<std::unique_ptr<IRpcConnection>>> pending;
    for (int i = 0; i < kClients; ++i) {
        pending.push_back(std::async(std::launch::async, [start, i] {
            start.wait();
            return CreateRpcConnection(":pid:" + std::to_string(100 + i));
        }));
    }
    go.set_value();
    std::vector<std::unique_ptr<IRpcConnection>> connections;
    for (auto& future : pending) {
        connections.push_back(future.get());
        ASSERT_TRUE(connections.back());
    }
    ASSERT_TRUE(server.WaitForSessions(kClients));
    std::set<std::wstring> bases;
    for (int i = 0; i < kClients; ++i) {
        bases.insert(server.Session(i).baseName);
    }
    EXPECT_EQ(bases.size(), static_cast<std::size_t>(kClients));

    // Each connection talks to a session of its own: a notification pushed on one session reaches
    // exactly one connection, and every connection gets exactly one.
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::string> received(kClients);
    int count = 0;
    for (int i = 0; i < kClients; ++i) {
        connections[i]->SetNotificationHandler([&, i](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex);
            received[i] += text;
            ++count;
            arrived.notify_all();
        });
    }
    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(server.Notify(i, "n" + std::to_string(i)));
        EXPECT_EQ(connections[i]->Call("ping"), std::string("{}") + '\0');
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(10), [&] { return count == kClients; }));
    }
    for (int i = 0; i < kClients; ++i) {
        connections[i].reset();  // joins the delivery threads: nothing arrives after this
    }
    std::multiset<std::string> texts(received.begin(), received.end());
    EXPECT_EQ(texts, (std::multiset<std::string>{"n0", "n1", "n2", "n3"}));
}

}  // namespace
}  // namespace sdk::test
