// Reads arbitrary bytes as JSON, writes what was read, reads and writes again: the two texts must be
// equal. The one exception is a top-level string left unterminated whose text ends in a backslash: no
// text can express it (written bare, that backslash escapes the closing quote), so it settles one pass
// later. Along the way every accessor is exercised on the tree, which must stay consistent.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/json.h"

namespace {

void Require(bool condition, const char* what, const std::string& detail) {
    if (condition) return;
    std::fprintf(stderr, "broken property: %s\n%s\n", what, detail.c_str());
    std::abort();
}

bool EndsInBackslash(const sdk::Json& value) {
    if (value.Type() != sdk::kJsonString) return false;
    const std::string text = value.AsString();
    return !text.empty() && text.back() == '\\';
}

// Walks the tree through the read-only accessors and checks that sizes, kinds and copies agree.
int Walk(const sdk::Json& value, int depth) {
    Require(depth <= sdk::Json::kMaxDepth + 1, "tree deeper than the reader's limit", "");
    const int type = value.Type();
    Require(type >= sdk::kJsonInvalid && type <= sdk::kJsonObject, "unknown kind", std::to_string(type));
    Require(value.IsValid() == (type != sdk::kJsonInvalid), "IsValid disagrees with the kind", "");
    if (type == sdk::kJsonArray) {
        const int size = value.Size();
        Require(size > 0, "an array read from text is never empty", std::to_string(size));
        int nodes = 1;
        for (int i = 0; i < size; ++i) nodes += Walk(value.At(i), depth + 1);
        Require(!value.At(size).IsValid(), "element past the end is valid", "");
        return nodes;
    }
    if (type == sdk::kJsonObject) {
        const int count = value.MemberCount();
        Require(count > 0, "an object read from text is never empty", "");
        int nodes = 1;
        for (int i = 0; i < count; ++i) {
            // Of names read twice the later wins in place, so every name is found, and found at its entry.
            const std::string name(value.MemberName(i));
            Require(value.HasMember(name), "member not found by name", name);
            Require(&value.At(name) == &value.MemberValue(i), "name finds another entry", name);
            nodes += Walk(value.MemberValue(i), depth + 1);
        }
        return nodes;
    }
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const sdk::Json first = sdk::Json::Parse(input);
    Walk(first, 0);

    const std::string once = first.ToText();
    Require(first.IsValid() || once.empty(), "the invalid value writes as something", once);
    const sdk::Json second = sdk::Json::Parse(once);
    Require(first.IsValid() == second.IsValid(), "validity changed on reading back", once);
    const std::string twice = second.ToText();

    if (EndsInBackslash(first)) {
        const std::string thrice = sdk::Json::Parse(twice).ToText();
        Require(thrice == twice, "text did not settle after one more pass", twice + "\n" + thrice);
        return 0;
    }
    Require(twice == once, "parse-write-parse-write differs", once + "\n" + twice);

    // A copy is deep and writes the same text.
    const sdk::Json copy = second;
    Require(copy.ToText() == twice, "copy writes differently", twice);
    return 0;
}
