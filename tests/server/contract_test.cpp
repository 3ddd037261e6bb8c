// The reference server as applications meet it: through the library's exported functions, over the
// real pipes.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "served_server.h"
#include "veltari.h"

namespace sdk::test {
namespace {

class ContractTest : public ::testing::Test {
protected:
    void Serve(ServerIdentity identity = {}) {
        served_.reset();  // one server at a time: the rendezvous names are fixed
        served_ = std::make_unique<ServedLightingServer>(std::move(identity));
        ASSERT_TRUE(served_->Start());
    }
    // A handshake that reaches the current server; reconnects when an earlier server went away.
    VeltariProtocolDetails Handshake() {
        const VeltariProtocolDetails details = VeltariPerformProtocolHandshake();
        EXPECT_EQ(VeltariGetLastError(), VeltariErrorSuccess);
        EXPECT_NE(details.serverVersion, nullptr);
        return details;
    }
    void TearDown() override { served_.reset(); }

    std::unique_ptr<ServedLightingServer> served_;
};

TEST_F(ContractTest, HandshakeReportsTheServersIdentity) {
    Serve(ServerIdentity{"3.5.1-test", 9, false});
    const VeltariProtocolDetails details = Handshake();
    ASSERT_NE(details.serverVersion, nullptr);
    EXPECT_STREQ(details.serverVersion, "3.5.1-test");
    EXPECT_EQ(details.serverProtocolVersion, 9);
    EXPECT_FALSE(details.breakingChanges);
    EXPECT_EQ(details.sdkProtocolVersion, 9);
    EXPECT_EQ(VeltariGetDeviceCount(), 4);
    EXPECT_EQ(VeltariGetLastError(), VeltariErrorSuccess);
}

TEST_F(ContractTest, TheReportedProtocolSelectsTheLibrarysOlderAndNewerPaths) {
    const struct {
        int protocol;
        bool declared;
        bool expected;
    } cases[] = {{8, false, true}, {7, false, false}, {12, true, true}, {12, false, false}, {10, true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.protocol);
        Serve(ServerIdentity{"p", c.protocol, c.declared});
        const VeltariProtocolDetails details = Handshake();
        EXPECT_EQ(details.serverProtocolVersion, c.protocol);
        EXPECT_EQ(details.breakingChanges, c.expected);
        EXPECT_EQ(VeltariGetDeviceCount(), 4);
    }
}

TEST_F(ContractTest, AServerThatStopsIsReportedAndFoundAgainByTheNextHandshake) {
    Serve();
    Handshake();
    ASSERT_EQ(VeltariGetDeviceCount(), 4);
    served_.reset();
    EXPECT_EQ(VeltariGetDeviceCount(), -1);
    EXPECT_EQ(VeltariGetLastError(), VeltariErrorServerUnreachable);
    Serve();
    Handshake();
    EXPECT_EQ(VeltariGetDeviceCount(), 4);
}

}  // namespace
}  // namespace sdk::test
