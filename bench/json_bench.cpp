// Parse and write of the library's real messages, by this library and by the two JSON libraries a user
// could have picked instead, on the same texts.
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <nlohmann/json.hpp>

#include "api/led_color_list.h"
#include "json/json.h"
#include "json/json_writer.h"
#include "messages.h"
#include "ratio_table.h"
#include "suites.h"

namespace sdk::bench {
namespace {

struct Message {
    const char* name;
    std::string text;
    double rapidTarget;  // parse+write against RapidJSON
};

// Each library's parse and write, each returning something the optimiser must keep. Each parse reads
// into a new document of the library's own, as the library reads answers (RapidJSON's in its arena,
// this library's in the JsonDocument it keeps per connection, made new here to pay its memory each time).
struct Veltari {
    static constexpr const char* kName = "veltari";
    using Document = std::unique_ptr<JsonDocument>;
    static Document Parse(const std::string& text) {
        auto document = std::make_unique<JsonDocument>();
        document->Parse(text);
        return document;
    }
    static std::string Write(const Document& document) { return document->Root().ToText(); }
};

struct Nlohmann {
    static constexpr const char* kName = "nlohmann";
    using Document = nlohmann::json;
    static Document Parse(const std::string& text) { return nlohmann::json::parse(text); }
    static std::string Write(const Document& document) { return document.dump(); }
};

struct Rapid {
    static constexpr const char* kName = "rapidjson";
    struct Document {
        rapidjson::Document dom;
    };
    static std::unique_ptr<Document> Parse(const std::string& text) {
        auto document = std::make_unique<Document>();
        document->dom.Parse(text.data(), text.size());
        return document;
    }
    static std::string Write(const std::unique_ptr<Document>& document) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        document->dom.Accept(writer);
        return std::string(buffer.GetString(), buffer.GetSize());
    }
};

std::string Name(const Message& message, const char* operation, const char* library) {
    return std::string("json/") + message.name + "/" + operation + "/" + library;
}

template <class Library>
void Register(const Message& message) {
    const std::string text = message.text;
    benchmark::RegisterBenchmark(
        Name(message, "parse", Library::kName).c_str(), [text](benchmark::State& state) {
            for (auto _ : state) {
                auto document = Library::Parse(text);
                benchmark::DoNotOptimize(document);
            }
            state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
        });
    benchmark::RegisterBenchmark(Name(message, "write", Library::kName).c_str(),
                                 [text](benchmark::State& state) {
                                     const auto document = Library::Parse(text);
                                     for (auto _ : state) {
                                         std::string written = Library::Write(document);
                                         benchmark::DoNotOptimize(written.data());
                                     }
                                 });
    benchmark::RegisterBenchmark(Name(message, "parse_write", Library::kName).c_str(),
                                 [text](benchmark::State& state) {
                                     for (auto _ : state) {
                                         auto document = Library::Parse(text);
                                         std::string written = Library::Write(document);
                                         benchmark::DoNotOptimize(written.data());
                                     }
                                 });
}

// The library's request writer (the streaming writer around a colour list) against the same envelope
// written by hand around the same list, and building a small request as a value first. Both keep their
// string from one request to the next, as an exchange does.
void RegisterStreamWriterBenchmarks() {
    benchmark::RegisterBenchmark("json/colors_request_912/stream_writer", [](benchmark::State& state) {
        const auto colors = FullKeyboardColors();
        std::string request;
        for (auto _ : state) {
            request.clear();
            WriteLedColorsRequest(request, "VeltariSetLedsColors", static_cast<int>(colors.size()),
                                  colors.data());
            benchmark::DoNotOptimize(request.data());
        }
    });
    benchmark::RegisterBenchmark("json/colors_request_912/by_hand", [](benchmark::State& state) {
        const auto colors = FullKeyboardColors();
        std::string request;
        for (auto _ : state) {
            request.clear();
            request += R"({"method":"VeltariSetLedsColors","params":{"ledsColors":")";
            AppendLedColors(request, static_cast<int>(colors.size()), colors.data());
            request += R"("}})";
            benchmark::DoNotOptimize(request.data());
        }
    });
    benchmark::RegisterBenchmark("json/device_info_request/stream_writer", [](benchmark::State& state) {
        for (auto _ : state) {
            std::string request;
            JsonWriter writer(request);
            writer.BeginObject();
            writer.Name("method");
            writer.String("VeltariGetDeviceInfo");
            writer.Name("params");
            writer.BeginObject();
            writer.Name("deviceIndex");
            writer.Number(3);
            writer.EndObject();
            writer.EndObject();
            benchmark::DoNotOptimize(request.data());
        }
    });
    benchmark::RegisterBenchmark("json/device_info_request/value", [](benchmark::State& state) {
        for (auto _ : state) {
            Json params;
            params["deviceIndex"] = Json(3);
            Json request;
            request["method"] = Json("VeltariGetDeviceInfo");
            request["params"] = std::move(params);
            std::string text = request.ToText();
            benchmark::DoNotOptimize(text.data());
        }
    });
    AddComparison({"JSON", "912-colour request, streaming writer vs written by hand",
                   "json/colors_request_912/stream_writer", "json/colors_request_912/by_hand", 1.05, true});
    AddComparison({"JSON", "device info request, streaming writer vs built as a value",
                   "json/device_info_request/stream_writer", "json/device_info_request/value", 0.0, true});
}

}  // namespace

void RegisterJsonBenchmarks() {
    const Message messages[] = {
        {"led_positions_912", LedPositionsResponse(), 1.0},
        {"device_info", DeviceInfoResponse(), 1.0},
        {"set_colors_912", SetLedsColorsRequest(), 0.2},
    };
    for (const Message& message : messages) {
        Register<Veltari>(message);
        Register<Nlohmann>(message);
        Register<Rapid>(message);
        const std::string title = std::string(message.name) + " ";
        AddComparison({"JSON", title + "parse+write vs nlohmann", Name(message, "parse_write", "veltari"),
                       Name(message, "parse_write", "nlohmann"), 0.8, true});
        AddComparison({"JSON", title + "parse+write vs rapidjson", Name(message, "parse_write", "veltari"),
                       Name(message, "parse_write", "rapidjson"), message.rapidTarget, true});
        AddComparison({"JSON", title + "parse vs nlohmann", Name(message, "parse", "veltari"),
                       Name(message, "parse", "nlohmann"), 0.0, true});
        AddComparison({"JSON", title + "write vs nlohmann", Name(message, "write", "veltari"),
                       Name(message, "write", "nlohmann"), 0.0, true});
    }
    RegisterStreamWriterBenchmarks();
}

}  // namespace sdk::bench
