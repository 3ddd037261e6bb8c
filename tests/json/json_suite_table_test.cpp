// Holds docs/jsontestsuite.md to the reader: every verdict in its tables is what the reader does, every
// file where the reader parts from a strict parser is listed, and each rule named leaves a mark in the
// file that the rule needs in order to apply. On a mismatch the rows to write are printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "json/json.h"

namespace sdk {
namespace {

namespace fs = std::filesystem;

fs::path SourceRoot() {
    std::error_code error;
    return fs::absolute(fs::path(__FILE__), error).parent_path().parent_path().parent_path();
}

fs::path FindParsingCorpus() {
    if (const char* configured = std::getenv("VELTARI_JSONTESTSUITE"); configured && *configured) {
        return fs::path(configured) / "test_parsing";
    }
    return SourceRoot() / "tests" / "json" / "jsontestsuite" / "test_parsing";
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Row {
    std::string strict;
    std::string ours;
    std::vector<std::string> rules;
};

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Table rows of the page whose first cell names a corpus file: | file | strict | ours | rule, rule |
std::map<std::string, Row> ReadTable(const fs::path& page, std::vector<std::string>& duplicates) {
    std::map<std::string, Row> rows;
    std::istringstream in(ReadFile(page));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("| ", 0) != 0) continue;
        std::vector<std::string> cells;
        std::istringstream cellStream(line.substr(1));
        for (std::string cell; std::getline(cellStream, cell, '|');) cells.push_back(Trim(cell));
        if (cells.size() < 4 || cells[0].size() < 6 || cells[0].substr(cells[0].size() - 5) != ".json")
            continue;
        Row row{cells[1], cells[2], {}};
        std::istringstream ruleStream(cells[3]);
        for (std::string rule; std::getline(ruleStream, rule, ',');) row.rules.push_back(Trim(rule));
        if (!rows.emplace(cells[0], row).second) duplicates.push_back(cells[0]);
    }
    return rows;
}

bool HasByte(const std::string& text, bool (*test)(unsigned char)) {
    return std::any_of(text.begin(), text.end(),
                       [test](char c) { return test(static_cast<unsigned char>(c)); });
}

bool IsJsonSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Whether the file shows what the rule needs in order to make a difference.
bool RuleApplies(const std::string& rule, const std::string& text) {
    const Json value = Json::Parse(text);
    if (rule == "trailing") {
        // The same value is read from a shorter text, and what is cut off is more than white space.
        const std::string written = value.ToText();
        for (std::size_t cut = 1; cut < text.size(); ++cut) {
            const std::string rest = text.substr(cut);
            if (!HasByte(rest, [](unsigned char c) { return !IsJsonSpace(c); })) break;
            const Json prefix = Json::Parse(text.substr(0, cut));
            if (prefix.IsValid() && prefix.ToText() == written) return true;
        }
        return false;
    }
    if (rule == "skip") {
        return HasByte(text, [](unsigned char c) { return !IsJsonSpace(c) && (c < 0x21 || c > 0x7E); });
    }
    if (rule == "empty")
        return value.ToText().find("null") != std::string::npos && text.find("null") == std::string::npos;
    if (rule == "number") return HasByte(text, [](unsigned char c) { return c >= '0' && c <= '9'; });
    if (rule == "range") {
        std::size_t run = 0, longest = 0;
        for (char c : text) longest = std::max(longest, run = (c >= '0' && c <= '9') ? run + 1 : 0);
        return longest > 15 || text.find_first_of("eE") != std::string::npos;
    }
    if (rule == "bytes") {
        // A byte that a strict parser refuses in a string, between the first quote and the last.
        const auto first = text.find('"'), last = text.rfind('"');
        if (first == std::string::npos || last == first) return false;
        return HasByte(text.substr(first + 1, last - first - 1),
                       [](unsigned char c) { return c < 0x20 || c >= 0x7F; });
    }
    if (rule == "backslash") return text.find('\\') != std::string::npos;
    if (rule == "unterminated") return std::count(text.begin(), text.end(), '"') % 2 == 1;
    if (rule == "depth") {
        int depth = 0, deepest = 0;
        for (char c : text) {
            if (c == '[' || c == '{') deepest = std::max(deepest, ++depth);
            if (c == ']' || c == '}') --depth;
        }
        return deepest > Json::kMaxDepth;
    }
    return false;
}

TEST(JsonSuiteTable, PageMatchesTheReader) {
    const fs::path corpus = FindParsingCorpus();
    ASSERT_TRUE(fs::is_directory(corpus)) << "JSON corpus missing: " << corpus;
    const fs::path page = SourceRoot() / "docs" / "jsontestsuite.md";
    ASSERT_TRUE(fs::is_regular_file(page)) << page;

    std::vector<std::string> duplicates;
    const std::map<std::string, Row> rows = ReadTable(page, duplicates);
    EXPECT_TRUE(duplicates.empty()) << "listed twice: " << duplicates.front();

    std::set<std::string> files;
    for (const auto& entry : fs::directory_iterator(corpus)) files.insert(entry.path().filename().string());
    ASSERT_GT(files.size(), 300u);

    std::string missing;
    int acceptedRefusals = 0;
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        const std::string text = ReadFile(corpus / file);
        const std::string ours = Json::Parse(text).IsValid() ? "accept" : "reject";
        const char kind = file[0];
        const std::string strict = kind == 'y' ? "accept" : kind == 'n' ? "reject" : "either";
        const auto row = rows.find(file);
        if (row == rows.end()) {
            if (strict != ours) missing += "| " + file + " | " + strict + " | " + ours + " | ? |\n";
            continue;
        }
        acceptedRefusals += kind == 'n' && ours == "accept" ? 1 : 0;
        EXPECT_EQ(row->second.strict, strict);
        EXPECT_EQ(row->second.ours, ours);
        EXPECT_FALSE(row->second.rules.empty());
        for (const std::string& rule : row->second.rules) {
            EXPECT_TRUE(RuleApplies(rule, text)) << "rule " << rule << " leaves no mark in the file";
        }
    }
    for (const auto& [file, row] : rows) EXPECT_TRUE(files.count(file)) << "no such corpus file: " << file;
    EXPECT_TRUE(missing.empty()) << "rows to add to " << page << ":\n" << missing;
    // Guards against a table that lost its largest section without anyone noticing.
    EXPECT_GT(acceptedRefusals, 40);
}

}  // namespace
}  // namespace sdk
