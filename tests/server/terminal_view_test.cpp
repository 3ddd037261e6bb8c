#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "lighting/device_data.h"
#include "lighting/lighting_server.h"
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

namespace sdk {
namespace {

// On an 80x24 terminal the frame never scrolls: the status line stays on top, the view gives up its last
// lines, and the most recent events stay visible.
TEST(TerminalViewScreen, FramesFitTheTerminalWithTheStatusOnTop) {
    LightingServer server(*LoadDeviceCatalog(BuiltInDeviceData()).catalog, ServerIdentity{});
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
        TerminalView::Options options;
        options.title = "veltari-server test";
        options.columns = [] { return 80; };
        options.rows = [] { return 24; };
        TerminalView view(server, options, out);
        view.Start();
        for (int i = 1; i <= 6; ++i) view.AddEvent("event " + std::to_string(i));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        view.Stop();
    }
    std::rewind(out);
    std::string text;
    for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
    std::fclose(out);
    const std::size_t last = text.rfind("\x1b[H");
    ASSERT_NE(last, std::string::npos);
    std::string raw = text.substr(last + 3, text.find("\x1b[J", last) - last - 3);
    for (std::size_t at; (at = raw.find("\x1b[K")) != std::string::npos;) raw.erase(at, 3);
    const std::string frame = StripEscapes(raw);
    EXPECT_LE(std::count(frame.begin(), frame.end(), '\n'), 23) << frame;
    EXPECT_EQ(frame.rfind("veltari-server test", 0), 0u) << frame;
    EXPECT_NE(frame.find("event 6"), std::string::npos) << frame;
}

}  // namespace
}  // namespace sdk
