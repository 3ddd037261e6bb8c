#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "api/exchange.h"
#include "api_fixture.h"

namespace sdk::testing {
namespace {

using ApiFrame = ApiTest;

TEST_F(ApiFrame, BeforeAnyHandshakeCallsFailWithNoHandshakeOnTheCallingThreadOnly) {
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_EQ(VeltariGetDeviceCount(), -1);
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake) << "reading the last error must not change it";

    int otherThread = -1;
    std::thread([&] { otherThread = LastError(); }).join();
    EXPECT_EQ(otherThread, VeltariErrorSuccess);

    EXPECT_TRUE(server.Identities().empty()) << "nothing may connect before a handshake";
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(ApiFrame, DeviceCountSendsItsRequestAndReadsOnlyTheResult) {
    HandshakeAnswered();
    server.Queue(R"({"result":3,"errorCode":7})");
    StoreLastError(VeltariErrorBadArgument);

    EXPECT_EQ(VeltariGetDeviceCount(), 3);
    EXPECT_EQ(LastError(), VeltariErrorSuccess) << "the server's error code is not read";
    ASSERT_EQ(server.Requests().size(), 2u);
    EXPECT_EQ(server.Requests()[1], R"({"method":"VeltariGetDeviceCount"})");
}

TEST_F(ApiFrame, DeviceCountReadsAnAbsentOrUnreadableResultAsZero) {
    HandshakeAnswered();
    for (const char* answer : {"{}", "not json at all", R"({"result":"5"})", R"({"result":null})", "[4]"}) {
        server.Queue(answer);
        StoreLastError(VeltariErrorBadArgument);
        EXPECT_EQ(VeltariGetDeviceCount(), 0) << answer;
        EXPECT_EQ(LastError(), VeltariErrorSuccess) << answer;
    }
}

TEST_F(ApiFrame, DeviceCountTruncatesTowardZero) {
    HandshakeAnswered();
    server.Queue(R"({"result":2.9})");
    EXPECT_EQ(VeltariGetDeviceCount(), 2);
    server.Queue(R"({"result":-2.9})");
    EXPECT_EQ(VeltariGetDeviceCount(), -2);
}

TEST_F(ApiFrame, EmptyAnswerIsUnreachableButKeepsTheHandshakeAndTheConnection) {
    HandshakeAnswered();
    server.Queue("");
    EXPECT_EQ(VeltariGetDeviceCount(), -1);
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    EXPECT_TRUE(HandshakeDone());

    server.Queue(R"({"result":4})");
    EXPECT_EQ(VeltariGetDeviceCount(), 4) << "an empty answer alone does not end the connection";
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
}

TEST_F(ApiFrame, BrokenConnectionFailsAtTheGateWithoutSendingUntilTheNextHandshake) {
    HandshakeAnswered();
    server.BreakLatest();
    const auto sentBefore = server.Requests().size();

    EXPECT_EQ(VeltariGetDeviceCount(), -1);
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    EXPECT_EQ(VeltariGetDeviceCount(), -1) << "the library never reconnects by itself";
    EXPECT_EQ(server.Requests().size(), sentBefore);
    EXPECT_EQ(server.Identities().size(), 1u);

    HandshakeAnswered();
    server.Queue(R"({"result":1})");
    EXPECT_EQ(VeltariGetDeviceCount(), 1);
    EXPECT_EQ(server.Identities().size(), 2u);
}

TEST(ResponseWays, EachWayStoresItsOwnLastError) {
    const Response both(R"({"errorCode":7,"result":3})");
    StoreLastError(VeltariErrorBadArgument);
    EXPECT_EQ(ReadResultOnly(both).AsInt(), 3);
    EXPECT_EQ(LoadLastError(), 0);

    EXPECT_EQ(ReadErrorCodeAndResult(both).AsInt(), 3);
    EXPECT_EQ(LoadLastError(), 7);

    EXPECT_FALSE(ReadErrorCodeDecides(both));
    EXPECT_EQ(LoadLastError(), 7);
    EXPECT_TRUE(ReadErrorCodeDecides(Response(R"({"result":false})")));
    EXPECT_EQ(LoadLastError(), 0);

    const Json* present = ReadResultIfPresent(both);
    ASSERT_NE(present, nullptr);
    EXPECT_EQ(present->AsInt(), 3);
    EXPECT_EQ(LoadLastError(), 7);
    EXPECT_EQ(ReadResultIfPresent(Response(R"({"errorCode":0})")), nullptr);
    EXPECT_EQ(LoadLastError(), 0);
    const Json* nullResult = ReadResultIfPresent(Response(R"({"result":null,"errorCode":2})"));
    EXPECT_NE(nullResult, nullptr) << "a null result is still present";
    EXPECT_EQ(LoadLastError(), 2);
}

TEST(ResponseWays, ServerCodesBeyondTheNamedOnesReachTheCallerUnchanged) {
    for (int code : {7, 1234, -3}) {
        ReadErrorCodeAndResult(Response(R"({"errorCode":)" + std::to_string(code) + "}"));
        const VeltariError error = VeltariGetLastError();
        EXPECT_EQ(static_cast<int>(error), code);
    }
}

TEST(ResponseWays, AnswersThatAreNotObjectsReadAsEmpty) {
    for (const char* text : {"", "garbage", "[1,2]", "17", "null", "\"text\""}) {
        const Response response(text);
        EXPECT_FALSE(response.HasResult()) << text;
        EXPECT_EQ(response.ErrorCode(), 0) << text;
        StoreLastError(9);
        EXPECT_FALSE(ReadErrorCodeAndResult(response).AsBool()) << text;
        EXPECT_EQ(LoadLastError(), 0) << text;
    }
    // The server ends its text with a NUL; the reader stops at the value.
    EXPECT_EQ(Response(std::string("{\"result\":5}\0", 13)).Result().AsInt(), 5);
}

std::string BuildRequest(std::string_view method) {
    std::string request;
    WriteRequest(request, method);
    return request;
}

std::string BuildRequest(std::string_view method, std::initializer_list<RequestParam> params) {
    std::string request;
    WriteRequest(request, method, params);
    return request;
}

TEST(RequestEnvelope, ParamsOnlyWhenGiven) {
    EXPECT_EQ(BuildRequest("VeltariGetLedPositions"), R"({"method":"VeltariGetLedPositions"})");

    EXPECT_EQ(BuildRequest("VeltariGetDeviceInfo", {{"deviceIndex", 2}}),
              R"({"method":"VeltariGetDeviceInfo","params":{"deviceIndex":2}})");
    EXPECT_EQ(
        BuildRequest("VeltariGetBoolPropertyValue", {{"deviceIndex", -1}, {"propertyId", 2147483647}}),
        R"({"method":"VeltariGetBoolPropertyValue","params":{"deviceIndex":-1,"propertyId":2147483647}})");
}

TEST_F(ApiFrame, UnloadStopsWorkersBeforeTheConnectionAndLeavesAFreshState) {
    HandshakeAnswered();
    auto line = server.LatestLine();
    std::vector<std::string> order;
    AtUnloadStopWorker([&] { order.push_back(line->destroyed ? "late" : "first"); });
    AtUnloadStopWorker([&] { order.push_back(line->destroyed ? "late" : "second"); });

    UnloadClientState();
    EXPECT_EQ(order, (std::vector<std::string>{"second", "first"}));
    EXPECT_TRUE(line->destroyed);
    UnloadClientState();
    EXPECT_EQ(order.size(), 2u) << "a second unload has nothing left to stop";

    LoadClientState();
    EXPECT_FALSE(HandshakeDone());
    EXPECT_EQ(ServerProtocolVersion(), 0);
    EXPECT_EQ(State().retention.strings.Size(), 0u);
}

}  // namespace
}  // namespace sdk::testing
