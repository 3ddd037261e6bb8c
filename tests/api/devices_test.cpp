// VeltariGetDeviceInfo over real pipes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/client_state.h"
#include "scripted_fixture.h"

namespace sdk::testing {
namespace {

constexpr char kMethod[] = "VeltariGetDeviceInfo";

using DeviceInfo = ScriptedApiTest;

TEST_F(DeviceInfo, TestsTheHandshakeThenTheIndexThenTheConnection) {
    EXPECT_EQ(VeltariGetDeviceInfo(-1), nullptr);
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);
    EXPECT_EQ(VeltariGetDeviceInfo(0), nullptr);
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);

    Connect();
    LoseServer();
    EXPECT_EQ(VeltariGetDeviceInfo(-1), nullptr);
    EXPECT_EQ(LastError(), VeltariErrorBadArgument) << "the index is tested before the connection";
    EXPECT_EQ(VeltariGetDeviceInfo(0), nullptr);
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
}

TEST_F(DeviceInfo, NegativeIndexSendsNothing) {
    Connect();
    EXPECT_EQ(VeltariGetDeviceInfo(-1), nullptr);
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    EXPECT_TRUE(SentSoFar().empty());
}

TEST_F(DeviceInfo, SendsTheIndexUncheckedAgainstTheDeviceCount) {
    Connect();
    server.OnMethod(kMethod, R"({"result":{"model":"K1"}})");
    ASSERT_NE(VeltariGetDeviceInfo(2), nullptr);
    ASSERT_NE(VeltariGetDeviceInfo(1000), nullptr);
    EXPECT_EQ(server.Requests(), (std::vector<std::string>{
                                     R"({"method":"VeltariGetDeviceInfo","params":{"deviceIndex":2}})",
                                     R"({"method":"VeltariGetDeviceInfo","params":{"deviceIndex":1000}})"}));
}

TEST_F(DeviceInfo, FillsTheWholeRecordAndIgnoresTheErrorCode) {
    Connect();
    AnswerOnce(kMethod, R"({"errorCode":7,"result":{"type":3,"model":"Strip Controller","physicalLayout":1,
        "logicalLayout":12.9,"capsMask":-3.9,"ledsCount":3.9,"channels":[
          {"totalLedsCount":40,"devices":[{"type":2,"deviceLedCount":10},{"type":5,"deviceLedCount":30}]},
          {"totalLedsCount":8}]}})");
    StoreLastError(VeltariErrorBadArgument);

    const VeltariDeviceInfo* info = VeltariGetDeviceInfo(0);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_EQ(info->type, 3);
    EXPECT_STREQ(info->model, "Strip Controller");
    EXPECT_EQ(info->physicalLayout, 1);
    EXPECT_EQ(info->logicalLayout, 12);
    EXPECT_EQ(info->capsMask, -3);
    EXPECT_EQ(info->ledsCount, 3);
    ASSERT_EQ(info->channelsCount, 2);
    ASSERT_NE(info->channels, nullptr);
    EXPECT_EQ(info->channels[0].totalLedsCount, 40);
    ASSERT_EQ(info->channels[0].devicesCount, 2);
    ASSERT_NE(info->channels[0].devices, nullptr);
    EXPECT_EQ(info->channels[0].devices[0].type, 2);
    EXPECT_EQ(info->channels[0].devices[0].deviceLedCount, 10);
    EXPECT_EQ(info->channels[0].devices[1].type, 5);
    EXPECT_EQ(info->channels[0].devices[1].deviceLedCount, 30);
    EXPECT_EQ(info->channels[1].totalLedsCount, 8) << "a channel without devices still has its LED count";
    EXPECT_EQ(info->channels[1].devicesCount, 0);
    EXPECT_EQ(info->channels[1].devices, nullptr);

    RetentionLists& kept = State().retention;
    EXPECT_EQ(kept.deviceInfos.Size(), 1u);
    EXPECT_EQ(kept.channelArrays.Size(), 1u);
    EXPECT_EQ(kept.channelDeviceArrays.Size(), 1u);
}

TEST_F(DeviceInfo, UnknownDeviceOrUnreadableAnswerIsABadArgument) {
    Connect();
    for (const char* answer : {R"({"errorCode":0})", R"({"result":null})", "not json", "{}", "[1,2]"}) {
        AnswerOnce(kMethod, answer);
        StoreLastError(VeltariErrorSuccess);
        EXPECT_EQ(VeltariGetDeviceInfo(9), nullptr) << answer;
        EXPECT_EQ(LastError(), VeltariErrorBadArgument) << answer;
    }
    EXPECT_EQ(State().retention.deviceInfos.Size(), 0u) << "no partial record";
    EXPECT_EQ(State().retention.strings.Size(), 1u) << "only the handshake's version text";
}

TEST_F(DeviceInfo, NoAnswerIsUnreachableAndKeepsTheConnection) {
    Connect();
    AnswerEmptyOnce(kMethod);
    EXPECT_EQ(VeltariGetDeviceInfo(0), nullptr);
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    server.OnMethod(kMethod, R"({"result":{"ledsCount":4}})");
    const VeltariDeviceInfo* info = VeltariGetDeviceInfo(0);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->ledsCount, 4);
}

TEST_F(DeviceInfo, ChannelsThatAreNotAListCountAsNone) {
    Connect();
    struct Case {
        const char* result;
        int channelsCount;
    };
    // Anything but an array reads as no channels: a negative count would break callers that size memory
    // from it.
    for (const Case& c : std::vector<Case>{{R"({"type":1})", 0},
                                           {R"({"channels":[]})", 0},
                                           {R"({"channels":null})", 0},
                                           {R"({"channels":4})", 0},
                                           {R"({"channels":"ab"})", 0},
                                           {R"({"channels":{"totalLedsCount":3}})", 0},
                                           {R"({"channels":[{}]})", 1}}) {
        AnswerOnce(kMethod, std::string(R"({"result":)") + c.result + "}");
        const VeltariDeviceInfo* info = VeltariGetDeviceInfo(0);
        ASSERT_NE(info, nullptr) << c.result;
        EXPECT_EQ(info->channelsCount, c.channelsCount) << c.result;
        EXPECT_EQ(info->channels != nullptr, c.channelsCount > 0) << c.result;
    }
}

TEST_F(DeviceInfo, DevicesThatAreNotAListCountAsNone) {
    Connect();
    AnswerOnce(
        kMethod,
        R"({"result":{"channels":[{"totalLedsCount":1,"devices":7},{"totalLedsCount":2,"devices":{"type":1}},
        {"totalLedsCount":3,"devices":[]},{"totalLedsCount":4,"devices":[{"type":9}]}]}})");
    const VeltariDeviceInfo* info = VeltariGetDeviceInfo(0);
    ASSERT_NE(info, nullptr);
    ASSERT_EQ(info->channelsCount, 4);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(info->channels[i].totalLedsCount, i + 1);
        EXPECT_EQ(info->channels[i].devicesCount, 0) << i;
        EXPECT_EQ(info->channels[i].devices, nullptr) << i;
    }
    ASSERT_EQ(info->channels[3].devicesCount, 1);
    EXPECT_EQ(info->channels[3].devices[0].type, 9);
    EXPECT_EQ(info->channels[3].devices[0].deviceLedCount, 0);
}

TEST_F(DeviceInfo, ResultOfAnotherKindIsAnEmptyDevice) {
    Connect();
    for (const char* result : {"5", R"("keyboard")", "true"}) {
        AnswerOnce(kMethod, std::string(R"({"result":)") + result + "}");
        StoreLastError(VeltariErrorBadArgument);
        const VeltariDeviceInfo* info = VeltariGetDeviceInfo(0);
        ASSERT_NE(info, nullptr) << result;
        EXPECT_EQ(LastError(), VeltariErrorSuccess);
        EXPECT_EQ(info->type, 0);
        EXPECT_EQ(info->ledsCount, 0);
        ASSERT_NE(info->model, nullptr);
        EXPECT_STREQ(info->model, "");
        EXPECT_EQ(info->channelsCount, 0);
        EXPECT_EQ(info->channels, nullptr);
    }
}

TEST_F(DeviceInfo, ModelIsACopyEndingAtItsFirstNul) {
    Connect();
    // A backslash before a NUL byte is the escape of a NUL.
    constexpr char kEmbeddedNul[] = "{\"result\":{\"model\":\"Pad\\\0X\"}}";
    AnswerOnce(kMethod, std::string(kEmbeddedNul, sizeof kEmbeddedNul - 1));
    AnswerOnce(kMethod, R"({"result":{"model":7}})");
    const VeltariDeviceInfo* embedded = VeltariGetDeviceInfo(0);
    const VeltariDeviceInfo* number = VeltariGetDeviceInfo(0);
    ASSERT_NE(embedded, nullptr);
    ASSERT_NE(number, nullptr);
    EXPECT_STREQ(embedded->model, "Pad");
    EXPECT_STREQ(number->model, "");
}

TEST_F(DeviceInfo, EveryCallMakesANewRecordAndEarlierOnesStayUnchanged) {
    Connect();
    AnswerOnce(kMethod,
               R"({"result":{"model":"First","ledsCount":10,"channels":[{"devices":[{"type":1}]}]}})");
    AnswerOnce(kMethod, R"({"result":{"model":"Second","ledsCount":20}})");
    const VeltariDeviceInfo* first = VeltariGetDeviceInfo(1);
    const VeltariDeviceInfo* second = VeltariGetDeviceInfo(1);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);

    // Reconnecting does not free what earlier calls returned.
    DropConnection();
    ASSERT_NE(VeltariPerformProtocolHandshake().serverVersion, nullptr);
    EXPECT_STREQ(first->model, "First");
    EXPECT_EQ(first->ledsCount, 10);
    ASSERT_EQ(first->channelsCount, 1);
    EXPECT_EQ(first->channels[0].devices[0].type, 1);
    EXPECT_STREQ(second->model, "Second");
    EXPECT_EQ(State().retention.deviceInfos.Size(), 2u);
}

}  // namespace
}  // namespace sdk::testing
