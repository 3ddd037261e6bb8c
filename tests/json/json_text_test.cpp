#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "json/json.h"
#include "json/json_writer.h"

namespace sdk {
namespace {

using namespace std::string_literals;

std::string Rewrite(std::string_view text) {
    return Json::Parse(text).ToText();
}

std::string NumberText(double value) {
    return Json(value).ToText();
}

TEST(JsonWriter, RequestTextsAreExact) {
    Json params;
    params["deviceIndex"] = Json(2);
    Json request;
    request["method"] = Json("VeltariGetDeviceInfo");
    request["params"] = std::move(params);
    EXPECT_EQ(request.ToText(), R"({"method":"VeltariGetDeviceInfo","params":{"deviceIndex":2}})");

    Json colours;
    colours.SetMember("method", Json("VeltariSetLedsColors"));
    Json list;
    list.SetMember("ledsColors", Json("5,255,0,0"));
    colours.SetMember("params", std::move(list));
    EXPECT_EQ(colours.ToText(), R"({"method":"VeltariSetLedsColors","params":{"ledsColors":"5,255,0,0"}})");

    Json nested;
    nested["params"]["deviceIndex"] = Json(3);
    nested["params"]["list"].Append(Json(true));
    nested["params"]["list"].Append(Json());
    EXPECT_EQ(nested.ToText(), R"({"params":{"deviceIndex":3,"list":[true,null]}})");

    std::string sink = "prefix:";
    Json(false).WriteText(sink);
    EXPECT_EQ(sink, "prefix:false");
}

TEST(JsonWriter, NumbersUseSixDigitsWhenThatIsExact) {
    EXPECT_EQ(NumberText(0), "0");
    EXPECT_EQ(NumberText(-5), "-5");
    EXPECT_EQ(NumberText(255), "255");
    EXPECT_EQ(NumberText(0.5), "0.5");
    EXPECT_EQ(NumberText(999999), "999999");
    EXPECT_EQ(NumberText(-999999), "-999999");
    EXPECT_EQ(NumberText(1000000), "1e+06");
    EXPECT_EQ(NumberText(1200000), "1.2e+06");
    EXPECT_EQ(NumberText(0.00001), "1e-05");
    EXPECT_EQ(NumberText(0.0001), "0.0001");
    EXPECT_EQ(NumberText(1.5e300), "1.5e+300");
    EXPECT_EQ(NumberText(-0.0), "-0");
    EXPECT_EQ(NumberText(2.25), "2.25");
    EXPECT_EQ(NumberText(123456.5), "123456.5");
}

TEST(JsonWriter, NumbersNeverLoseTheirValue) {
    // Six digits would read back as a different number; these take the shortest exact text instead.
    EXPECT_EQ(NumberText(1234567), "1234567");
    EXPECT_EQ(NumberText(-2147483648.0), "-2147483648");
    EXPECT_EQ(NumberText(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(NumberText(3.14159265), "3.14159265");
    const double samples[] = {1.0 / 3,
                              2.0 / 3e-10,
                              123456789012345678.0,
                              std::numeric_limits<double>::max(),
                              std::numeric_limits<double>::min(),
                              std::numeric_limits<double>::denorm_min(),
                              -1e-300,
                              4294967295.0,
                              9007199254740993.0};
    for (double value : samples) {
        const Json back = Json::Parse(NumberText(value));
        EXPECT_EQ(back.AsDouble(), value) << NumberText(value);
    }
}

// The six-digit text of printf's %g when it reads back exactly, otherwise the shortest exact text.
std::string ReferenceNumberText(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.6g", value);
    if (std::strtod(buffer, nullptr) == value) return buffer;
    return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

TEST(JsonWriter, NumbersMatchTheReferenceRule) {
    std::mt19937_64 random(20240611);
    std::vector<double> values = {0.1,    -0.25,   1e-5,     1.5e-5,  0.000123456, 0.0001234567,
                                  123456, 1234567, 999999.5, 9999995, 1e15,        1e16,
                                  1e21,   1e22,    5e-324,   1e300,   123.456,     100000.1};
    for (int i = 0; i < 100000; ++i) {
        // Raw bit patterns cover every exponent; short decimals cover the texts people write.
        double raw;
        const std::uint64_t bits = random();
        std::memcpy(&raw, &bits, sizeof raw);
        if (std::isfinite(raw)) values.push_back(raw);
        const double decimal = static_cast<double>(static_cast<std::int64_t>(random() % 20000001) - 10000000);
        values.push_back(decimal / std::pow(10.0, static_cast<int>(random() % 30) - 10));
    }
    for (double value : values) {
        ASSERT_EQ(NumberText(value), ReferenceNumberText(value)) << std::hexfloat << value;
    }
}

TEST(JsonWriter, NonFiniteNumbersWriteAsNull) {
    Json list;
    list.Append(Json(std::numeric_limits<double>::infinity()));
    list.Append(Json(-std::numeric_limits<double>::infinity()));
    list.Append(Json(std::nan("")));
    EXPECT_EQ(list.ToText(), "[null,null,null]");
    EXPECT_TRUE(Json::Parse(list.ToText()).IsValid());
}

TEST(JsonWriter, EscapesOnlyTheTableCharacters) {
    EXPECT_EQ(Json("say \"hi\"").ToText(), R"("say \"hi\"")");
    EXPECT_EQ(Json("\b\f\n\r\t").ToText(), R"("\b\f\n\r\t")");
    EXPECT_EQ(Json("a\0b"s).ToText(), "\"a\\\0b\""s);
    // The backslash, other control bytes, DEL and bytes from 0x80 up pass unchanged.
    EXPECT_EQ(Json(R"(C:\dir\x)").ToText(), R"("C:\dir\x")");
    EXPECT_EQ(Json("\x01\x1f\x7f/").ToText(), "\"\x01\x1f\x7f/\"");
    EXPECT_EQ(Json("\xc3\xa9\xff").ToText(), "\"\xc3\xa9\xff\"");
    Json object;
    object["na\"me\n"] = Json(1);
    EXPECT_EQ(object.ToText(), R"({"na\"me\n":1})");
}

TEST(JsonReader, Scalars) {
    EXPECT_EQ(Json::Parse("null").Type(), kJsonNull);
    EXPECT_TRUE(Json::Parse("true").AsBool());
    EXPECT_EQ(Json::Parse("false").Type(), kJsonBool);
    EXPECT_FALSE(Json::Parse("false").AsBool());
    EXPECT_EQ(Json::Parse("42").AsInt(), 42);
    EXPECT_EQ(Json::Parse(R"("text")").AsString(), "text");
    EXPECT_EQ(Json::Parse(" \t\r\n 7").AsInt(), 7);
}

TEST(JsonReader, NothingReadableIsInvalid) {
    for (const char* text :
         {"", " ", " \n\t\r ", "]", "}", ",", ":", "+1", "Null", "TRUE", "x", ".5", "'a'"}) {
        EXPECT_FALSE(Json::Parse(text).IsValid()) << '[' << text << ']';
    }
}

TEST(JsonReader, BytesBetweenTokensThatAreNotGraphicAreSkipped) {
    EXPECT_EQ(Json::Parse("\x01\x7f\x80\xff[1,\x00\xc3\xa9 2]"s).ToText(), "[1,2]");
    EXPECT_EQ(Json::Parse("{\x02\"a\"\x1f:\x90 1\x7f}").ToText(), R"({"a":1})");
}

TEST(JsonReader, Literals) {
    EXPECT_FALSE(Json::Parse("nul").IsValid());
    EXPECT_FALSE(Json::Parse("tru").IsValid());
    EXPECT_FALSE(Json::Parse("fals").IsValid());
    EXPECT_FALSE(Json::Parse("nUll").IsValid());
    // Trailing characters after a complete value are ignored...
    EXPECT_EQ(Json::Parse("nullify").Type(), kJsonNull);
    EXPECT_TRUE(Json::Parse("trueish").AsBool());
    // ...but inside a container they must be a separator or the closing bracket.
    EXPECT_FALSE(Json::Parse("[nullx]").IsValid());
    EXPECT_FALSE(Json::Parse("[truex,1]").IsValid());
    // A line feed ends a literal early.
    EXPECT_FALSE(Json::Parse("nu\nll").IsValid());
    EXPECT_FALSE(Json::Parse("[tr\nue]").IsValid());
    EXPECT_EQ(Json::Parse("[null\n,true\n]").ToText(), "[null,true]");
}

TEST(JsonReader, StringEscapes) {
    EXPECT_EQ(Json::Parse(R"("\b\f\n\r\t\"")").AsString(), "\b\f\n\r\t\"");
    EXPECT_EQ(Json::Parse("\"a\\\0b\""s).AsString(), "a\0b"s);
    // A backslash before anything else stands for itself.
    EXPECT_EQ(Json::Parse(R"("a\/b")").AsString(), R"(a\/b)");
    EXPECT_EQ(Json::Parse(R"("\u0041")").AsString(), R"(\u0041)");
    EXPECT_EQ(Json::Parse(R"("\x")").AsString(), R"(\x)");
    // Of two backslashes the second starts an escape of its own.
    EXPECT_EQ(Json::Parse(R"("\\n")").AsString(), "\\\n");
    EXPECT_EQ(Json::Parse(R"("\\")").AsString(), "\\\"");
    // The writer's text reads back through the same table.
    EXPECT_EQ(Json::Parse(Json(R"(\n)").ToText()).AsString(), "\n");
    const std::string all = "\"\b\f\n\r\t\0 \\x \xff"s;
    EXPECT_EQ(Json::Parse(Json(all).ToText()).AsString(), all);
    // Raw control bytes and bytes from 0x80 up inside a string are kept.
    EXPECT_EQ(Json::Parse("\"\x01\n\x7f\xc3\xa9\"").AsString(), "\x01\n\x7f\xc3\xa9");
}

TEST(JsonReader, LongStringsWithEscapesAnywhereReadBack) {
    // Quotes and escapes early, late and in runs, in strings next to each other, so that no string's
    // search runs into its neighbour's quotes.
    const std::string pieces[] = {"plain text ", "\"", "\n", "\t\"\"", "x", std::string(300, 'k'), "\0"s};
    std::uint32_t seed = 7;
    Json array;
    std::vector<std::string> texts;
    for (int n = 0; n < 20; ++n) {
        std::string text;
        for (int i = 0; i < n * 20; ++i) {
            seed = seed * 1103515245u + 12345u;
            text += pieces[(seed >> 8) % std::size(pieces)];
        }
        texts.push_back(text);
        array.Append(Json(text));
    }
    const Json back = Json::Parse(array.ToText());
    ASSERT_EQ(back.Size(), 20);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(back.At(i).AsString(), texts[static_cast<std::size_t>(i)]) << i;
        EXPECT_EQ(back.At(i).AsStringView(), texts[static_cast<std::size_t>(i)]) << i;
    }
    // Other kinds have no text to view.
    EXPECT_TRUE(Json(5).AsStringView().empty());
    EXPECT_TRUE(Json().AsStringView().empty());
    EXPECT_TRUE(Json::Invalid().AsStringView().empty());
}

TEST(JsonReader, UnterminatedStrings) {
    EXPECT_EQ(Json::Parse(R"("open)").AsString(), "open");
    EXPECT_EQ(Json::Parse(R"("open\)").AsString(), "open\\");
    EXPECT_EQ(Json::Parse(R"("open\")").AsString(), "open\"");
    EXPECT_EQ(Json::Parse(R"(")").AsString(), "");
    EXPECT_EQ(Json::Parse(R"(")").Type(), kJsonString);
    // Inside a container the missing end makes the container unreadable.
    EXPECT_FALSE(Json::Parse(R"(["open)").IsValid());
    EXPECT_FALSE(Json::Parse(R"({"name)").IsValid());
    EXPECT_FALSE(Json::Parse(R"({"a":"b)").IsValid());
}

TEST(JsonReader, Numbers) {
    struct Case {
        const char* text;
        double value;
    };
    const Case cases[] = {{"0", 0},         {"-5", -5},
                          {"007", 7},       {"1.", 1},
                          {"-.5", -0.5},    {"2.5e3", 2500},
                          {"2.5E+3", 2500}, {"25e-1", 2.5},
                          {"1.e2", 100},    {"1.5.3", 1.5},
                          {"1e5.3", 1e5},   {"0x10", 0},
                          {"1e-999", 0},    {"123456789012345678901234567890", 1.2345678901234568e29},
                          {"3abc", 3},      {"4-", 4}};
    for (const Case& c : cases) {
        const Json value = Json::Parse(c.text);
        ASSERT_EQ(value.Type(), kJsonNumber) << c.text;
        EXPECT_EQ(value.AsDouble(), c.value) << c.text;
    }
    EXPECT_TRUE(std::signbit(Json::Parse("-0").AsDouble()));
    EXPECT_TRUE(std::signbit(Json::Parse("-1e-999").AsDouble()));
    EXPECT_EQ(Json::Parse("4.9406564584124654e-324").AsDouble(), std::numeric_limits<double>::denorm_min());
    for (const char* text : {"-", "--1", "-.", "-x", "1e", "1e+", "1ex", "1E-", "1e+-5", "1e999", "-1e999",
                             "2e308", "0.0001e313"}) {
        EXPECT_FALSE(Json::Parse(text).IsValid()) << text;
    }
    EXPECT_EQ(Json::Parse("[1,-2.5,3e2]").ToText(), "[1,-2.5,300]");
    EXPECT_FALSE(Json::Parse("[1e999]").IsValid());
    EXPECT_FALSE(Json::Parse("[1.5.3]").IsValid());
}

// The reader takes numbers as a formatted stream extraction of a double would: same value, same failure,
// and the same place where it stops.
TEST(JsonReader, NumbersMatchStreamExtraction) {
    const char* texts[] = {"0",
                           "12",
                           "-3.25",
                           "1.",
                           "-.5",
                           "1e5",
                           "1E-5",
                           "1e+5",
                           "00012.50",
                           "1.5.3",
                           "1e5.3",
                           "1e5e3",
                           "7x",
                           "1e",
                           "1e+",
                           "-",
                           "-.",
                           "1e999",
                           "1e-999",
                           "0.1e1",
                           "9e-324",
                           "2e-308",
                           "1.7976931348623157e308",
                           "5-3",
                           "-0.0e0",
                           "1ee5",
                           "12.34E2",
                           "0.00001",
                           "1e0010",
                           "18446744073709551617"};
    for (const char* text : texts) {
        std::istringstream stream(text);
        double expected = 0.0;
        stream >> expected;
        const bool streamFailed = stream.fail();
        stream.clear();
        const std::streamoff stop = stream.tellg();

        const Json read = Json::Parse(text);
        EXPECT_EQ(read.IsValid(), !streamFailed) << text;
        if (streamFailed) continue;
        EXPECT_EQ(read.AsDouble(), expected) << text;
        // What follows the number must be left for the next token: an array with a closing bracket
        // right after the number reads only when the number took exactly the stream's characters.
        const std::string inArray = "[" + std::string(text, static_cast<std::size_t>(stop)) + "]";
        EXPECT_EQ(Json::Parse(inArray).Size(), 1) << inArray;
        if (static_cast<std::size_t>(stop) < std::char_traits<char>::length(text)) {
            EXPECT_FALSE(Json::Parse("[" + std::string(text) + "]").IsValid()) << text;
        }
    }
}

TEST(JsonReader, Arrays) {
    EXPECT_EQ(Json::Parse("[]").Type(), kJsonNull);
    EXPECT_EQ(Json::Parse("[ \n ]").Type(), kJsonNull);
    EXPECT_EQ(Json::Parse("[1,2]").Size(), 2);
    EXPECT_EQ(Json::Parse(" [ 1 , \"two\" , [ 3 ] , { \"k\" : null } ] ").ToText(),
              R"([1,"two",[3],{"k":null}])");
    EXPECT_EQ(Json::Parse("[[],{}]").ToText(), "[null,null]");
    for (const char* text : {"[1,]", "[1 2]", "[a]", "[,1]", "[1", "[1,", "[", "[1}", "[1:2]"}) {
        EXPECT_FALSE(Json::Parse(text).IsValid()) << text;
    }
}

TEST(JsonReader, Objects) {
    EXPECT_EQ(Json::Parse("{}").Type(), kJsonNull);
    EXPECT_EQ(Json::Parse("{ }").Type(), kJsonNull);
    const Json object = Json::Parse(R"({"a":1,"b":{"c":[true,false]}})");
    EXPECT_EQ(object.Type(), kJsonObject);
    EXPECT_EQ(object.At("b").At("c").At(1).Type(), kJsonBool);
    EXPECT_EQ(Json::Parse(R"({"a":1,"b":2,"a":3})").ToText(), R"({"a":3,"b":2})");
    EXPECT_EQ(Json::Parse(R"({"a":{},"b":[]})").ToText(), R"({"a":null,"b":null})");
    EXPECT_EQ(Json::Parse(R"({"":1})").At("").AsInt(), 1);
    EXPECT_EQ(Json::Parse(R"({"\n\"":1})").HasMember("\n\""), true);
    for (const char* text : {R"({"a":1,})", R"({"a" 1})", R"({a:1})", R"({"a":})", R"({"a":1 "b":2})",
                             R"({"a":1)", R"({"a")", "{", R"({"a":1])", R"({,"a":1})", R"({"a":1,,"b":2})"}) {
        EXPECT_FALSE(Json::Parse(text).IsValid()) << text;
    }
}

TEST(JsonReader, TrailingTextIsIgnored) {
    EXPECT_EQ(Json::Parse("[1] trailing ]]").ToText(), "[1]");
    EXPECT_EQ(Json::Parse(R"({"a":1}{"b":2})").ToText(), R"({"a":1})");
    EXPECT_EQ(Json::Parse("\"a\"\"b\"").AsString(), "a");
    EXPECT_EQ(Json::Parse("12 34").AsInt(), 12);
}

TEST(JsonReader, NestingDepthIsLimited) {
    const auto nested = [](int depth) { return std::string(depth, '[') + "1" + std::string(depth, ']'); };
    const Json deepest = Json::Parse(nested(Json::kMaxDepth));
    ASSERT_TRUE(deepest.IsValid());
    const Json* inner = &deepest;
    for (int level = 0; level < Json::kMaxDepth; ++level) inner = &inner->At(0);
    EXPECT_EQ(inner->AsInt(), 1);
    EXPECT_FALSE(Json::Parse(nested(Json::kMaxDepth + 1)).IsValid());

    EXPECT_FALSE(Json::Parse(std::string(100000, '[')).IsValid());
    std::string objects;
    for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
    EXPECT_FALSE(Json::Parse(objects).IsValid());
    std::string mixed;
    for (int i = 0; i < 50000; ++i) mixed += "[{\"k\":";
    EXPECT_FALSE(Json::Parse(mixed).IsValid());
}

TEST(JsonText, RoundTrips) {
    const char* texts[] = {
        R"({"method":"VeltariGetDeviceInfo","params":{"deviceIndex":2}})",
        R"({"result":true,"errorCode":0,"list":[{"id":1,"x":12.5,"y":-3},{"id":2,"x":1e+06,"y":0}]})",
        R"(["a\"b","c\nd","\\x",null,false,[1,[2,[3]]]])",
        R"("plain")",
        "0.30000000000000004",
    };
    for (const char* text : texts) {
        EXPECT_EQ(Rewrite(text), text);
    }
    // Texts that change once settle after one pass.
    EXPECT_EQ(Rewrite(" [ 1.50 , {} , [] ] "), "[1.5,null,null]");
    EXPECT_EQ(Rewrite("1000000.0"), "1e+06");
    EXPECT_EQ(Rewrite(R"({"b":1,"a":2,"b":3})"), R"({"b":3,"a":2})");
    // A final backslash has no text of its own: written bare, it escapes the closing quote.
    EXPECT_EQ(Json(R"(dir\)").ToText(), R"("dir\")");
    EXPECT_EQ(Rewrite(R"("dir\")"), R"("dir\"")");
    EXPECT_EQ(Rewrite(R"("dir\"")"), R"("dir\"")");

    // A value built in code, written, read and compared member by member.
    Json built;
    built["name"] = Json("K\xc3\xa4ppi\t\"1\"");
    built["count"] = Json(-17);
    built["ratio"] = Json(0.125);
    built["flags"].Append(Json(true));
    built["flags"].Append(Json(false));
    built["none"] = Json();
    const Json back = Json::Parse(built.ToText());
    EXPECT_EQ(back.At("name").AsString(), built.At("name").AsString());
    EXPECT_EQ(back.At("count").AsInt(), -17);
    EXPECT_EQ(back.At("ratio").AsDouble(), 0.125);
    EXPECT_EQ(back.At("flags").Size(), 2);
    EXPECT_TRUE(back.At("flags").At(0).AsBool());
    EXPECT_EQ(back.At("none").Type(), kJsonNull);
    EXPECT_EQ(back.ToText(), built.ToText());
}

TEST(JsonReader, NumbersReadCorrectlyRounded) {
    // Digit counts and exponents on both sides of the short path's limits, against the C library.
    std::mt19937_64 random(20261209);
    for (int i = 0; i < 200000; ++i) {
        std::string text = random() % 2 ? "-" : "";
        const int digits = 1 + static_cast<int>(random() % 20);
        for (int d = 0; d < digits; ++d) text.push_back(static_cast<char>('0' + random() % 10));
        if (random() % 2) text.insert(text.size() - random() % digits, ".");
        if (random() % 2) text += "e" + std::to_string(static_cast<int>(random() % 60) - 30);
        if (text.back() == '.' || text.front() == '.' || text.rfind("-.", 0) == 0) continue;
        const Json value = Json::Parse(text);
        ASSERT_EQ(value.Type(), kJsonNumber) << text;
        ASSERT_EQ(value.AsDouble(), std::strtod(text.c_str(), nullptr)) << text;
    }
}

TEST(JsonStreamWriter, WritesWhatTheValueWriterWrites) {
    std::string text = "prefix:";
    JsonWriter writer(text);
    writer.BeginObject();
    writer.Name("method");
    writer.String("Say \"hi\"\n");
    writer.Name("params");
    writer.BeginObject();
    writer.Name("numbers");
    writer.BeginArray();
    for (int n : {0, -5, 999999, 1000000, 1234567}) writer.Number(n);
    for (double d : {0.5, -0.0, 1e-5, 0.1 + 0.2}) writer.Number(d);
    writer.EndArray();
    writer.Name("empty");
    writer.BeginArray();
    writer.EndArray();
    writer.Name("flags");
    writer.BeginArray();
    writer.Bool(true);
    writer.Null();
    writer.String("tab\tafter a comma");
    writer.BeginObject();
    writer.EndObject();
    writer.EndArray();
    writer.Name(std::string(60, 'n'));  // longer than any name written in one piece
    writer.String("plain");
    writer.Name("list");
    writer.BeginString().append("1,2,3,4#5,6,7,8");
    writer.EndString();
    writer.EndObject();
    writer.EndObject();

    Json numbers;
    for (int n : {0, -5, 999999, 1000000, 1234567}) numbers.Append(Json(n));
    for (double d : {0.5, -0.0, 1e-5, 0.1 + 0.2}) numbers.Append(Json(d));
    Json params;
    params["numbers"] = std::move(numbers);
    params["empty"] = Json();
    params["flags"].Append(Json(true));
    params["flags"].Append(Json());
    params["flags"].Append(Json("tab\tafter a comma"));
    params["flags"].Append(Json());
    params[std::string(60, 'n')] = Json("plain");
    params["list"] = Json("1,2,3,4#5,6,7,8");
    Json request;
    request["method"] = Json("Say \"hi\"\n");
    request["params"] = std::move(params);
    // Empty containers read back as null, so the value holds null where the writer wrote [] and {}.
    std::string expected = request.ToText();
    expected.replace(expected.find("\"empty\":null"), 12, "\"empty\":[]");
    expected.replace(expected.find("null]"), 5, "{}]");
    EXPECT_EQ(text, "prefix:" + expected);
    EXPECT_EQ(Json::Parse(text.substr(7)).ToText(), request.ToText());
}

}  // namespace
}  // namespace sdk
