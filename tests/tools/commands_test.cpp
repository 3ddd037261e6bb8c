// The tool's behaviour when there is nothing to talk to, run in-process: every message in words,
// every exit status as documented.
#include "cli/commands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>

namespace cli {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome RunCli(std::vector<std::string> args) {
    std::ostringstream out, err;
    const int status = Run(args, out, err);
    return {status, out.str(), err.str()};
}

// A message that says what went wrong, not just a code.
void ExpectWords(const std::string& err) {
    EXPECT_THAT(err, StartsWith("veltari-cli: "));
    EXPECT_FALSE(std::regex_search(err, std::regex(R"(^veltari-cli: *-?[0-9]+\s*$)"))) << err;
    EXPECT_GT(err.size(), 30u) << err;
}

class NoServer : public ::testing::Test {
protected:
    // A runtime folder of our own, so that no lighting server on this machine answers.
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("veltari-cli-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
#ifdef _WIN32
        _putenv_s("XDG_RUNTIME_DIR", dir_.string().c_str());
#else
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
#endif
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
};

TEST_F(NoServer, EveryServerCommandSaysTheServerIsNotRunning) {
    const std::vector<std::vector<std::string>> lines = {
        {"info"}, {"devices"}, {"positions", "0"}, {"key", "A"}, {"set", "5=red"}, {"set", "--all", "blue"},
        {"get", "5"}, {"control", "request"}, {"priority", "3"}, {"property", "0", "0x1001"}, {"watch", "-n", "1"},
    };
    for (const auto& line : lines) {
        Outcome outcome = RunCli(line);
        EXPECT_EQ(outcome.status, kExitServerUnreachable) << line[0];
        EXPECT_THAT(outcome.err, HasSubstr("the lighting server is not running")) << line[0];
        ExpectWords(outcome.err);
        EXPECT_THAT(outcome.out, IsEmpty()) << line[0];
    }
}

TEST_F(NoServer, BadArgumentsAreReportedBeforeAnyConnection) {
    // With no server, a reached connection would report exit 3; a bad argument reports 2 first.
    Outcome outcome = RunCli({"set", "5=chartreuse"});
    EXPECT_EQ(outcome.status, kExitUsage);
    EXPECT_THAT(outcome.err, HasSubstr("'chartreuse' is not a colour"));
    ExpectWords(outcome.err);

    outcome = RunCli({"get", "--device", "x"});
    EXPECT_EQ(outcome.status, kExitUsage);
    EXPECT_THAT(outcome.err, HasSubstr("a device is given by its index"));

    outcome = RunCli({});
    EXPECT_EQ(outcome.status, kExitUsage);
    EXPECT_THAT(outcome.err, HasSubstr("no command given"));
    EXPECT_THAT(outcome.out, IsEmpty());
}

TEST(Help, GoesToStandardOutputWithSuccess) {
    Outcome overview = RunCli({"--help"});
    EXPECT_EQ(overview.status, kExitOk);
    EXPECT_THAT(overview.out, HasSubstr("usage: veltari-cli COMMAND"));
    EXPECT_THAT(overview.err, IsEmpty());

    Outcome one = RunCli({"watch", "--help"});
    EXPECT_EQ(one.status, kExitOk);
    EXPECT_THAT(one.out, HasSubstr("usage: veltari-cli watch"));

    Outcome topic = RunCli({"help", "set"});
    EXPECT_EQ(topic.status, kExitOk);
    EXPECT_THAT(topic.out, HasSubstr("LED=COLOUR"));
}

}  // namespace
}  // namespace cli
