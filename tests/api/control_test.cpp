// VeltariRequestControl, VeltariReleaseControl and VeltariSetLayerPriority over real pipes.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "scripted_fixture.h"

namespace sdk::testing {
namespace {

constexpr char kRequest[] = "InternalAquireAccessMode";
constexpr char kRelease[] = "VeltraiReleaseControlMethod";
constexpr char kLayer[] = "VeltariSetLayerPriority";

const VeltariAccessMode kControl = VeltariAccessModeLightingControl;
const VeltariAccessMode kOtherMode = static_cast<VeltariAccessMode>(1);

struct Reading {
    const char* answer;
    bool result;
    int error;
};

using RequestControl = ScriptedApiTest;

TEST_F(RequestControl, TestsTheHandshakeThenTheModeThenTheConnection) {
    EXPECT_FALSE(VeltariRequestControl(kOtherMode));
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);
    Connect();
    LoseServer();
    EXPECT_FALSE(VeltariRequestControl(kOtherMode));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument) << "the mode is tested before the connection";
    EXPECT_FALSE(VeltariRequestControl(kControl));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
}

TEST_F(RequestControl, RefusesOtherModesWithoutSending) {
    Connect();
    for (int mode : {1, -1, 2, INT_MAX, INT_MIN}) {
        EXPECT_FALSE(VeltariRequestControl(static_cast<VeltariAccessMode>(mode))) << mode;
        EXPECT_EQ(LastError(), VeltariErrorBadArgument) << mode;
    }
    EXPECT_TRUE(SentSoFar().empty());
}

TEST_F(RequestControl, SendsTheModeAsZeroAndReadsOnlyTheResult) {
    Connect(1);  // no minimum protocol
    for (const Reading& r : std::vector<Reading>{{R"({"result":true,"errorCode":7})", true, 0},
                                                 {R"({"result":false})", false, 0},
                                                 {R"({"errorCode":3})", false, 0},
                                                 {R"({"result":"true"})", false, 0},
                                                 {"not json", false, 0}}) {
        AnswerOnce(kRequest, r.answer);
        StoreLastError(VeltariErrorBadArgument);
        EXPECT_EQ(VeltariRequestControl(kControl), r.result) << r.answer;
        EXPECT_EQ(LastError(), r.error) << r.answer;
    }
    const std::vector<std::string> sent = server.Requests();
    ASSERT_EQ(sent.size(), 5u);
    for (const std::string& request : sent) {
        EXPECT_EQ(request, R"({"method":"InternalAquireAccessMode","params":{"accessMode":0}})");
    }
    AnswerEmptyOnce(kRequest);
    EXPECT_FALSE(VeltariRequestControl(kControl));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
}

using ReleaseControl = ScriptedApiTest;

TEST_F(ReleaseControl, TestsTheHandshakeThenTheConnectionThenTheModeThenTheProtocol) {
    EXPECT_FALSE(VeltariReleaseControl(kOtherMode));
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);

    Connect(1);
    EXPECT_FALSE(VeltariReleaseControl(kOtherMode));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument) << "the mode is tested before the protocol";
    EXPECT_FALSE(VeltariReleaseControl(kControl));
    EXPECT_EQ(LastError(), VeltariErrorServerProtocolTooOld);
    EXPECT_TRUE(SentSoFar().empty());

    LoseServer();
    EXPECT_FALSE(VeltariReleaseControl(kOtherMode));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable) << "the connection is tested before the mode";
}

TEST_F(ReleaseControl, NeedsProtocol2AndReadsErrorCodeAndResult) {
    Connect(2);
    for (const Reading& r : std::vector<Reading>{{R"({"errorCode":2,"result":true})", true, 2},
                                                 {R"({"result":true})", true, 0},
                                                 {R"({"errorCode":9,"result":false})", false, 9},
                                                 {"{}", false, 0},
                                                 {"not json", false, 0}}) {
        AnswerOnce(kRelease, r.answer);
        StoreLastError(VeltariErrorBadArgument);
        EXPECT_EQ(VeltariReleaseControl(kControl), r.result) << r.answer;
        EXPECT_EQ(LastError(), r.error) << r.answer;
    }
    const std::vector<std::string> sent = server.Requests();
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0], R"({"method":"VeltraiReleaseControlMethod","params":{"accessMode":0}})");
    AnswerEmptyOnce(kRelease);
    EXPECT_FALSE(VeltariReleaseControl(kControl));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
}

using SetLayerPriority = ScriptedApiTest;

TEST_F(SetLayerPriority, TestsTheHandshakeThenTheConnectionThenTheProtocolThenThePriority) {
    EXPECT_FALSE(VeltariSetLayerPriority(256));
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);

    Connect(3);
    EXPECT_FALSE(VeltariSetLayerPriority(300));
    EXPECT_EQ(LastError(), VeltariErrorServerProtocolTooOld) << "the protocol is tested before the priority";
    EXPECT_TRUE(SentSoFar().empty());

    server.Stop();
    EXPECT_EQ(VeltariPerformProtocolHandshake().serverVersion, nullptr);
    EXPECT_FALSE(VeltariSetLayerPriority(300));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable) << "the connection is tested first";
}

TEST_F(SetLayerPriority, AcceptsZeroTo255Only) {
    Connect(4);
    for (int priority : {256, -1, 1000, INT_MIN, INT_MAX}) {
        StoreLastError(VeltariErrorSuccess);
        EXPECT_FALSE(VeltariSetLayerPriority(priority)) << priority;
        EXPECT_EQ(LastError(), VeltariErrorBadArgument) << priority;
    }
    EXPECT_TRUE(SentSoFar().empty());

    server.OnMethod(kLayer, R"({"result":true})");
    EXPECT_TRUE(VeltariSetLayerPriority(255));
    EXPECT_TRUE(VeltariSetLayerPriority(0));
    EXPECT_EQ(
        server.Requests(),
        (std::vector<std::string>{R"({"method":"VeltariSetLayerPriority","params":{"layerPriority":255}})",
                                  R"({"method":"VeltariSetLayerPriority","params":{"layerPriority":0}})"}));
}

TEST_F(SetLayerPriority, ReadsErrorCodeAndResult) {
    Connect();
    for (const Reading& r : std::vector<Reading>{{R"({"errorCode":7,"result":true})", true, 7},
                                                 {R"({"errorCode":5,"result":false})", false, 5},
                                                 {R"({"result":true})", true, 0},
                                                 {"not json", false, 0}}) {
        AnswerOnce(kLayer, r.answer);
        StoreLastError(VeltariErrorNoHandshake);
        EXPECT_EQ(VeltariSetLayerPriority(10), r.result) << r.answer;
        EXPECT_EQ(LastError(), r.error) << r.answer;
    }
    AnswerEmptyOnce(kLayer);
    EXPECT_FALSE(VeltariSetLayerPriority(10));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
}

}  // namespace
}  // namespace sdk::testing
