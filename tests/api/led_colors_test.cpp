// VeltariSetLedsColors, VeltariGetLedsColors and VeltariGetLedsColorsByDeviceIndex over real pipes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scripted_fixture.h"

namespace sdk::testing {
namespace {

constexpr char kSet[] = "VeltariSetLedsColors";
constexpr char kGet[] = "VeltariGetLedsColors";
constexpr char kGetByDevice[] = "VeltariGetLedsColorsByDeviceIndex";

using Colors = std::vector<VeltariLedColor>;

bool SameColors(const Colors& a, const Colors& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].ledId != b[i].ledId || a[i].r != b[i].r || a[i].g != b[i].g || a[i].b != b[i].b)
            return false;
    }
    return true;
}

// Lists that no colour call accepts, whatever it does with the intensities.
struct BadList {
    const char* what;
    int size;
    Colors colors;
    bool nullArray = false;
};

std::vector<BadList> ListsWithBadIds() {
    Colors many;
    for (int id = 0; id <= 912; ++id) many.push_back({id % 912, 0, 0, 0});  // 913 records: one id repeats
    return {
        {"size 0", 0, {{1, 0, 0, 0}}},
        {"negative size", -1, {{1, 0, 0, 0}}},
        {"null array with a positive count", 3, {}, true},
        {"id 912", 1, {{912, 0, 0, 0}}},
        {"id -1", 1, {{-1, 0, 0, 0}}},
        {"adjacent duplicates", 2, {{4, 0, 0, 0}, {4, 1, 1, 1}}},
        {"distant duplicates", 3, {{4, 0, 0, 0}, {5, 0, 0, 0}, {4, 0, 0, 0}}},
        {"913 records", 913, many},
    };
}

const VeltariLedColor* Data(const BadList& list) {
    return list.nullArray ? nullptr : list.colors.data();
}

using SetLedsColors = ScriptedApiTest;

TEST_F(SetLedsColors, TestsTheHandshakeThenTheListThenTheConnection) {
    const VeltariLedColor good{5, 255, 0, 0};
    const VeltariLedColor bad{912, 0, 0, 0};
    EXPECT_FALSE(VeltariSetLedsColors(1, &bad));
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);
    Connect();
    LoseServer();
    EXPECT_FALSE(VeltariSetLedsColors(1, &bad));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument) << "the list is tested before the connection";
    EXPECT_FALSE(VeltariSetLedsColors(1, &good));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
}

TEST_F(SetLedsColors, RefusesBadListsWithoutSending) {
    Connect();
    std::vector<BadList> lists = ListsWithBadIds();
    lists.push_back({"red 256", 1, {{1, 256, 0, 0}}});
    lists.push_back({"green -1", 1, {{1, 0, -1, 0}}});
    lists.push_back({"blue 1000", 2, {{1, 0, 0, 0}, {2, 0, 0, 1000}}});
    for (const BadList& list : lists) {
        StoreLastError(VeltariErrorSuccess);
        EXPECT_FALSE(VeltariSetLedsColors(list.size, Data(list))) << list.what;
        EXPECT_EQ(LastError(), VeltariErrorBadArgument) << list.what;
    }
    EXPECT_TRUE(SentSoFar().empty());
}

TEST_F(SetLedsColors, SendsTheListInTheCallersOrder) {
    Connect();
    server.OnMethod(kSet, R"({"result":true})");
    const VeltariLedColor red{5, 255, 0, 0};
    const Colors edges{{911, 0, 128, 255}, {0, 1, 2, 3}};
    ASSERT_TRUE(VeltariSetLedsColors(1, &red));
    ASSERT_TRUE(VeltariSetLedsColors(2, edges.data()));
    EXPECT_EQ(server.Requests(),
              (std::vector<std::string>{
                  R"({"method":"VeltariSetLedsColors","params":{"ledsColors":"5,255,0,0"}})",
                  R"({"method":"VeltariSetLedsColors","params":{"ledsColors":"911,0,128,255#0,1,2,3"}})"}));
}

TEST_F(SetLedsColors, ReturnsTheServersResultAndErrorCode) {
    Connect();
    struct Case {
        const char* answer;
        bool result;
        int error;
    };
    const VeltariLedColor color{12, 1, 2, 3};
    for (const Case& c : std::vector<Case>{{R"({"result":true})", true, 0},
                                           {R"({"result":false,"errorCode":7})", false, 7},
                                           {R"({"result":true,"errorCode":2})", true, 2},
                                           {R"({"errorCode":5})", false, 5},
                                           {R"({"result":1})", false, 0},
                                           {"not json", false, 0}}) {
        AnswerOnce(kSet, c.answer);
        StoreLastError(VeltariErrorNoHandshake);
        EXPECT_EQ(VeltariSetLedsColors(1, &color), c.result) << c.answer;
        EXPECT_EQ(LastError(), c.error) << c.answer;
    }
    AnswerEmptyOnce(kSet);
    EXPECT_FALSE(VeltariSetLedsColors(1, &color));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
}

using GetLedsColors = ScriptedApiTest;

TEST_F(GetLedsColors, TestsTheHandshakeThenTheProtocolThenTheListThenTheConnection) {
    VeltariLedColor good{5, 0, 0, 0};
    VeltariLedColor bad{-1, 0, 0, 0};
    EXPECT_FALSE(VeltariGetLedsColors(1, &bad));
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);

    Connect(3);
    EXPECT_FALSE(VeltariGetLedsColors(1, &bad));
    EXPECT_EQ(LastError(), VeltariErrorServerProtocolTooOld) << "the protocol is tested before the list";
    EXPECT_TRUE(SentSoFar().empty());
    server.Stop();
    server.ClearRequests();

    Connect(4);
    DropConnection();
    EXPECT_FALSE(VeltariGetLedsColors(1, &bad));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument) << "the list is tested before the connection";
    EXPECT_FALSE(VeltariGetLedsColors(1, &good));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
}

TEST_F(GetLedsColors, RefusesBadListsWithoutSending) {
    Connect();
    for (const BadList& list : ListsWithBadIds()) {
        Colors colors = list.colors;
        StoreLastError(VeltariErrorSuccess);
        EXPECT_FALSE(VeltariGetLedsColors(list.size, list.nullArray ? nullptr : colors.data())) << list.what;
        EXPECT_EQ(LastError(), VeltariErrorBadArgument) << list.what;
        EXPECT_TRUE(SameColors(colors, list.colors)) << list.what;
    }
    EXPECT_TRUE(SentSoFar().empty());
}

TEST_F(GetLedsColors, SendsTheCallersRecordsAsTheyAre) {
    Connect();
    // The intensities of a get are not checked: whatever the caller left in them is sent.
    Colors colors{{7, -1, 300, 0}, {0, 0, 0, 0}};
    AnswerOnce(kGet, R"({"ledsColors":"7,1,2,3#0,4,5,6"})");
    ASSERT_TRUE(VeltariGetLedsColors(2, colors.data()));
    EXPECT_EQ(server.Requests(),
              (std::vector<std::string>{
                  R"({"method":"VeltariGetLedsColors","params":{"ledsColors":"7,-1,300,0#0,0,0,0"}})"}));
}

TEST_F(GetLedsColors, FillsTheColoursByPositionOnly) {
    Connect();
    StoreLastError(VeltariErrorBadArgument);
    // The answer lists the LEDs in another order and with a trailing '#'; only the position counts, and
    // the ids stay the caller's.
    AnswerOnce(kGet, R"({"ledsColors":"8,4,5,6#7,1,2,3#","result":false,"errorCode":9})");
    Colors colors{{7, 0, 0, 0}, {8, 0, 0, 0}};
    ASSERT_TRUE(VeltariGetLedsColors(2, colors.data()));
    EXPECT_EQ(LastError(), VeltariErrorSuccess) << "neither result nor error code is read";
    EXPECT_TRUE(SameColors(colors, Colors{{7, 4, 5, 6}, {8, 1, 2, 3}}));
}

TEST_F(GetLedsColors, AnswerThatDoesNotMatchTheRequestChangesNothing) {
    Connect();
    const Colors asked{{1, 9, 9, 9}, {2, 9, 9, 9}};
    for (const char* answer : {R"({"ledsColors":"1,0,0,0"})",                     // one record fewer
                               R"({"ledsColors":"1,0,0,0#2,0,0,0#3,0,0,0"})",     // one more
                               R"({"result":{"ledsColors":"1,0,0,0#2,0,0,0"}})",  // not at the top level
                               R"({"ledsColors":null})", R"({"ledsColors":12})", R"({"ledsColors":""})", "{}",
                               "not json", "null"}) {
        AnswerOnce(kGet, answer);
        Colors colors = asked;
        StoreLastError(VeltariErrorSuccess);
        EXPECT_FALSE(VeltariGetLedsColors(2, colors.data())) << answer;
        EXPECT_EQ(LastError(), VeltariErrorBadArgument) << answer;
        EXPECT_TRUE(SameColors(colors, asked)) << answer;
    }
}

TEST_F(GetLedsColors, NoAnswerIsUnreachable) {
    Connect();
    AnswerEmptyOnce(kGet);
    VeltariLedColor color{3, 1, 1, 1};
    EXPECT_FALSE(VeltariGetLedsColors(1, &color));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    EXPECT_EQ(color.r, 1);
}

using GetLedsColorsByDevice = ScriptedApiTest;

TEST_F(GetLedsColorsByDevice, TestsTheHandshakeThenTheProtocolThenTheArgumentsThenTheConnection) {
    VeltariLedColor color{5, 0, 0, 0};
    EXPECT_FALSE(VeltariGetLedsColorsByDeviceIndex(-1, 1, &color));
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);

    Connect(4);
    EXPECT_FALSE(VeltariGetLedsColorsByDeviceIndex(-1, 1, &color));
    EXPECT_EQ(LastError(), VeltariErrorServerProtocolTooOld) << "the protocol is tested before the index";
    EXPECT_TRUE(SentSoFar().empty());
    server.Stop();
    server.ClearRequests();

    Connect(5);
    DropConnection();
    EXPECT_FALSE(VeltariGetLedsColorsByDeviceIndex(-1, 1, &color));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument) << "the index is tested before the connection";
    EXPECT_FALSE(VeltariGetLedsColorsByDeviceIndex(0, 0, &color));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    EXPECT_FALSE(VeltariGetLedsColorsByDeviceIndex(0, 1, &color));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
}

TEST_F(GetLedsColorsByDevice, RefusesBadListsWithoutSending) {
    Connect();
    for (const BadList& list : ListsWithBadIds()) {
        Colors colors = list.colors;
        StoreLastError(VeltariErrorSuccess);
        EXPECT_FALSE(
            VeltariGetLedsColorsByDeviceIndex(0, list.size, list.nullArray ? nullptr : colors.data()))
            << list.what;
        EXPECT_EQ(LastError(), VeltariErrorBadArgument) << list.what;
    }
    EXPECT_TRUE(SentSoFar().empty());
}

TEST_F(GetLedsColorsByDevice, SendsTheIndexBeforeTheList) {
    Connect(5);
    AnswerOnce(kGetByDevice, R"({"ledsColors":"5,10,20,30"})");
    VeltariLedColor color{5, 255, 0, 0};
    ASSERT_TRUE(VeltariGetLedsColorsByDeviceIndex(2, 1, &color));
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_EQ(color.ledId, 5);
    EXPECT_EQ(color.r, 10);
    EXPECT_EQ(color.g, 20);
    EXPECT_EQ(color.b, 30);
    EXPECT_EQ(
        server.Requests(),
        (std::vector<std::string>{
            R"({"method":"VeltariGetLedsColorsByDeviceIndex","params":{"deviceIndex":2,"ledsColors":"5,255,0,0"}})"}));
}

TEST_F(GetLedsColorsByDevice, FailsLikeTheGetWithoutDevice) {
    Connect();
    const Colors asked{{1, 9, 9, 9}, {2, 9, 9, 9}};
    Colors colors = asked;
    AnswerOnce(kGetByDevice, R"({"ledsColors":"1,0,0,0#2,0,0"})");  // the break-off still counts as two
    ASSERT_TRUE(VeltariGetLedsColorsByDeviceIndex(1, 2, colors.data()));
    EXPECT_TRUE(SameColors(colors, Colors{{1, 0, 0, 0}, {2, 0, 0, 0}}));

    colors = asked;
    AnswerOnce(kGetByDevice, R"({"result":true})");
    EXPECT_FALSE(VeltariGetLedsColorsByDeviceIndex(1, 2, colors.data()));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    EXPECT_TRUE(SameColors(colors, asked));

    AnswerEmptyOnce(kGetByDevice);
    EXPECT_FALSE(VeltariGetLedsColorsByDeviceIndex(1, 2, colors.data()));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    EXPECT_TRUE(SameColors(colors, asked));
}

}  // namespace
}  // namespace sdk::testing
