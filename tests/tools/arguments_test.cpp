#include "cli/arguments.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::HasSubstr;

namespace cli {
namespace {

Invocation Parse(std::vector<std::string> args) {
    ParseResult result = ParseArguments(args);
    EXPECT_TRUE(result.invocation.has_value()) << result.error;
    return result.invocation.value_or(Invocation{});
}

std::string ErrorOf(std::vector<std::string> args) {
    ParseResult result = ParseArguments(args);
    EXPECT_FALSE(result.invocation.has_value());
    return result.error;
}

TEST(Arguments, SetOneLedAndAList) {
    Invocation one = Parse({"set", "38=red"});
    EXPECT_EQ(one.command, Command::Set);
    ASSERT_EQ(one.assignments.size(), 1u);
    EXPECT_EQ(one.assignments[0].led.ledId, 38);
    EXPECT_EQ(one.assignments[0].color, (Rgb{255, 0, 0}));
    EXPECT_FALSE(one.device.has_value());

    Invocation list = Parse({"set", "0=#010203", "A=blue", "911=white"});
    ASSERT_EQ(list.assignments.size(), 3u);
    EXPECT_EQ(list.assignments[0].led.ledId, 0);
    EXPECT_EQ(list.assignments[0].color, (Rgb{1, 2, 3}));
    EXPECT_EQ(list.assignments[1].led.keyName, 'A');
    EXPECT_EQ(list.assignments[1].led.ledId, -1);
    EXPECT_EQ(list.assignments[2].led.ledId, 911);
}

TEST(Arguments, SetWholeDeviceOrEveryDevice) {
    Invocation device = Parse({"set", "--device", "2", "orange"});
    EXPECT_EQ(device.device, 2);
    EXPECT_EQ(device.fill, (Rgb{255, 128, 0}));
    EXPECT_TRUE(device.assignments.empty());

    Invocation inline_device = Parse({"set", "-d=3", "#00FF00"});
    EXPECT_EQ(inline_device.device, 3);

    Invocation all = Parse({"set", "--all", "off", "--control", "--priority", "7", "--hold=1.5"});
    EXPECT_TRUE(all.allDevices);
    EXPECT_EQ(all.fill, (Rgb{0, 0, 0}));
    EXPECT_TRUE(all.requestControl);
    EXPECT_EQ(all.priority, 7);
    EXPECT_TRUE(all.hold);
    EXPECT_DOUBLE_EQ(all.holdSeconds, 1.5);

    Invocation list_on_device = Parse({"set", "--device", "1", "5=red", "6=blue"});
    EXPECT_EQ(list_on_device.device, 1);
    EXPECT_EQ(list_on_device.assignments.size(), 2u);
}

TEST(Arguments, SetMistakesAreExplained) {
    EXPECT_THAT(ErrorOf({"set", "912=red"}), HasSubstr("LED ids run from 0 to 911"));
    EXPECT_THAT(ErrorOf({"set", "-1=red"}), HasSubstr("LED ids run from 0 to 911"));
    EXPECT_THAT(ErrorOf({"set", "AB=red"}), HasSubstr("'AB' is not an LED"));
    EXPECT_THAT(ErrorOf({"set", "5=redd"}), HasSubstr("'redd' is not a colour"));
    EXPECT_THAT(ErrorOf({"set", "5=#12345"}), HasSubstr("not a colour"));
    EXPECT_THAT(ErrorOf({"set", "red"}), HasSubstr("say which LEDs"));
    EXPECT_THAT(ErrorOf({"set"}), HasSubstr("needs LED=COLOUR"));
    EXPECT_THAT(ErrorOf({"set", "--all", "5=red"}), HasSubstr("--all takes a single COLOUR"));
    EXPECT_THAT(ErrorOf({"set", "--all", "--device", "1", "red"}), HasSubstr("either --device or --all"));
    EXPECT_THAT(ErrorOf({"set", "--device", "-1", "red"}), HasSubstr("device is given by its index"));
    EXPECT_THAT(ErrorOf({"set", "--device", "one", "red"}), HasSubstr("not 'one'"));
    EXPECT_THAT(ErrorOf({"set", "--device"}), HasSubstr("--device needs a value"));
    EXPECT_THAT(ErrorOf({"set", "--device", "1", "-d", "2", "red"}), HasSubstr("more than one device"));
    EXPECT_THAT(ErrorOf({"set", "--priority", "256", "5=red"}), HasSubstr("from 0 to 255"));
    EXPECT_THAT(ErrorOf({"set", "--hold=soon", "5=red"}), HasSubstr("number of seconds"));
    EXPECT_THAT(ErrorOf({"set", "--control=yes", "5=red"}), HasSubstr("takes no value"));
    EXPECT_THAT(ErrorOf({"set", "--count", "3", "5=red"}), HasSubstr("not an option of 'set'"));
    EXPECT_THAT(ErrorOf({"set", "5", "red"}), HasSubstr("'5' is not LED=COLOUR"));
    EXPECT_THAT(ErrorOf({"set", "W"}),
                HasSubstr("'W' is not LED=COLOUR: give the colour after '=' (for example W=red)"));
    EXPECT_THAT(ErrorOf({"set", "--hold=0", "5=red"}), HasSubstr("above 0"));
}

TEST(Arguments, OtherCommands) {
    EXPECT_EQ(Parse({"info"}).command, Command::Info);
    EXPECT_EQ(Parse({"devices"}).command, Command::Devices);

    EXPECT_FALSE(Parse({"positions"}).device.has_value());
    EXPECT_EQ(Parse({"positions", "3"}).device, 3);
    EXPECT_EQ(Parse({"positions", "--device", "4"}).device, 4);

    Invocation keys = Parse({"key", "a", "Z"});
    ASSERT_EQ(keys.leds.size(), 2u);
    EXPECT_EQ(keys.leds[0].keyName, 'a');
    EXPECT_EQ(keys.leds[1].keyName, 'Z');

    Invocation get = Parse({"get", "--device", "0", "12", "Q"});
    EXPECT_EQ(get.device, 0);
    ASSERT_EQ(get.leds.size(), 2u);
    EXPECT_EQ(get.leds[0].ledId, 12);
    EXPECT_EQ(get.leds[1].keyName, 'Q');
    EXPECT_TRUE(Parse({"get"}).leds.empty());

    EXPECT_EQ(Parse({"control", "request"}).action, ControlAction::Request);
    Invocation release = Parse({"control", "release", "--hold"});
    EXPECT_EQ(release.action, ControlAction::Release);
    EXPECT_TRUE(release.hold);
    EXPECT_EQ(release.holdSeconds, 0);

    EXPECT_EQ(Parse({"priority", "255"}).priority, 255);
    EXPECT_EQ(Parse({"priority", "0"}).priority, 0);

    Invocation property = Parse({"property", "1", "0x2001"});
    EXPECT_EQ(property.device, 1);
    EXPECT_EQ(property.propertyId, 0x2001);
    EXPECT_EQ(Parse({"property", "0", "4097"}).propertyId, 0x1001);

    Invocation watch = Parse({"watch", "-n", "5", "--seconds", "2.5"});
    EXPECT_EQ(watch.count, 5);
    EXPECT_DOUBLE_EQ(watch.seconds, 2.5);
}

TEST(Arguments, OtherMistakesAreExplained) {
    EXPECT_THAT(ErrorOf({}), HasSubstr("no command given"));
    EXPECT_THAT(ErrorOf({"paint"}), HasSubstr("there is no command 'paint'"));
    EXPECT_THAT(ErrorOf({"--device", "1"}), HasSubstr("a command comes first"));
    EXPECT_THAT(ErrorOf({"positions", "1", "2"}), HasSubstr("does not take '2'"));
    EXPECT_THAT(ErrorOf({"key"}), HasSubstr("needs at least one letter key"));
    EXPECT_THAT(ErrorOf({"key", "7"}), HasSubstr("not a letter key"));
    EXPECT_THAT(ErrorOf({"get", "1000"}), HasSubstr("LED ids run from 0 to 911"));
    EXPECT_THAT(ErrorOf({"control"}), HasSubstr("'request' or 'release'"));
    EXPECT_THAT(ErrorOf({"control", "take"}), HasSubstr("not 'take'"));
    EXPECT_THAT(ErrorOf({"priority", "-1"}), HasSubstr("from 0 to 255"));
    EXPECT_THAT(ErrorOf({"priority", "high"}), HasSubstr("from 0 to 255"));
    EXPECT_THAT(ErrorOf({"property", "0", "5"}), HasSubstr("neither the boolean flag"));
    EXPECT_THAT(ErrorOf({"property", "0", "x"}), HasSubstr("not a property identifier"));
    EXPECT_THAT(ErrorOf({"property", "0"}), HasSubstr("a device index and a property identifier"));
    EXPECT_THAT(ErrorOf({"watch", "--count", "0"}), HasSubstr("1 or more"));
    EXPECT_THAT(ErrorOf({"watch", "--seconds", "-2"}), HasSubstr("positive number"));
    EXPECT_THAT(ErrorOf({"devices", "--all"}), HasSubstr("not an option of 'devices'"));
    EXPECT_THAT(ErrorOf({"help", "paint"}), HasSubstr("no command 'paint'"));
}

TEST(Arguments, HelpForEveryCommand) {
    EXPECT_EQ(Parse({"--help"}).command, Command::Help);
    EXPECT_TRUE(Parse({"-h"}).helpTopic.empty());
    EXPECT_EQ(Parse({"help", "set"}).helpTopic, "set");
    for (std::string_view name : CommandNames()) {
        std::string command(name);
        // --help wins over anything else on the line, even over words that would not parse.
        EXPECT_EQ(Parse({command, "--bogus", "--help"}).helpTopic, command);
        Invocation help = Parse({command, "--help"});
        EXPECT_EQ(help.command, Command::Help);
        EXPECT_EQ(help.helpTopic, command);
        const std::string text = HelpText(command);
        EXPECT_THAT(text, HasSubstr("usage: veltari-cli " + command)) << command;
    }
    const std::string overview = HelpText("");
    for (std::string_view name : CommandNames()) EXPECT_THAT(overview, HasSubstr("  " + std::string(name)));
    EXPECT_THAT(overview, HasSubstr("Exit status"));
    EXPECT_THAT(overview, HasSubstr("warmwhite"));
    EXPECT_TRUE(HelpText("paint").empty());
}

}  // namespace
}  // namespace cli
