// The colour-list operations at a full keyboard, each next to the plain text-stream way of doing the same
// work and, where there is one, the floor of merely copying the bytes.
#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "api/led_color_list.h"
#include "messages.h"
#include "ratio_table.h"
#include "suites.h"

namespace sdk::bench {
namespace {

std::string StreamEncode(int count, const VeltariLedColor* colors) {
    std::ostringstream out;
    for (int i = 0; i < count; ++i) {
        if (i > 0) out << '#';
        out << colors[i].ledId << ',' << colors[i].r << ',' << colors[i].g << ',' << colors[i].b;
    }
    return out.str();
}

std::vector<VeltariLedColor> StreamDecode(const std::string& text) {
    std::vector<VeltariLedColor> records;
    std::istringstream in(text);
    char separator = 0;
    while (!in.eof()) {
        VeltariLedColor c{};
        if (!(in >> c.ledId)) break;
        in >> separator >> c.r >> separator >> c.g >> separator >> c.b;
        in.get();
        records.push_back(c);
    }
    return records;
}

bool SortValidate(int count, const VeltariLedColor* colors) {
    std::vector<int> ids;
    for (int i = 0; i < count; ++i) {
        const VeltariLedColor& c = colors[i];
        if (static_cast<unsigned>(c.r) > 255 || static_cast<unsigned>(c.g) > 255 ||
            static_cast<unsigned>(c.b) > 255 || static_cast<unsigned>(c.ledId) > 911) {
            return false;
        }
        ids.push_back(c.ledId);
    }
    std::sort(ids.begin(), ids.end());
    return std::adjacent_find(ids.begin(), ids.end()) == ids.end();
}

void Register(const char* name, void (*body)(benchmark::State&)) {
    benchmark::RegisterBenchmark(name, body);
}

}  // namespace

void RegisterLedColorListBenchmarks() {
    Register("colors/encode_912/veltari", [](benchmark::State& state) {
        const auto colors = FullKeyboardColors();
        for (auto _ : state) {
            std::string text = EncodeLedColors(kFullKeyboard, colors.data());
            benchmark::DoNotOptimize(text.data());
        }
    });
    Register("colors/encode_912/stream", [](benchmark::State& state) {
        const auto colors = FullKeyboardColors();
        for (auto _ : state) {
            std::string text = StreamEncode(kFullKeyboard, colors.data());
            benchmark::DoNotOptimize(text.data());
        }
    });
    Register("colors/encode_912/copy", [](benchmark::State& state) {
        const std::string source = ColorListText();
        for (auto _ : state) {
            std::string text = source;
            benchmark::DoNotOptimize(text.data());
        }
    });
    Register("colors/decode_912/veltari", [](benchmark::State& state) {
        const std::string text = ColorListText();
        for (auto _ : state) {
            auto records = DecodeLedColors(text);
            benchmark::DoNotOptimize(records.data());
        }
    });
    // What reading colours back costs: counted, then read into the caller's records, nothing allocated.
    Register("colors/decode_912/in_place", [](benchmark::State& state) {
        const std::string text = ColorListText();
        auto records = FullKeyboardColors();
        for (auto _ : state) {
            benchmark::DoNotOptimize(DecodeLedColorsInto(text, kFullKeyboard, records.data()));
            benchmark::ClobberMemory();
        }
    });
    Register("colors/decode_912/stream", [](benchmark::State& state) {
        const std::string text = ColorListText();
        for (auto _ : state) {
            auto records = StreamDecode(text);
            benchmark::DoNotOptimize(records.data());
        }
    });
    Register("colors/decode_912/copy", [](benchmark::State& state) {
        const auto colors = FullKeyboardColors();
        for (auto _ : state) {
            std::vector<VeltariLedColor> records(colors);
            benchmark::DoNotOptimize(records.data());
        }
    });
    Register("colors/validate_912/veltari", [](benchmark::State& state) {
        const auto colors = FullKeyboardColors();
        for (auto _ : state)
            benchmark::DoNotOptimize(ValidateLedColors(kFullKeyboard, colors.data(), kCheckAll));
    });
    Register("colors/validate_912/sort", [](benchmark::State& state) {
        const auto colors = FullKeyboardColors();
        for (auto _ : state) benchmark::DoNotOptimize(SortValidate(kFullKeyboard, colors.data()));
    });
    Register("colors/build_request_912/veltari", [](benchmark::State& state) {
        const auto colors = FullKeyboardColors();
        for (auto _ : state) {
            std::string request;
            WriteLedColorsRequest(request, "VeltariSetLedsColors", kFullKeyboard, colors.data());
            benchmark::DoNotOptimize(request.data());
        }
    });
    Register("colors/build_request_912/encode", [](benchmark::State& state) {
        const auto colors = FullKeyboardColors();
        for (auto _ : state) {
            std::string text = EncodeLedColors(kFullKeyboard, colors.data());
            benchmark::DoNotOptimize(text.data());
        }
    });

    const char* group = "Colour lists (912 records)";
    AddComparison({group, "EncodeLedColors vs text stream", "colors/encode_912/veltari",
                   "colors/encode_912/stream", 0.0, true});
    AddComparison({group, "EncodeLedColors vs copying its text", "colors/encode_912/veltari",
                   "colors/encode_912/copy", 0.0, true});
    AddComparison({group, "DecodeLedColors vs text stream", "colors/decode_912/veltari",
                   "colors/decode_912/stream", 0.0, true});
    AddComparison({group, "DecodeLedColorsInto vs DecodeLedColors", "colors/decode_912/in_place",
                   "colors/decode_912/veltari", 0.0, true});
    AddComparison({group, "DecodeLedColors vs copying its records", "colors/decode_912/veltari",
                   "colors/decode_912/copy", 0.0, true});
    AddComparison({group, "ValidateLedColors vs sort and compare", "colors/validate_912/veltari",
                   "colors/validate_912/sort", 0.0, true});
    AddComparison({group, "WriteLedColorsRequest vs its colour list alone",
                   "colors/build_request_912/veltari", "colors/build_request_912/encode", 0.0, true});
}

}  // namespace sdk::bench
