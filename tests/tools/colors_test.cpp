#include "cli/colors.h"

#include <gtest/gtest.h>

namespace cli {
namespace {

TEST(ColorParsing, NamesInAnyCase) {
    EXPECT_EQ(ParseColor("red"), (Rgb{255, 0, 0}));
    EXPECT_EQ(ParseColor("RED"), (Rgb{255, 0, 0}));
    EXPECT_EQ(ParseColor("WarmWhite"), (Rgb{255, 180, 100}));
    EXPECT_EQ(ParseColor("off"), (Rgb{0, 0, 0}));
    // Full green channel, as LEDs go, not the web's darker green.
    EXPECT_EQ(ParseColor("green"), (Rgb{0, 255, 0}));
    for (const auto& named : ColorNames()) {
        EXPECT_EQ(ParseColor(named.name), named.rgb) << named.name;
    }
}

TEST(ColorParsing, HexInEitherCase) {
    EXPECT_EQ(ParseColor("#FF8000"), (Rgb{255, 128, 0}));
    EXPECT_EQ(ParseColor("#ff8000"), (Rgb{255, 128, 0}));
    EXPECT_EQ(ParseColor("#0a0B0c"), (Rgb{10, 11, 12}));
    EXPECT_EQ(ParseColor("#000000"), (Rgb{0, 0, 0}));
    EXPECT_EQ(ParseColor("#F80"), (Rgb{255, 136, 0}));
}

TEST(ColorParsing, RefusesAnythingElse) {
    for (const char* text : {"", "#", "#12345", "#1234567", "#GG0000", "#12 456", "FF0000", "0xFF0000",
                             "red ", " red", "reddish", "255,0,0", "#-12345", "#+12345"}) {
        EXPECT_FALSE(ParseColor(text).has_value()) << "'" << text << "'";
    }
}

TEST(ColorParsing, DescribesWithNameWhenThereIsOne) {
    EXPECT_EQ(DescribeColor({255, 0, 0}), "#FF0000 (red)");
    EXPECT_EQ(DescribeColor({1, 2, 254}), "#0102FE");
    EXPECT_EQ(DescribeColor({0, 0, 0}), "#000000 (off)");
    // Every description parses back to the same colour.
    for (Rgb rgb : {Rgb{12, 200, 7}, Rgb{255, 255, 255}, Rgb{0, 128, 128}}) {
        EXPECT_EQ(ParseColor(DescribeColor(rgb).substr(0, 7)), rgb);
    }
}

}  // namespace
}  // namespace cli
