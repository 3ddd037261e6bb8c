// Clients that misbehave over real pipes lose their own connection and nothing else.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "raw_pipe.h"
#include "served_server.h"
#include "transport/bootstrap.h"

namespace sdk::test {
namespace {

// A well-behaved client: the library's own connection.
struct GoodClient {
    explicit GoodClient(const std::string& identity) : connection(CreateRpcConnection(identity)) {}
    std::string Call(const std::string& request) {
        std::string response = connection ? connection->Call(request) : std::string();
        if (!response.empty() && response.back() == '\0') response.pop_back();
        return response;
    }
    std::unique_ptr<IRpcConnection> connection;
};

// A client that writes whatever bytes it likes on its request pipe.
struct RawClient {
    explicit RawClient(const std::string& identity) {
        const std::wstring base = RequestPipeName(identity);
        if (base.empty()) return;
        responses = OpenFrameChannel(base + L"_out", PipeEnd::kRead, 2000);
        requests = OpenRawPipeWriter(base + L"_in");
        notifications = OpenFrameChannel(base + L"_callback", PipeEnd::kRead, 2000);
    }
    bool Ready() const { return responses && requests && notifications; }
    // True once the server has closed the response pipe.
    bool Dropped() {
        Bytes payload;
        return responses->Read(payload, 10000).status != IoStatus::kOk;
    }
    std::shared_ptr<FrameChannel> responses;
    std::unique_ptr<RawPipeWriter> requests;
    std::shared_ptr<FrameChannel> notifications;
};

Bytes Frame(const std::string& payload, std::uint32_t announced) {
    Bytes bytes;
    bytes.reserve(4 + payload.size());
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<std::uint8_t>(announced >> shift));
    for (char c : payload) bytes.push_back(static_cast<std::uint8_t>(c));
    return bytes;
}

Bytes Frame(const std::string& payload) {
    return Frame(payload, static_cast<std::uint32_t>(payload.size()));
}

const char kCount[] = R"({"method":"VeltariGetDeviceCount"})";
const char kCountAnswer[] = R"({"errorCode":0,"result":4})";

class RobustnessTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(served_.Start()); }
    ServedLightingServer served_;
};

TEST_F(RobustnessTest, BadFramesCostOnlyTheSendersConnection) {
    GoodClient good(":pid:100");
    ASSERT_TRUE(good.connection);
    const int led = served_.Server().Catalog().LedIdForKeyName('A');
    ASSERT_EQ(good.Call("{\"method\":\"VeltariSetLedsColors\",\"params\":{\"ledsColors\":\"" +
                        std::to_string(led) + ",1,2,3\"}}"),
              R"({"errorCode":0,"result":true})");

    const struct {
        const char* what;
        Bytes bytes;
        bool thenClose;
    } cases[] = {
        {"random bytes", Frame(std::string("\x01\xfe\x80garbage\x00", 11)), false},
        {"unparsable JSON", Frame(std::string("{\"method\":\0", 12)), false},
        {"an empty frame", Frame(""), false},
        {"a frame announcing more than the largest payload", Frame("{}", 0xFFFFFFF0u), false},
        {"a truncated frame", Frame("{\"method\":\"VeltariGetDeviceCount\"}", 200), true},
        {"a truncated length word", Bytes{0x10, 0x00}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RawClient bad(":pid:200");
        ASSERT_TRUE(bad.Ready());
        ASSERT_TRUE(served_.WaitForClients(2));
        ASSERT_TRUE(bad.requests->Write(c.bytes));
        if (c.thenClose) bad.requests->Close();
        EXPECT_TRUE(bad.Dropped());
        EXPECT_TRUE(served_.WaitForClients(1));
        EXPECT_EQ(good.Call(kCount), kCountAnswer);
    }
    // The good client's colours survived every other client's fall.
    EXPECT_EQ(good.Call("{\"method\":\"VeltariGetLedsColors\",\"params\":{\"ledsColors\":\"" +
                        std::to_string(led) + ",0,0,0\"}}"),
              "{\"errorCode\":0,\"ledsColors\":\"" + std::to_string(led) + ",1,2,3\"}");
}

TEST_F(RobustnessTest, AClientThatVanishesTakesItsLayerAndControlWithIt) {
    GoodClient stays(":pid:300");
    const int led = served_.Server().Catalog().LedIdForKeyName('B');
    const std::string set =
        "{\"method\":\"VeltariSetLedsColors\",\"params\":{\"ledsColors\":\"" + std::to_string(led);
    const std::string get = "{\"method\":\"VeltariGetLedsColors\",\"params\":{\"ledsColors\":\"" +
                            std::to_string(led) + ",0,0,0\"}}";
    stays.Call(set + ",0,0,7\"}}");
    {
        GoodClient leaves(":pid:301");
        EXPECT_EQ(leaves.Call(R"({"method":"InternalAquireAccessMode","params":{"accessMode":0}})"),
                  R"({"errorCode":0,"result":true})");
        leaves.Call(set + ",9,0,0\"}}");
        EXPECT_EQ(stays.Call(get), "{\"errorCode\":0,\"ledsColors\":\"" + std::to_string(led) + ",9,0,0\"}");
        EXPECT_EQ(stays.Call(R"({"method":"InternalAquireAccessMode","params":{"accessMode":0}})"),
                  R"({"errorCode":101,"result":false})");
    }
    ASSERT_TRUE(served_.WaitForClients(1));
    EXPECT_EQ(stays.Call(get), "{\"errorCode\":0,\"ledsColors\":\"" + std::to_string(led) + ",0,0,7\"}");
    EXPECT_EQ(stays.Call(R"({"method":"InternalAquireAccessMode","params":{"accessMode":0}})"),
              R"({"errorCode":0,"result":true})");
}

TEST_F(RobustnessTest, ManyClientsAtOnceOverRealPipes) {
    constexpr int kClients = 6;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            GoodClient client(":pid:" + std::to_string(400 + i));
            if (!client.connection) {
                ++failures;
                return;
            }
            const int led = served_.Server().Catalog().Device(3)->leds[static_cast<std::size_t>(i)].ledId;
            for (int round = 0; round < 30; ++round) {
                const std::string colour =
                    std::to_string(led) + "," + std::to_string(round) + ",0," + std::to_string(i);
                if (client.Call("{\"method\":\"VeltariSetLedsColors\",\"params\":{\"ledsColors\":\"" +
                                colour + "\"}}") != R"({"errorCode":0,"result":true})")
                    ++failures;
                if (client.Call(
                        "{\"method\":\"VeltariGetLedsColorsByDeviceIndex\",\"params\":{\"deviceIndex\":3,"
                        "\"ledsColors\":\"" +
                        std::to_string(led) + ",0,0,0\"}}") !=
                    "{\"errorCode\":0,\"ledsColors\":\"" + colour + "\"}")
                    ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST_F(RobustnessTest, KeyNotificationsTravelOnTheCallbackPipeAfterRegistration) {
    GoodClient listener(":pid:500");
    GoodClient other(":pid:501");
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::string> texts;
    auto handler = [&](const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        texts.push_back(text);
        arrived.notify_all();
    };
    other.connection->SetNotificationHandler(handler);  // listens without registering
    ASSERT_EQ(listener.Call(R"({"method":"VeltariRegisterKeypressCallback"})"), R"({"errorCode":0})");
    listener.connection->SetNotificationHandler(handler);
    served_.Server().PressKey(81, true);
    served_.Server().PressKey(81, false);
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(10), [&] { return texts.size() >= 2; }));
    lock.unlock();
    // The unregistered client's connection is still fine and got nothing.
    EXPECT_EQ(other.Call(kCount), kCountAnswer);
    lock.lock();
    EXPECT_EQ(texts, (std::vector<std::string>{R"({"vendorKey":81,"pressed":true})",
                                               R"({"vendorKey":81,"pressed":false})"}));
}

TEST_F(RobustnessTest, ASecondServerCannotTakeTheRendezvous) {
    // The second server's attempt must not disturb a client that arrives afterwards.
    ServedLightingServer second;
    EXPECT_FALSE(second.Start());
    GoodClient client(":pid:600");
    EXPECT_EQ(client.Call(kCount), kCountAnswer);
}

}  // namespace
}  // namespace sdk::test
