#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "api/retention.h"
#include "api_fixture.h"
#include "scripted_fixture.h"

namespace sdk::testing {
namespace {

using Retention = ApiTest;

TEST_F(Retention, StringsAreNulTerminatedCopiesThatAreNeverShared) {
    std::string source = "K70";
    const char* first = RetainString(source);
    const char* second = RetainString(source);
    source[0] = 'X';
    EXPECT_STREQ(first, "K70");
    EXPECT_STREQ(second, "K70");
    EXPECT_NE(first, second);

    const char* empty = RetainString("");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], '\0');

    const char* embedded = RetainString(std::string("ab\0cd", 5));
    EXPECT_EQ(std::memcmp(embedded, "ab\0cd\0", 6), 0) << "all bytes are kept; the caller sees up to the NUL";
    EXPECT_EQ(State().retention.strings.Size(), 4u);
}

TEST_F(Retention, NullOwnersAreIgnoredAndEachKindHasItsOwnList) {
    EXPECT_EQ(Retain(std::unique_ptr<VeltariDeviceInfo>()), nullptr);
    EXPECT_EQ(Retain(std::unique_ptr<char[]>()), nullptr);
    EXPECT_EQ(State().retention.deviceInfos.Size(), 0u);

    VeltariChannel* channels = Retain(std::make_unique<VeltariChannel[]>(3));
    channels[2].totalLedsCount = 12;
    Retain(std::make_unique<VeltariChannelDevice[]>(2));
    Retain(std::make_unique<VeltariLedPosition[]>(1));
    Retain(std::make_unique<VeltariDeviceInfo>());
    EXPECT_EQ(State().retention.channelArrays.Size(), 1u);
    EXPECT_EQ(State().retention.channelDeviceArrays.Size(), 1u);
    EXPECT_EQ(State().retention.ledPositionArrays.Size(), 1u);
    EXPECT_EQ(State().retention.deviceInfos.Size(), 1u);
    EXPECT_EQ(State().retention.strings.Size(), 0u);
    EXPECT_EQ(channels[2].totalLedsCount, 12);
}

using KeptRecords = ScriptedApiTest;

// Asked every frame, an unchanged answer must not keep another record; a changed one must, without
// touching what was returned before.
TEST_F(KeptRecords, AnUnchangedAnswerGivesBackTheKeptRecordAndAChangedOneANewRecord) {
    Connect();
    const std::string led = R"({"ledId":5,"top":1,"left":2,"height":3,"width":4})";
    const std::string moved = R"({"result":[{"ledId":5,"top":1,"left":2,"height":3,"width":4.5}]})";
    for (const char* method : {"VeltariGetLedPositions", "VeltariGetLedPositionsByDeviceIndex"}) {
        server.OnMethodOnce(method, ScriptedReply::Text("{\"result\":[" + led + "]}"));
        server.OnMethodOnce(method, ScriptedReply::Text("{\"result\":[" + led + "]}"));
        server.OnMethodOnce(method, ScriptedReply::Text(moved));
    }
    const VeltariLedPositions* first = VeltariGetLedPositions();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(VeltariGetLedPositions(), first);
    const VeltariLedPositions* changed = VeltariGetLedPositions();
    ASSERT_NE(changed, nullptr);
    EXPECT_NE(changed, first);
    EXPECT_EQ(changed->positions[0].width, 4.5);
    EXPECT_EQ(VeltariGetLedPositionsByDeviceIndex(0), first) << "the same answer, whichever call brought it";
    EXPECT_EQ(VeltariGetLedPositionsByDeviceIndex(0), first);
    EXPECT_EQ(VeltariGetLedPositionsByDeviceIndex(0), changed);
    ASSERT_EQ(first->positionsCount, 1);
    EXPECT_EQ(first->positions[0].ledId, 5);
    EXPECT_EQ(first->positions[0].width, 4.0);
    EXPECT_EQ(State().retention.ledPositions.Size(), 2u);
    EXPECT_EQ(State().retention.ledPositionArrays.Size(), 2u);

    // No LED listed and only LEDs outside the range are different answers: no array, and an empty one.
    AnswerOnce("VeltariGetLedPositions", R"({"result":[]})");
    AnswerOnce("VeltariGetLedPositions", R"({"result":[{"ledId":0}]})");
    const VeltariLedPositions* none = VeltariGetLedPositions();
    const VeltariLedPositions* outside = VeltariGetLedPositions();
    ASSERT_NE(none, nullptr);
    ASSERT_NE(outside, nullptr);
    EXPECT_EQ(none->positions, nullptr);
    EXPECT_NE(outside->positions, nullptr);

    const std::string info = R"({"result":{"model":"K1","ledsCount":9,"channels":[{"totalLedsCount":9,)"
                             R"("devices":[{"type":1,"deviceLedCount":4},{"type":2,"deviceLedCount":5}]}]}})";
    const std::string otherDevice =
        R"({"result":{"model":"K1","ledsCount":9,"channels":[{"totalLedsCount":9,)"
        R"("devices":[{"type":1,"deviceLedCount":4},{"type":2,"deviceLedCount":6}]}]}})";
    for (const std::string& text : {info, info, otherDevice, info}) AnswerOnce("VeltariGetDeviceInfo", text);
    const VeltariDeviceInfo* kept = VeltariGetDeviceInfo(0);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(VeltariGetDeviceInfo(0), kept);
    const VeltariDeviceInfo* other = VeltariGetDeviceInfo(0);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, kept);
    EXPECT_EQ(other->channels[0].devices[1].deviceLedCount, 6);
    EXPECT_EQ(VeltariGetDeviceInfo(0), kept);
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_STREQ(kept->model, "K1");
    ASSERT_EQ(kept->channelsCount, 1);
    ASSERT_EQ(kept->channels[0].devicesCount, 2);
    EXPECT_EQ(kept->channels[0].devices[1].deviceLedCount, 5);
    EXPECT_EQ(State().retention.deviceInfos.Size(), 2u);
    EXPECT_EQ(State().retention.channelDeviceArrays.Size(), 2u);
}

}  // namespace
}  // namespace sdk::testing
