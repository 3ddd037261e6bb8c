// VeltariGetBoolPropertyValue and VeltariGetInt32PropertyValue over real pipes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scripted_fixture.h"

namespace sdk::testing {
namespace {

constexpr char kBool[] = "VeltariGetBoolPropertyValue";
constexpr char kInt[] = "VeltariGetInt32PropertyValue";

VeltariDevicePropertyId Property(int bits) {
    return static_cast<VeltariDevicePropertyId>(bits);
}
const VeltariDevicePropertyId kBoolProperty = Property(VeltariPropertyTypeBool | 1);
const VeltariDevicePropertyId kIntProperty = Property(VeltariPropertyTypeInt32 | 1);

using Properties = ScriptedApiTest;

TEST_F(Properties, NullValueIsRefusedBeforeEverythingElse) {
    EXPECT_FALSE(VeltariGetBoolPropertyValue(0, kBoolProperty, nullptr));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument) << "before the handshake test";
    EXPECT_FALSE(VeltariGetInt32PropertyValue(0, kIntProperty, nullptr));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);

    bool flag = false;
    int number = 0;
    EXPECT_FALSE(VeltariGetBoolPropertyValue(-1, Property(0), &flag));
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);
    EXPECT_FALSE(VeltariGetInt32PropertyValue(-1, Property(0), &number));
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);
}

TEST_F(Properties, ProtocolIsTestedBeforeTheArguments) {
    Connect(5);
    bool flag = false;
    int number = 0;
    EXPECT_FALSE(VeltariGetInt32PropertyValue(-1, kIntProperty, &number));
    EXPECT_EQ(LastError(), VeltariErrorServerProtocolTooOld);
    EXPECT_FALSE(VeltariGetBoolPropertyValue(0, kIntProperty, &flag));
    EXPECT_EQ(LastError(), VeltariErrorServerProtocolTooOld);
    EXPECT_TRUE(SentSoFar().empty());
}

TEST_F(Properties, ArgumentsAreTestedBeforeTheConnection) {
    Connect(6);
    bool flag = false;
    int number = 0;
    struct Case {
        int deviceIndex;
        int property;
        bool integer;
    };
    // Each getter takes only identifiers that carry its own type flag.
    for (const Case& c : std::vector<Case>{{-1, VeltariPropertyTypeInt32 | 1, true},
                                           {0, VeltariPropertyTypeBool | 1, true},
                                           {0, 1, true},
                                           {-1, VeltariPropertyTypeBool | 1, false},
                                           {0, VeltariPropertyTypeInt32 | 1, false},
                                           {0, 0, false}}) {
        StoreLastError(VeltariErrorSuccess);
        const bool got = c.integer
                             ? VeltariGetInt32PropertyValue(c.deviceIndex, Property(c.property), &number)
                             : VeltariGetBoolPropertyValue(c.deviceIndex, Property(c.property), &flag);
        EXPECT_FALSE(got) << c.deviceIndex << " " << c.property;
        EXPECT_EQ(LastError(), VeltariErrorBadArgument) << c.deviceIndex << " " << c.property;
    }
    EXPECT_TRUE(SentSoFar().empty());

    DropConnection();
    EXPECT_FALSE(VeltariGetInt32PropertyValue(-1, kIntProperty, &number));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    EXPECT_FALSE(VeltariGetInt32PropertyValue(0, kIntProperty, &number));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    EXPECT_FALSE(VeltariGetBoolPropertyValue(0, kBoolProperty, &flag));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
}

TEST_F(Properties, SendTheIdentifierWholeWithItsFlag) {
    Connect(6);
    bool flag = false;
    int number = 0;
    const VeltariDevicePropertyId both = Property(VeltariPropertyTypeBool | VeltariPropertyTypeInt32 | 0x41);
    EXPECT_FALSE(VeltariGetBoolPropertyValue(1, kBoolProperty, &flag));
    EXPECT_FALSE(VeltariGetInt32PropertyValue(2, kIntProperty, &number));
    EXPECT_FALSE(VeltariGetInt32PropertyValue(0, both, &number));
    EXPECT_EQ(
        server.Requests(),
        (std::vector<std::string>{
            R"({"method":"VeltariGetBoolPropertyValue","params":{"deviceIndex":1,"propertyId":4097}})",
            R"({"method":"VeltariGetInt32PropertyValue","params":{"deviceIndex":2,"propertyId":8193}})",
            R"({"method":"VeltariGetInt32PropertyValue","params":{"deviceIndex":0,"propertyId":12353}})"}));
}

TEST_F(Properties, IntegerValueIsWrittenExactlyWhenTheAnswerHasAResult) {
    Connect();
    struct Case {
        const char* answer;
        bool got;
        int value;
        int error;
    };
    for (const Case& c : std::vector<Case>{{R"({"errorCode":7,"result":3})", true, 3, 7},
                                           {R"({"result":-41.9})", true, -41, 0},
                                           {R"({"result":"12"})", true, 0, 0},
                                           {R"({"errorCode":0})", false, 99, 0},
                                           {R"({"errorCode":5})", false, 99, 5},
                                           {"not json", false, 99, 0}}) {
        AnswerOnce(kInt, c.answer);
        StoreLastError(VeltariErrorNoHandshake);
        int value = 99;
        EXPECT_EQ(VeltariGetInt32PropertyValue(0, kIntProperty, &value), c.got) << c.answer;
        EXPECT_EQ(value, c.value) << c.answer;
        EXPECT_EQ(LastError(), c.error) << c.answer;
    }
    AnswerEmptyOnce(kInt);
    int value = 99;
    EXPECT_FALSE(VeltariGetInt32PropertyValue(0, kIntProperty, &value));
    EXPECT_EQ(value, 99);
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
}

TEST_F(Properties, BooleanValueIsWrittenExactlyWhenTheAnswerHasAResult) {
    Connect();
    struct Case {
        const char* answer;
        bool before;
        bool got;
        bool after;
        int error;
    };
    for (const Case& c : std::vector<Case>{{R"({"result":true})", false, true, true, 0},
                                           {R"({"errorCode":2,"result":true})", false, true, true, 2},
                                           {R"({"result":1})", true, true, false, 0},
                                           {R"({"errorCode":4})", true, false, true, 4}}) {
        AnswerOnce(kBool, c.answer);
        bool value = c.before;
        EXPECT_EQ(VeltariGetBoolPropertyValue(3, kBoolProperty, &value), c.got) << c.answer;
        EXPECT_EQ(value, c.after) << c.answer;
        EXPECT_EQ(LastError(), c.error) << c.answer;
    }
    AnswerEmptyOnce(kBool);
    bool value = true;
    EXPECT_FALSE(VeltariGetBoolPropertyValue(3, kBoolProperty, &value));
    EXPECT_TRUE(value);
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
}

}  // namespace
}  // namespace sdk::testing
