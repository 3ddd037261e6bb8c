#include <gtest/gtest.h>

#include "lighting/server_options.h"

namespace sdk {
namespace {

TEST(ServerOptionsTest, DefaultsServeProtocolNineWithoutTrace) {
    const ParsedOptions parsed = ParseServerOptions({});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.identity.protocolVersion, 9);
    EXPECT_FALSE(parsed.options.identity.breakingChanges);
    EXPECT_EQ(parsed.options.view, ViewMode::kAuto);
    EXPECT_TRUE(parsed.options.readStdin);
    EXPECT_FALSE(parsed.options.verbose);
    EXPECT_EQ(parsed.options.devicesFile, "");
}

TEST(ServerOptionsTest, ReadsEveryOptionInBothSpellings) {
    const ParsedOptions parsed =
        ParseServerOptions({"--protocol", "12", "--breaking-changes", "--server-version=2.0-test",
                            "--devices", "my.json", "--runtime-dir=/tmp/x", "--keys", "A B", "--keys-loop",
                            "--key-interval=15", "--no-stdin", "--no-view", "-v"});
    ASSERT_EQ(parsed.error, "");
    const ServerOptions& o = parsed.options;
    EXPECT_EQ(o.identity.protocolVersion, 12);
    EXPECT_TRUE(o.identity.breakingChanges);
    EXPECT_EQ(o.identity.version, "2.0-test");
    EXPECT_EQ(o.devicesFile, "my.json");
    EXPECT_EQ(o.runtimeDir, "/tmp/x");
    EXPECT_EQ(o.keyScript, "A B");
    EXPECT_TRUE(o.loopKeyScript);
    EXPECT_EQ(o.keyIntervalMs, 15);
    EXPECT_FALSE(o.readStdin);
    EXPECT_EQ(o.view, ViewMode::kOff);
    EXPECT_TRUE(o.verbose);
    EXPECT_EQ(ParseServerOptions({"--auto-type", "hello"}).options.autoTypeText, "hello");
    EXPECT_EQ(ParseServerOptions({"--type-text", "hi there"}).options.autoTypeText, "hi there");
    EXPECT_TRUE(ParseServerOptions({"--help"}).options.help);
    EXPECT_TRUE(ParseServerOptions({"--dump-devices"}).options.dumpDevices);
}

TEST(ServerOptionsTest, RefusesWhatItCannotUse) {
    const struct {
        std::vector<std::string> args;
        const char* expected;
    } cases[] = {
        {{"--protocol"}, "needs a value"},
        {{"--protocol", "nine"}, "whole number"},
        {{"--protocol", "-1"}, "whole number"},
        {{"--key-interval", "0"}, "whole number"},
        {{"--frobnicate"}, "unknown option"},
        {{"--verbose=yes"}, "takes no value"},
        {{"--keys-loop"}, "needs --keys"},
        {{"--auto-type="}, "needs a text"},
        {{"--keys", "A", "--keys-loop", "--auto-type", "x"}, "cannot be combined"},
        {{"--breaking-changes"}, "needs --protocol 10 or later"},
        {{"--breaking-changes", "--protocol", "9"}, "needs --protocol 10 or later"},
    };
    for (const auto& c : cases) {
        const ParsedOptions parsed = ParseServerOptions(c.args);
        EXPECT_NE(parsed.error.find(c.expected), std::string::npos) << c.args[0] << " -> " << parsed.error;
    }
}

TEST(ServerOptionsTest, HelpNamesEveryOptionAndErrorCode) {
    const std::string help = ServerHelpText("veltari-server");
    for (const char* word :
         {"--devices", "--dump-devices", "--protocol", "--breaking-changes", "--server-version",
          "--runtime-dir", "--keys", "--keys-loop", "--auto-type", "--key-interval", "--no-stdin", "--view",
          "--no-view", "--verbose", "--version", "--help", "100", "101", "102"}) {
        EXPECT_NE(help.find(word), std::string::npos) << word;
    }
}

}  // namespace
}  // namespace sdk
