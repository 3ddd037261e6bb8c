// The colour buffer and its synchronous flush, over the scripted connection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api_fixture.h"

namespace sdk::testing {
namespace {

constexpr char kProtocol4[] = R"({"serverProtocolVersion":4,"serverVersion":"old"})";
constexpr char kEmptyFlush[] =
    R"({"method":"VeltariSetLedsColorsFlushBuffer","params":{"ledsColorsByDeviceIndex":null}})";

std::string FlushOf(const std::string& devices) {
    return R"({"method":"VeltariSetLedsColorsFlushBuffer","params":{"ledsColorsByDeviceIndex":)" + devices +
           "}}";
}

class ColorBuffer : public ApiTest {
protected:
    // Marks the requests sent so far; Sent() then gives only the later ones.
    void Mark() { mark_ = server.Requests().size(); }
    std::vector<std::string> Sent() {
        std::vector<std::string> requests = server.Requests();
        return std::vector<std::string>(requests.begin() + static_cast<std::ptrdiff_t>(mark_),
                                        requests.end());
    }

    bool Buffer(int device, std::vector<VeltariLedColor> colors) {
        return VeltariSetLedsColorsBufferByDeviceIndex(device, static_cast<int>(colors.size()),
                                                       colors.data());
    }

private:
    std::size_t mark_ = 0;
};

TEST_F(ColorBuffer, BufferTestsHandshakeThenProtocolThenArgumentsThenConnection) {
    const VeltariLedColor bad[] = {{912, 0, 0, 0}};
    const VeltariLedColor good[] = {{1, 2, 3, 4}};
    EXPECT_FALSE(VeltariSetLedsColorsBufferByDeviceIndex(-1, 0, nullptr));
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);

    HandshakeAnswered(kProtocol4);
    server.BreakLatest();
    EXPECT_FALSE(VeltariSetLedsColorsBufferByDeviceIndex(-1, 1, bad));
    EXPECT_EQ(LastError(), VeltariErrorServerProtocolTooOld);

    HandshakeAnswered();
    server.BreakLatest();
    EXPECT_FALSE(VeltariSetLedsColorsBufferByDeviceIndex(0, 1, bad));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    EXPECT_FALSE(VeltariSetLedsColorsBufferByDeviceIndex(-1, 1, good));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    EXPECT_FALSE(VeltariSetLedsColorsBufferByDeviceIndex(0, 0, good));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    EXPECT_FALSE(VeltariSetLedsColorsBufferByDeviceIndex(0, 1, nullptr)) << "a null list is refused unread";
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    EXPECT_FALSE(VeltariSetLedsColorsBufferByDeviceIndex(0, 1, good)) << "buffering needs a live connection";
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);

    HandshakeAnswered();
    Mark();
    EXPECT_FALSE(VeltariSetLedsColorsFlushBuffer());
    EXPECT_EQ(Sent(), std::vector<std::string>{kEmptyFlush}) << "no failed call stored anything";
}

TEST_F(ColorBuffer, SuccessLeavesTheLastErrorAsThePreviousCallLeftIt) {
    HandshakeAnswered();
    EXPECT_FALSE(Buffer(0, {}));
    ASSERT_EQ(LastError(), VeltariErrorBadArgument);
    EXPECT_TRUE(Buffer(0, {{1, 0, 0, 0}}));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);

    server.Queue(R"({"result":true,"errorCode":7})");
    EXPECT_TRUE(VeltariSetLedsColorsFlushBuffer());
    ASSERT_EQ(LastError(), 7);
    EXPECT_TRUE(Buffer(0, {{1, 0, 0, 0}}));
    EXPECT_EQ(LastError(), 7);
}

TEST_F(ColorBuffer, LaterColourOfAnLedWinsAndLedsGoOutInAscendingIdOrder) {
    HandshakeAnswered();
    EXPECT_TRUE(Buffer(0, {{10, 255, 0, 0}, {911, 1, 1, 1}}));
    EXPECT_TRUE(Buffer(0, {{10, 0, 0, 255}, {0, 0, 255, 0}}));
    Mark();
    server.Queue(R"({"result":true})");
    EXPECT_TRUE(VeltariSetLedsColorsFlushBuffer());
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_EQ(Sent(), std::vector<std::string>{
                          FlushOf(R"([{"deviceIndex":0,"ledColors":"0,0,255,0#10,0,0,255#911,1,1,1"}])")});
}

TEST_F(ColorBuffer, OneLedOfOneDeviceIsSentExactly) {
    HandshakeAnswered();
    EXPECT_TRUE(Buffer(0, {{10, 0, 0, 255}}));
    Mark();
    VeltariSetLedsColorsFlushBuffer();
    EXPECT_EQ(
        Sent(),
        std::vector<std::string>{
            R"({"method":"VeltariSetLedsColorsFlushBuffer","params":{"ledsColorsByDeviceIndex":[{"deviceIndex":0,"ledColors":"10,0,0,255"}]}})"});
}

TEST_F(ColorBuffer, ListNamingAnLedTwiceIsRefusedWhole) {
    HandshakeAnswered();
    EXPECT_TRUE(Buffer(0, {{7, 7, 7, 7}}));
    EXPECT_FALSE(Buffer(0, {{1, 255, 0, 0}, {2, 0, 0, 0}, {1, 0, 0, 255}}));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    EXPECT_FALSE(Buffer(1, {{3, 256, 0, 0}}));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    Mark();
    VeltariSetLedsColorsFlushBuffer();
    EXPECT_EQ(Sent(), std::vector<std::string>{FlushOf(R"([{"deviceIndex":0,"ledColors":"7,7,7,7"}])")});
}

TEST_F(ColorBuffer, AFlushLeavesNothingBehindForTheDevicesBufferedAfterIt) {
    // The sets of a flush serve later devices (another index among them) and must come back empty.
    HandshakeAnswered();
    EXPECT_TRUE(Buffer(0, {{5, 1, 1, 1}, {6, 2, 2, 2}}));
    EXPECT_TRUE(Buffer(2, {{900, 3, 3, 3}}));
    server.Queue(R"({"result":true})");
    EXPECT_TRUE(VeltariSetLedsColorsFlushBuffer());
    EXPECT_TRUE(Buffer(1, {{7, 4, 4, 4}}));
    EXPECT_TRUE(Buffer(0, {{9, 5, 5, 5}}));
    EXPECT_TRUE(Buffer(5, {{5, 6, 6, 6}}));
    Mark();
    server.Queue(R"({"result":true})");
    EXPECT_TRUE(VeltariSetLedsColorsFlushBuffer());
    VeltariSetLedsColorsFlushBuffer();
    EXPECT_EQ(Sent(), (std::vector<std::string>{FlushOf(R"([{"deviceIndex":0,"ledColors":"9,5,5,5"},)"
                                                        R"({"deviceIndex":1,"ledColors":"7,4,4,4"},)"
                                                        R"({"deviceIndex":5,"ledColors":"5,6,6,6"}])"),
                                                kEmptyFlush}));
}

TEST_F(ColorBuffer, DevicesGoOutInAscendingIndexOrderEachWithItsOwnColours) {
    HandshakeAnswered();
    EXPECT_TRUE(Buffer(2, {{5, 1, 2, 3}}));
    EXPECT_TRUE(Buffer(0, {{5, 4, 5, 6}, {6, 7, 8, 9}}));
    Mark();
    VeltariSetLedsColorsFlushBuffer();
    EXPECT_EQ(
        Sent(),
        std::vector<std::string>{FlushOf(
            R"([{"deviceIndex":0,"ledColors":"5,4,5,6#6,7,8,9"},{"deviceIndex":2,"ledColors":"5,1,2,3"}])")});
}

TEST_F(ColorBuffer, FlushReadsTheErrorCodeAndTheResultApart) {
    HandshakeAnswered();
    Mark();
    server.Queue(R"({"result":false,"errorCode":7})");
    EXPECT_FALSE(VeltariSetLedsColorsFlushBuffer());
    EXPECT_EQ(LastError(), 7);
    server.Queue(R"({"result":true,"errorCode":9})");
    EXPECT_TRUE(VeltariSetLedsColorsFlushBuffer());
    EXPECT_EQ(LastError(), 9);
    server.Queue("not json");
    EXPECT_FALSE(VeltariSetLedsColorsFlushBuffer());
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_EQ(Sent(), (std::vector<std::string>{kEmptyFlush, kEmptyFlush, kEmptyFlush}))
        << "an empty buffer is flushed too";
}

TEST_F(ColorBuffer, FlushTestsHandshakeThenProtocolThenConnectionAndKeepsTheBufferWhenOneFails) {
    EXPECT_FALSE(VeltariSetLedsColorsFlushBuffer());
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);

    HandshakeAnswered(kProtocol4);
    server.BreakLatest();
    EXPECT_FALSE(VeltariSetLedsColorsFlushBuffer());
    EXPECT_EQ(LastError(), VeltariErrorServerProtocolTooOld);

    HandshakeAnswered();
    EXPECT_TRUE(Buffer(3, {{4, 5, 6, 7}}));
    server.BreakLatest();
    Mark();
    EXPECT_FALSE(VeltariSetLedsColorsFlushBuffer());
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    EXPECT_TRUE(Sent().empty());

    HandshakeAnswered();
    Mark();
    server.Queue(R"({"result":true})");
    EXPECT_TRUE(VeltariSetLedsColorsFlushBuffer());
    EXPECT_EQ(Sent(), std::vector<std::string>{FlushOf(R"([{"deviceIndex":3,"ledColors":"4,5,6,7"}])")});
}

TEST_F(ColorBuffer, ColoursOfAFailedExchangeAreDropped) {
    HandshakeAnswered();
    EXPECT_TRUE(Buffer(0, {{1, 2, 3, 4}}));
    server.Queue("", /*breaks=*/true);
    EXPECT_FALSE(VeltariSetLedsColorsFlushBuffer());
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);

    HandshakeAnswered();
    Mark();
    EXPECT_FALSE(VeltariSetLedsColorsFlushBuffer());
    EXPECT_EQ(Sent(), std::vector<std::string>{kEmptyFlush});
}

}  // namespace
}  // namespace sdk::testing
