// The demo's keyboard drawing and light show.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "effects.h"
#include "keyboard_view.h"

namespace demo {
namespace {

using ::testing::HasSubstr;

// Three rows of keys at a 19 mm pitch, a wide space bar, and one tiny indicator LED above them.
std::vector<LedBox> SmallKeyboard() {
    std::vector<LedBox> leds;
    int id = 1;
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 10; ++col) {
            leds.push_back({id++, 10 + row * 19.0, col * 19.0, 19, 19, static_cast<char>('A' + (row * 10 + col) % 26)});
        }
    }
    leds.push_back({id++, 10 + 3 * 19.0, 57, 19, 114, 0});
    leds.push_back({id++, 0, 180, 3, 4, 0});
    return leds;
}

// The text of a drawing without its colour escapes.
std::vector<std::string> Plain(const std::string& drawing) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < drawing.size(); ++i) {
        if (drawing[i] == '\x1b') {
            i = drawing.find('m', i);
        } else if (drawing[i] == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += drawing[i];
        }
    }
    return lines;
}

std::vector<Rgb> DistinctColors(size_t n) {
    std::vector<Rgb> colors;
    for (size_t i = 0; i < n; ++i) colors.push_back({static_cast<int>(i + 1), 2, 3});
    return colors;
}

TEST(KeyboardView, EveryLedIsDrawnEvenATinyOne) {
    const auto leds = SmallKeyboard();
    for (int columns : {40, 80, 200}) {
        KeyboardView view(leds, columns);
        EXPECT_LE(view.Columns(), std::max(columns, 1));
        const std::string drawing = view.Render(DistinctColors(leds.size()));
        for (size_t i = 0; i < leds.size(); ++i) {
            const std::string background = "\x1b[48;2;" + std::to_string(i + 1) + ";2;3m";
            const std::string foreground = "\x1b[38;2;" + std::to_string(i + 1) + ";2;3m";
            EXPECT_TRUE(drawing.find(background) != std::string::npos || drawing.find(foreground) != std::string::npos)
                << "LED " << leds[i].ledId << " at " << columns << " columns";
        }
    }
}

// Which LED each cell shows, from a drawing made with DistinctColors: the red level is the LED's place
// plus one, 0 for an empty cell.
std::vector<std::vector<int>> Owners(const std::string& drawing) {
    std::vector<std::vector<int>> rows(1);
    int background = 0, foreground = 0;
    for (size_t i = 0; i < drawing.size(); ++i) {
        if (drawing[i] == '\x1b') {
            const size_t end = drawing.find('m', i);
            const std::string code = drawing.substr(i + 2, end - i - 2);
            if (code == "0") background = foreground = 0;
            if (code.rfind("48;2;", 0) == 0) background = std::stoi(code.substr(5));
            if (code.rfind("38;2;", 0) == 0) foreground = std::stoi(code.substr(5));
            i = end;
        } else if (drawing[i] == '\n') {
            rows.emplace_back();
        } else if (drawing.compare(i, 3, "\xe2\x96\x80") == 0) {
            rows.back().push_back(foreground);
            i += 2;
        } else {
            rows.back().push_back(background);
        }
    }
    rows.pop_back();
    return rows;
}

TEST(KeyboardView, NeighboursStayApartAndRowsOfKeysToo) {
    const auto leds = SmallKeyboard();
    for (int columns : {40, 80, 120}) {
        KeyboardView view(leds, columns);
        const auto owners = Owners(view.Render(DistinctColors(leds.size())));
        ASSERT_EQ(static_cast<int>(owners.size()), view.Rows());
        for (const auto& row : owners) {
            ASSERT_EQ(static_cast<int>(row.size()), view.Columns());
            // Along a row, one LED never touches another.
            for (size_t c = 1; c < row.size(); ++c) {
                if (row[c] != 0 && row[c - 1] != 0) {
                    EXPECT_EQ(row[c], row[c - 1]) << columns << " columns";
                }
            }
        }
        // A key of the first row and the key below it never share a full cell edge: the upper one ends
        // in a half block.
        const std::string drawing = view.Render(DistinctColors(leds.size()));
        EXPECT_THAT(drawing, HasSubstr("\xe2\x96\x80"));
        std::set<int> seen;
        for (const auto& row : owners) seen.insert(row.begin(), row.end());
        seen.erase(0);
        EXPECT_EQ(seen.size(), leds.size()) << columns << " columns";
    }
}

TEST(KeyboardView, LabelsAppearOncePerKeyAndTextFitsTheKey) {
    const auto leds = SmallKeyboard();
    KeyboardView view(leds, 100);
    const auto lines = Plain(view.Render(DistinctColors(leds.size())));
    std::string all;
    for (const auto& line : lines) all += line;
    for (char label : std::string("KLMNOPQRST")) EXPECT_EQ(std::count(all.begin(), all.end(), label), 1) << label;
    // Dark text on a light key, light text on a dark one.
    std::vector<Rgb> colors(leds.size(), Rgb{250, 250, 250});
    EXPECT_THAT(view.Render(colors), HasSubstr("\x1b[30m"));
    colors.assign(leds.size(), Rgb{10, 10, 10});
    EXPECT_THAT(view.Render(colors), HasSubstr("\x1b[97m"));
}

TEST(KeyboardView, TooFewColoursLeaveTheRestDarkAndNoLedsDrawNothing) {
    const auto leds = SmallKeyboard();
    KeyboardView view(leds, 80);
    const std::string drawing = view.Render({});
    EXPECT_EQ(drawing.find("48;2;"), std::string::npos);
    EXPECT_EQ(static_cast<int>(Plain(drawing).size()), view.Rows());

    KeyboardView empty({}, 80);
    EXPECT_EQ(empty.Rows(), 0);
    EXPECT_TRUE(empty.Render({}).empty());
}

TEST(Effects, HuesAroundTheCircle) {
    EXPECT_EQ(Hue(0, 1).r, 255);
    EXPECT_EQ(Hue(0, 1).g, 0);
    EXPECT_EQ(Hue(120, 1).g, 255);
    EXPECT_EQ(Hue(120, 1).r, 0);
    EXPECT_EQ(Hue(240, 1).b, 255);
    EXPECT_EQ(Hue(240, 1).g, 0);
    EXPECT_EQ(Hue(60, 1).r, 255);
    EXPECT_EQ(Hue(60, 1).g, 255);
    const Rgb wrapped = Hue(-120, 1), same = Hue(240, 1);
    EXPECT_EQ(wrapped.r, same.r);
    EXPECT_EQ(wrapped.g, same.g);
    EXPECT_EQ(wrapped.b, same.b);
    EXPECT_EQ(Hue(720 + 120, 0.5).g, 128);
}

TEST(Effects, WaveStaysDimUntilARingPassesAKey) {
    const auto leds = SmallKeyboard();
    Wave wave(leds);
    const auto plain = wave.Frame(1.25, {});
    ASSERT_EQ(plain.size(), leds.size());
    for (const auto& c : plain) EXPECT_LE(std::max({c.r, c.g, c.b}), 153);
    // A ring born on the first key lights it white at once and has left it a second later.
    const Ripple born{leds[0].left + leds[0].width / 2, leds[0].top + leds[0].height / 2, 0};
    const auto lit = wave.Frame(1.25, {born});
    EXPECT_EQ(lit[0].r, 255);
    EXPECT_EQ(lit[0].g, 255);
    EXPECT_EQ(lit[0].b, 255);
    Ripple later = born;
    later.age = 1.0;
    const auto after = wave.Frame(1.25, {later});
    EXPECT_LE(std::max({after[0].r, after[0].g, after[0].b}), 160);
    // Expired rings do nothing.
    later.age = Wave::kRippleLife + 0.1;
    const auto expired = wave.Frame(1.25, {later});
    EXPECT_EQ(expired[0].r, plain[0].r);
    EXPECT_EQ(expired[0].g, plain[0].g);
}

TEST(Effects, ChaseGivesEveryLedItsOwnHue) {
    const auto colors = Chase(6, 0);
    ASSERT_EQ(colors.size(), 6u);
    std::set<std::tuple<int, int, int>> distinct;
    for (const auto& c : colors) distinct.insert({c.r, c.g, c.b});
    EXPECT_EQ(distinct.size(), 6u);
    EXPECT_TRUE(Chase(0, 3).empty());
}

}  // namespace
}  // namespace demo
