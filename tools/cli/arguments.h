// The command line of veltari-cli, read into a plain description of what to do. Nothing here talks to the
// server, so every mistake in the words typed is caught before a connection is made.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/colors.h"

namespace cli {

enum class Command { Help, Version, Info, Devices, Positions, Key, Set, Get, Control, Priority, Property, Watch };

// An LED as typed: a number is an LED id, a single letter is the letter key of the keyboard.
struct LedRef {
    int ledId = -1;
    char keyName = 0;
};

struct LedAssignment {
    LedRef led;
    Rgb color;
};

enum class ControlAction { Request, Release };

struct Invocation {
    Command command = Command::Help;
    std::string helpTopic;  // for help: the command asked about, empty for the overview

    std::optional<int> device;  // --device N
    bool allDevices = false;    // --all
    bool requestControl = false;  // set: --control
    std::optional<int> priority;  // set: --priority; priority: the argument
    bool hold = false;            // --hold: keep the connection open afterwards
    double holdSeconds = 0;       // with hold: how long; 0 waits for Ctrl-C

    std::vector<LedAssignment> assignments;  // set LED=COLOUR ...
    std::optional<Rgb> fill;                 // set COLOUR with --device or --all
    std::vector<LedRef> leds;                // get LED ..., key LETTER ...
    ControlAction action = ControlAction::Request;
    int propertyId = 0;       // property DEVICE ID
    int count = 0;            // watch --count N, 0 for no limit
    double seconds = 0;       // watch --seconds S, 0 for no limit
};

struct ParseResult {
    std::optional<Invocation> invocation;
    std::string error;  // set when invocation is empty: what is wrong, in words
};

// Reads the arguments after the program name.
ParseResult ParseArguments(const std::vector<std::string>& args);

// Text of `veltari-cli --help` (empty topic) or of `veltari-cli COMMAND --help`; empty for an unknown topic.
std::string HelpText(std::string_view topic);

// The names of all commands, in the order --help lists them.
std::vector<std::string_view> CommandNames();

}  // namespace cli
