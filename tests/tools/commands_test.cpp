// The tool run in-process against no server: every message in words, every exit status as documented.
#include "cli/commands.h"

#include "support/pipe_runtime.h"
#include "tools/run_cli.h"
#include "veltari.h"

namespace cli {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

using test::ExpectWords;
using test::RunCli;
using test::Outcome;

class NoServer : public ::testing::Test {
protected:
    // The process has a pipe runtime folder of its own, so no lighting server on this machine answers.
    void SetUp() override { sdk::test::UsePrivatePipeRuntime(); }
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

    Outcome version = RunCli({"--version"});
    EXPECT_EQ(version.status, kExitOk);
    EXPECT_EQ(version.out,
              "veltari-cli " VELTARI_VERSION_STRING " (Veltari library " VELTARI_VERSION_STRING ")\n");
}

}  // namespace
}  // namespace cli
