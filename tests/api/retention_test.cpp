#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "api/retention.h"
#include "api_fixture.h"

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

}  // namespace
}  // namespace sdk::testing
