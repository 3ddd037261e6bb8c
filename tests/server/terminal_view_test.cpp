#include <gtest/gtest.h>

#include <algorithm>

#include "lighting/device_data.h"
#include "lighting/terminal_view.h"

namespace sdk {
namespace {

class TerminalViewTest : public ::testing::Test {
protected:
    TerminalViewTest() : catalog_(*LoadDeviceCatalog(BuiltInDeviceData()).catalog) {
        for (const auto& device : catalog_.Devices()) colours_.emplace_back(device.leds.size());
    }
    void Light(int ledId, Rgb colour) {
        const auto at = catalog_.FindLed(ledId);
        colours_[static_cast<std::size_t>(at->device)][static_cast<std::size_t>(at->index)] = colour;
    }
    DeviceCatalog catalog_;
    std::vector<std::vector<Rgb>> colours_;
};

// Drops the colour escape codes, leaving what the user sees.
std::string StripEscapes(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\x1b') {
            while (i < text.size() && text[i] != 'm') ++i;
            continue;
        }
        out += text[i];
    }
    return out;
}

TEST_F(TerminalViewTest, ColourViewDrawsLitKeysInTheirColourWithinTheWidth) {
    Light(catalog_.LedIdForKeyName('Q'), {255, 16, 1});
    for (int columns : {60, 100, 160}) {
        ViewLayout layout;
        layout.columns = columns;
        const std::string view = RenderColourView(catalog_, colours_, layout);
        EXPECT_NE(view.find("\x1b[48;2;255;16;1m"), std::string::npos) << columns;
        const std::string plain = StripEscapes(view);
        std::size_t start = 0;
        while (start < plain.size()) {
            const std::size_t end = plain.find('\n', start);
            EXPECT_LE(static_cast<int>(end - start), columns) << plain.substr(start, end - start);
            start = end + 1;
        }
        for (const auto& device : catalog_.Devices())
            EXPECT_NE(plain.find(device.model.substr(0, 12)), std::string::npos);
    }
}

TEST_F(TerminalViewTest, KeyboardRowsKeepTheirOrderOnScreen) {
    ViewLayout layout;
    layout.columns = 200;
    const std::string plain = StripEscapes(RenderColourView(catalog_, colours_, layout));
    const auto esc = plain.find("Esc");
    const auto tab = plain.find("Tab");
    const auto caps = plain.find("Caps");
    ASSERT_NE(esc, std::string::npos);
    ASSERT_NE(tab, std::string::npos);
    EXPECT_LT(esc, tab);
    EXPECT_LT(tab, caps);
    // The number row sits directly above the letters: Q on the line after 1.
    const auto lineOf = [&](std::size_t at) {
        return std::count(plain.begin(), plain.begin() + static_cast<long>(at), '\n');
    };
    EXPECT_EQ(lineOf(plain.find(" Q ")), lineOf(plain.find(" 1 ")) + 1);
}

TEST_F(TerminalViewTest, PlainViewListsOnlyLitLedsAndNoEscapes) {
    const std::string dark = RenderPlainView(catalog_, colours_, 80);
    EXPECT_EQ(dark.find('\x1b'), std::string::npos);
    EXPECT_NE(dark.find("all dark"), std::string::npos);
    Light(catalog_.LedIdForKeyName('W'), {0, 0x80, 0xff});
    const std::string lit = RenderPlainView(catalog_, colours_, 80);
    EXPECT_NE(lit.find("W=0080ff"), std::string::npos);
    EXPECT_EQ(lit.find("Q="), std::string::npos);
}

}  // namespace
}  // namespace sdk
