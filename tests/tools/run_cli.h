// Runs veltari-cli in-process and keeps what it printed.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace cli::test {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

inline Outcome RunCli(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = Run(args, out, err);
    return {status, out.str(), err.str()};
}

// A message that says what went wrong in words, not just a code.
inline void ExpectWords(const std::string& err) {
    EXPECT_THAT(err, ::testing::StartsWith("veltari-cli: "));
    EXPECT_FALSE(std::regex_search(err, std::regex(R"(^veltari-cli: *-?[0-9]+\s*$)"))) << err;
    EXPECT_GT(err.size(), 30u) << err;
}

}  // namespace cli::test
