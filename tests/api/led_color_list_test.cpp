#include "api/led_color_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "api/led_color_set.h"
#include "json/json.h"

namespace sdk {
namespace {

template <class... Args>
std::string ColorsRequest(Args... args) {
    std::string request;
    WriteLedColorsRequest(request, args...);
    return request;
}

std::string FlushRequest(DeviceLedColors& devices) {
    std::string request;
    WriteFlushRequest(request, devices);
    return request;
}

TEST(ValidateLedColors, IdRangeIsZeroTo911AndNegativesFail) {
    for (int id : {0, 911}) {
        VeltariLedColor c{id, 1, 2, 3};
        EXPECT_TRUE(ValidateLedColors(1, &c, kCheckAll)) << id;
    }
    for (int id : {912, -1, INT32_MIN}) {
        VeltariLedColor c{id, 1, 2, 3};
        EXPECT_FALSE(ValidateLedColors(1, &c, kCheckAll)) << id;
        EXPECT_FALSE(ValidateLedColors(1, &c, kCheckLedIds)) << id;
    }
}

TEST(ValidateLedColors, IntensitiesAreCheckedOnlyForSetting) {
    for (int v : {256, -1}) {
        VeltariLedColor c{5, 0, v, 0};
        EXPECT_FALSE(ValidateLedColors(1, &c, kCheckAll)) << v;
        EXPECT_TRUE(ValidateLedColors(1, &c, kCheckLedIds)) << v;
    }
    VeltariLedColor edge{5, 255, 0, 255};
    EXPECT_TRUE(ValidateLedColors(1, &edge, kCheckAll));
}

TEST(ValidateLedColors, DuplicateIdsFailAdjacentOrNotWhateverTheBits) {
    std::vector<VeltariLedColor> adjacent{{3, 0, 0, 0}, {3, 1, 1, 1}};
    std::vector<VeltariLedColor> apart{{3, 0, 0, 0}, {4, 0, 0, 0}, {3, 0, 0, 0}};
    std::vector<VeltariLedColor> outOfRangeTwice{{5000, 0, 0, 0}, {7, 0, 0, 0}, {5000, 0, 0, 0}};
    for (unsigned bits : {0u, kCheckLedIds, kCheckAll}) {
        EXPECT_FALSE(ValidateLedColors(2, adjacent.data(), bits));
        EXPECT_FALSE(ValidateLedColors(3, apart.data(), bits));
    }
    EXPECT_FALSE(ValidateLedColors(3, outOfRangeTwice.data(), 0));
    EXPECT_TRUE(ValidateLedColors(2, outOfRangeTwice.data(), 0));
}

TEST(ValidateLedColors, FullKeyboardPassesAnd913NeverDoes) {
    std::vector<VeltariLedColor> all;
    for (int id = 0; id <= 911; ++id) all.push_back({id, id % 256, 0, 0});
    EXPECT_TRUE(ValidateLedColors(912, all.data(), kCheckAll));
    all.push_back({17, 0, 0, 0});
    EXPECT_FALSE(ValidateLedColors(913, all.data(), kCheckAll));
}

TEST(ValidateLedColors, NullArrayWithPositiveCountIsRefusedWithoutReading) {
    EXPECT_FALSE(ValidateLedColors(3, nullptr, kCheckAll));
    EXPECT_TRUE(ValidateLedColors(0, nullptr, kCheckAll));
}

TEST(EncodeLedColors, RecordsJoinedByHashFieldsByComma) {
    std::vector<VeltariLedColor> two{{12, 255, 0, 0}, {13, 0, 128, 0}};
    EXPECT_EQ(EncodeLedColors(2, two.data()), "12,255,0,0#13,0,128,0");
    VeltariLedColor negative{0, -1, 2147483647, INT32_MIN};
    EXPECT_EQ(EncodeLedColors(1, &negative), "0,-1,2147483647,-2147483648");
    EXPECT_EQ(EncodeLedColors(0, nullptr), "");
}

TEST(EncodeLedColors, LongListsOfWideAndNarrowNumbersMatchPlainDecimals) {
    // Widths from one to eleven characters, in lists long enough to cross any internal block size: mostly
    // fields below 1000, which writers may take several records at a time, now and then a wide one, which
    // they may not. The processor's writer (when it has one) and the record-at-a-time one, each reading the
    // list in place and through an order: runs of neighbouring slots broken by swapped pairs.
    const int wide[] = {1000, 65535, -1, -999, INT32_MIN, 123456789, 512};
    std::uint32_t seed = 1;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 8; };
    auto field = [&] { return next() % 16 == 0 ? wide[next() % 7] : static_cast<int>(next() % 1000); };
    for (const WideRecordWriter writer : {ProcessorRecordWriter(), WideRecordWriter{nullptr}}) {
        for (const int count : {1, 2, 3, 4, 5, 6, 7, 8, 9, 3000}) {
            std::vector<VeltariLedColor> in;
            std::vector<std::uint16_t> order;
            for (int i = 0; i < count; ++i) {
                in.push_back({field(), field(), field(), field()});
                order.push_back(static_cast<std::uint16_t>(i));
            }
            for (int i = 5; i + 1 < count; i += 7) std::swap(order[i], order[i + 1]);
            std::string expected;
            std::string ordered;
            for (int i = 0; i < count; ++i) {
                for (const auto& [text, c] :
                     {std::pair{&expected, in[i]}, std::pair{&ordered, in[order[i]]}}) {
                    if (i > 0) *text += '#';
                    *text += std::to_string(c.ledId) + ',' + std::to_string(c.r) + ',' + std::to_string(c.g) +
                             ',' + std::to_string(c.b);
                }
            }
            std::string text = "x";
            AppendLedColorsWith(writer, text, count, in.data(), nullptr);
            EXPECT_EQ(text, "x" + expected) << count << (writer != nullptr ? " wide" : "");
            text.clear();
            AppendLedColorsWith(writer, text, count, in.data(), order.data());
            EXPECT_EQ(text, ordered) << count << (writer != nullptr ? " wide" : "");
        }
    }
}

TEST(DecodeLedColors, ReadsWhatEncodeWrites) {
    std::vector<VeltariLedColor> in;
    for (int id = 0; id < 912; ++id) in.push_back({id, id % 256, (id * 7) % 256, 255 - id % 256});
    auto out = DecodeLedColors(EncodeLedColors(912, in.data()));
    ASSERT_EQ(out.size(), in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        EXPECT_EQ(out[i].ledId, in[i].ledId);
        EXPECT_EQ(out[i].r, in[i].r);
        EXPECT_EQ(out[i].g, in[i].g);
        EXPECT_EQ(out[i].b, in[i].b);
    }
}

TEST(DecodeLedColors, ToleratesTrailingHashSpacesAndAnySeparator) {
    auto trailing = DecodeLedColors("7,1,2,3#8,4,5,6#");
    ASSERT_EQ(trailing.size(), 2u);
    EXPECT_EQ(trailing[1].ledId, 8);
    EXPECT_EQ(trailing[1].b, 6);
    auto odd = DecodeLedColors(" 7;1x 2|-3@+8,4,5,6");
    ASSERT_EQ(odd.size(), 2u);
    EXPECT_EQ(odd[0].b, -3);
    EXPECT_EQ(odd[1].ledId, 8);
    EXPECT_TRUE(DecodeLedColors("").empty());
    EXPECT_TRUE(DecodeLedColors("   ").empty());
    EXPECT_TRUE(DecodeLedColors("#1,2,3,4").empty());
}

// The reading rules written out plainly, one character at a time, as the oracle for the decoder's fast
// paths: white space before a number, an optional sign, digits, int32 range; any one character between
// fields; a failed field reads 0 and ends decoding after its record.
std::vector<VeltariLedColor> PlainDecode(const std::string& text) {
    std::size_t pos = 0;
    bool failed = false;
    auto extract = [&](int& out) {
        if (failed) return false;
        std::size_t p = pos;
        while (p < text.size() && (text[p] == ' ' || (text[p] >= '\t' && text[p] <= '\r'))) ++p;
        bool negative = false;
        if (p < text.size() && (text[p] == '-' || text[p] == '+')) negative = text[p++] == '-';
        long long value = 0;
        std::size_t digits = 0;
        for (; p < text.size() && text[p] >= '0' && text[p] <= '9'; ++p, ++digits) {
            if (value < (1LL << 40)) value = value * 10 + (text[p] - '0');  // stays out of range once out
        }
        value = negative ? -value : value;
        if (digits == 0 || value > INT32_MAX || value < INT32_MIN) return !(failed = true);
        out = static_cast<int>(value);
        pos = p;
        return true;
    };
    auto skip = [&] { failed = failed || pos++ >= text.size(); };
    std::vector<VeltariLedColor> records;
    while (pos < text.size()) {
        VeltariLedColor c{0, 0, 0, 0};
        if (!extract(c.ledId)) break;
        bool complete = true;
        for (int* field : {&c.r, &c.g, &c.b}) {
            skip();
            complete = extract(*field) && complete;
        }
        skip();
        records.push_back(c);
        if (!complete) break;
    }
    return records;
}

TEST(DecodeLedColors, AgreesWithThePlainRulesOnOddTexts) {
    // Mostly well-formed lists with every kind of flaw mixed in at random places, short and long.
    const std::string pieces[] = {
        "12", "0", "255", "7", "911",       ",",          ",",          "#",          "#",           " ",
        "-",  "+", "x",   ";", "123456789", "1234567890", "2147483647", "2147483648", "-2147483648", "\n"};
    std::uint32_t seed = 12345;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 8; };
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        // Every eighth text is long enough for the reader to split it in two at a '#' past the middle, and
        // has few flaws, if any, so that they also come after the split.
        const bool longText = round % 8 == 0;
        const int length = static_cast<int>(longText ? 150 + next() % 250 : next() % 40);
        for (int i = 0; i < length; ++i) {
            // Well-formed records most of the time, so that flaws also come after good records.
            text += next() % (longText ? 300 : 3) != 0
                        ? std::to_string(next() % 300) + (i % 4 == 3 ? "#" : ",")
                        : pieces[next() % std::size(pieces)];
        }
        const auto expected = PlainDecode(text);
        const auto actual = DecodeLedColors(text);
        ASSERT_EQ(actual.size(), expected.size()) << text;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(actual[i].ledId, expected[i].ledId) << text;
            ASSERT_EQ(actual[i].r, expected[i].r) << text;
            ASSERT_EQ(actual[i].g, expected[i].g) << text;
            ASSERT_EQ(actual[i].b, expected[i].b) << text;
        }
        // In place, by the processor's reader (when it has one) and by the record-at-a-time one: only a list
        // of exactly the caller's length is written, and then only r, g and b.
        for (const WideRecordReader reader : {ProcessorRecordReader(), WideRecordReader{nullptr}}) {
            const int count = static_cast<int>(expected.size());
            std::vector<VeltariLedColor> inPlace(expected.size() + 1, VeltariLedColor{-7, -7, -7, -7});
            ASSERT_FALSE(DecodeLedColorsIntoWith(reader, text, count + 1, inPlace.data())) << text;
            ASSERT_TRUE(count == 0 || !DecodeLedColorsIntoWith(reader, text, count - 1, inPlace.data()))
                << text;
            ASSERT_EQ(inPlace[0].r, -7) << text;
            ASSERT_TRUE(DecodeLedColorsIntoWith(reader, text, count, inPlace.data())) << text;
            for (std::size_t i = 0; i < expected.size(); ++i) {
                ASSERT_EQ(inPlace[i].ledId, -7) << text;
                ASSERT_EQ(inPlace[i].r, expected[i].r) << text;
                ASSERT_EQ(inPlace[i].g, expected[i].g) << text;
                ASSERT_EQ(inPlace[i].b, expected[i].b) << text;
            }
            ASSERT_EQ(inPlace[expected.size()].r, -7) << text;
        }
    }
}

TEST(DecodeLedColors, BrokenRecordCountsAndEndsDecoding) {
    auto cut = DecodeLedColors("1,2,3");
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].ledId, 1);
    EXPECT_EQ(cut[0].b, 0);
    auto letter = DecodeLedColors("1,x,3,4#5,6,7,8");
    ASSERT_EQ(letter.size(), 1u);
    EXPECT_EQ(letter[0].r, 0);
    auto overflowId = DecodeLedColors("2147483648,1,2,3");
    EXPECT_TRUE(overflowId.empty());
    auto overflowField = DecodeLedColors("1,99999999999,2,3#4,5,6,7");
    ASSERT_EQ(overflowField.size(), 1u);
    EXPECT_EQ(DecodeLedColors("-2147483648,0,0,0")[0].ledId, INT32_MIN);
}

TEST(WriteLedColorsRequest, IsTheExactEnvelope) {
    VeltariLedColor red{5, 255, 0, 0};
    EXPECT_EQ(ColorsRequest("VeltariSetLedsColors", 1, &red),
              R"({"method":"VeltariSetLedsColors","params":{"ledsColors":"5,255,0,0"}})");
}

TEST(WriteLedColorsRequest, SameTextAsTheEnvelopeBuiltAsAJsonValue) {
    std::vector<VeltariLedColor> all;
    for (int id = 0; id < 912; ++id) all.push_back({id, id % 256, -id, 255});
    for (const char* method : {"VeltariGetLedsColors", "odd \"name\"\twith\\escapes"}) {
        for (int count : {0, 1, 912}) {
            Json params;
            params["ledsColors"] = Json(EncodeLedColors(count, all.data()));
            Json request;
            request["method"] = Json(method);
            request["params"] = std::move(params);
            EXPECT_EQ(ColorsRequest(method, count, all.data()), request.ToText()) << method << count;
            Json byDevice;
            byDevice["method"] = Json(method);
            byDevice["params"]["deviceIndex"] = Json(-3);
            byDevice["params"]["ledsColors"] = Json(EncodeLedColors(count, all.data()));
            EXPECT_EQ(ColorsRequest(method, -3, count, all.data()), byDevice.ToText()) << method << count;
        }
    }
}

TEST(WriteFlushRequest, SameTextAsTheRequestBuiltAsAJsonValue) {
    DeviceLedColors devices;
    std::vector<VeltariLedColor> all;
    for (int id = 911; id >= 0; --id) all.push_back({id, id % 256, (id * 3) % 256, 0});
    StoreDeviceColors(devices, 7, 912, all.data());
    StoreDeviceColors(devices, 0, 3, all.data() + 100);
    StoreDeviceColors(devices, 3, 1, all.data());
    // The same text as from JSON values, devices and LEDs in ascending order.
    Json list;
    for (auto& [index, colors] : devices) {
        std::vector<VeltariLedColor> ordered;
        colors.SortedColors(ordered);
        Json device;
        device["deviceIndex"] = Json(index);
        device["ledColors"] = Json(EncodeLedColors(static_cast<int>(ordered.size()), ordered.data()));
        list.Append(std::move(device));
    }
    Json request;
    request["method"] = Json("VeltariSetLedsColorsFlushBuffer");
    request["params"]["ledsColorsByDeviceIndex"] = std::move(list);
    EXPECT_EQ(FlushRequest(devices), request.ToText());

    DeviceLedColors none;
    EXPECT_EQ(FlushRequest(none),
              R"({"method":"VeltariSetLedsColorsFlushBuffer","params":{"ledsColorsByDeviceIndex":null}})");
}

}  // namespace
}  // namespace sdk
