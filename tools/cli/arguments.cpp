#include "cli/arguments.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace cli {
namespace {

constexpr int kMaxLedId = 911;

struct CommandShape {
    std::string_view name;
    Command command;
    std::string_view usage;
    std::string_view summary;
    std::string_view details;
};

const std::vector<CommandShape>& Shapes() {
    static const std::vector<CommandShape> shapes = {
        {"info", Command::Info, "info", "show the library and server versions and protocols",
         "Performs the protocol handshake and prints what both sides said: versions, protocol numbers and\n"
         "whether the server declares its protocol incompatible. Use it to check that a server is running.\n"},
        {"devices", Command::Devices, "devices", "list the devices with their details and properties",
         "Prints every device: index, type, model, LED count, layouts, capability mask, lighting channels\n"
         "with their attached devices, and the properties the server answers for it.\n"},
        {"positions", Command::Positions, "positions [DEVICE]", "show where the LEDs of a device sit",
         "Prints LED id, top, left, height and width (the server's units; the reference server uses\n"
         "millimetres) of every LED of DEVICE. Without DEVICE, prints the list the server gives for a\n"
         "request without a device (the reference server lists every device's, placed on one desk).\n"},
        {"key", Command::Key, "key LETTER...", "show the LED id of letter keys",
         "Asks the server which LED belongs to each letter key (A to Z; case is passed on as typed).\n"},
        {"set", Command::Set, "set [OPTIONS] LED=COLOUR... | set (--device N | --all) [OPTIONS] COLOUR",
         "set LED colours: one LED, a list, a whole device or every device",
         "LED is an LED id (0 to 911; the reference server's run from 1) or a letter key (A to Z). COLOUR\n"
         "is a name or #RRGGBB (#RGB too).\n"
         "With --device N the LEDs are those of device N; with --device N or --all a single COLOUR sets\n"
         "every LED of the device, or of every device.\n"
         "A server may show an application's colours only while it stays connected (the reference server\n"
         "does): add --hold to keep them on.\n"
         "\n"
         "Options:\n"
         "  -d, --device N     the LEDs belong to device N (sent through the colour buffer)\n"
         "  -a, --all          a single COLOUR for every LED of every device\n"
         "  -c, --control      request exclusive control of the lighting first\n"
         "  -p, --priority P   set this application's layer priority (0 to 255) first\n"
         "      --hold[=S]     stay connected S seconds afterwards (until Ctrl-C without S), for servers\n"
         "                     that drop an application's colours when it disconnects\n"},
        {"get", Command::Get, "get [--device N] [LED...]", "read LED colours back",
         "Prints the current colour of each LED (ids or letter keys). With --device N and no LED, every\n"
         "LED of device N; with neither, every LED of the server's default list.\n"
         "\n"
         "Options:\n"
         "  -d, --device N     read the LEDs of device N\n"},
        {"control", Command::Control, "control request|release [--hold[=S]]",
         "request or release exclusive control of the lighting",
         "request: asks for exclusive control; while an application holds it, the server shows only that\n"
         "application's colours. release: gives it back. Control belongs to the connection, so the server\n"
         "gives it back anyway when this tool exits; --hold keeps it S seconds (until Ctrl-C without S).\n"},
        {"priority", Command::Priority, "priority P [--hold[=S]]", "set the layer priority (0 to 255)",
         "Sets the priority of this application's lighting layer; the highest layer that set an LED is\n"
         "shown. The layer belongs to the connection; --hold keeps it S seconds (until Ctrl-C without S).\n"},
        {"property", Command::Property, "property DEVICE ID", "read one device property",
         "ID is a property identifier, decimal or 0x hexadecimal, carrying the boolean flag 0x1000 or the\n"
         "integer flag 0x2000, which decides how the value is read.\n"},
        {"watch", Command::Watch, "watch [--count N] [--seconds S]", "print key presses as they happen",
         "Prints one line per key press and release until Ctrl-C, or until N events or S seconds.\n"
         "\n"
         "Options:\n"
         "  -n, --count N      stop after N events\n"
         "  -s, --seconds S    stop after S seconds\n"},
        {"help", Command::Help, "help [COMMAND]", "show this help, or the help of one command", ""},
    };
    return shapes;
}

const CommandShape* FindShape(std::string_view name) {
    for (const auto& shape : Shapes()) {
        if (shape.name == name) return &shape;
    }
    return nullptr;
}

std::optional<long long> ParseInteger(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    long long value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

std::optional<double> ParseSeconds(std::string_view text) {
    std::string copy(text);
    char* end = nullptr;
    double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || !std::isfinite(value) || value < 0) return std::nullopt;
    return value;
}

struct Failure {
    std::string message;
};

class Parser {
public:
    Parser(const CommandShape& shape, std::vector<std::string> args) : shape_(shape), args_(std::move(args)) {}

    ParseResult Run() {
        out_.command = shape_.command;
        for (const auto& arg : args_) {
            if (arg == "--help" || arg == "-h") {
                Invocation help;
                help.helpTopic = std::string(shape_.name);
                return {help, {}};
            }
        }
        std::vector<std::string> positional;
        for (index_ = 0; index_ < args_.size(); ++index_) {
            const std::string& arg = args_[index_];
            // "-1" or "-1=red" is a (wrong) value, not an option.
            if (arg.size() > 1 && arg[0] == '-' && !std::isdigit(static_cast<unsigned char>(arg[1]))) {
                if (!Option(arg)) return {std::nullopt, error_};
            } else {
                positional.push_back(arg);
            }
        }
        if (!Positionals(positional)) return {std::nullopt, error_};
        return {out_, {}};
    }

private:
    bool Fail(std::string message) {
        error_ = std::move(message);
        return false;
    }

    bool Allowed(std::initializer_list<Command> commands) const {
        for (Command c : commands) {
            if (c == shape_.command) return true;
        }
        return false;
    }

    // The value of an option: after '=' in the same word, or the next word.
    std::optional<std::string> Value(const std::string& name, const std::optional<std::string>& inline_value) {
        if (inline_value) return inline_value;
        if (index_ + 1 >= args_.size()) {
            Fail("option " + name + " needs a value");
            return std::nullopt;
        }
        return args_[++index_];
    }

    bool Option(const std::string& arg) {
        std::string name = arg;
        std::optional<std::string> inline_value;
        if (auto eq = arg.find('='); eq != std::string::npos) {
            name = arg.substr(0, eq);
            inline_value = arg.substr(eq + 1);
        }
        const std::string unknown = "'" + name + "' is not an option of '" + std::string(shape_.name) +
                                    "' (see: veltari-cli " + std::string(shape_.name) + " --help)";
        if ((name == "--device" || name == "-d") && Allowed({Command::Set, Command::Get, Command::Positions})) {
            auto value = Value(name, inline_value);
            return value && Device(*value);
        }
        if ((name == "--all" || name == "-a") && Allowed({Command::Set})) {
            out_.allDevices = true;
            return NoValue(name, inline_value);
        }
        if ((name == "--control" || name == "-c") && Allowed({Command::Set})) {
            out_.requestControl = true;
            return NoValue(name, inline_value);
        }
        if ((name == "--priority" || name == "-p") && Allowed({Command::Set})) {
            auto value = Value(name, inline_value);
            return value && Priority(*value);
        }
        if (name == "--hold" && Allowed({Command::Set, Command::Control, Command::Priority})) {
            out_.hold = true;
            if (!inline_value) return true;
            auto seconds = ParseSeconds(*inline_value);
            if (!seconds || *seconds <= 0) {
                return Fail("--hold takes a number of seconds above 0, not '" + *inline_value +
                            "' (--hold alone stays until Ctrl-C)");
            }
            out_.holdSeconds = *seconds;
            return true;
        }
        if ((name == "--count" || name == "-n") && Allowed({Command::Watch})) {
            auto value = Value(name, inline_value);
            if (!value) return false;
            auto count = ParseInteger(*value);
            if (!count || *count < 1 || *count > 1000000) {
                return Fail("--count takes a number of events, 1 or more, not '" + *value + "'");
            }
            out_.count = static_cast<int>(*count);
            return true;
        }
        if ((name == "--seconds" || name == "-s") && Allowed({Command::Watch})) {
            auto value = Value(name, inline_value);
            if (!value) return false;
            auto seconds = ParseSeconds(*value);
            if (!seconds || *seconds <= 0) return Fail("--seconds takes a positive number, not '" + *value + "'");
            out_.seconds = *seconds;
            return true;
        }
        return Fail(unknown);
    }

    bool NoValue(const std::string& name, const std::optional<std::string>& inline_value) {
        if (inline_value) return Fail("option " + name + " takes no value");
        return true;
    }

    bool Device(const std::string& text) {
        auto value = ParseInteger(text);
        if (!value || *value < 0 || *value > 1000000) {
            return Fail("a device is given by its index, 0 or more (see: veltari-cli devices), not '" + text + "'");
        }
        if (out_.device && *out_.device != *value) return Fail("more than one device given");
        out_.device = static_cast<int>(*value);
        return true;
    }

    bool Priority(const std::string& text) {
        auto value = ParseInteger(text);
        if (!value || *value < 0 || *value > 255) {
            return Fail("a layer priority runs from 0 to 255, not '" + text + "'");
        }
        out_.priority = static_cast<int>(*value);
        return true;
    }

    bool Led(const std::string& text, LedRef& led) {
        if (text.size() == 1 && ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'))) {
            led.keyName = text[0];
            return true;
        }
        auto value = ParseInteger(text);
        if (!value) {
            return Fail("'" + text + "' is not an LED: give an LED id (0 to 911) or a letter key (A to Z)");
        }
        if (*value < 0 || *value > kMaxLedId) {
            return Fail("LED id " + text + " is out of range: LED ids run from 0 to 911");
        }
        led.ledId = static_cast<int>(*value);
        return true;
    }

    bool Color(const std::string& text, Rgb& rgb) {
        auto color = ParseColor(text);
        if (!color) {
            return Fail("'" + text + "' is not a colour: give a name such as red or warmwhite, or #RRGGBB "
                                     "(see: veltari-cli set --help)");
        }
        rgb = *color;
        return true;
    }

    bool Count(const std::vector<std::string>& positional, size_t min, size_t max, std::string_view what) {
        std::string text("'");
        text.append(shape_.name).append("' ");
        if (positional.size() < min) return Fail(text.append("needs ").append(what));
        if (positional.size() > max) return Fail(text.append("does not take '").append(positional[max]).append("'"));
        return true;
    }

    bool Positionals(const std::vector<std::string>& positional) {
        switch (shape_.command) {
            case Command::Help:
                if (!Count(positional, 0, 1, "")) return false;
                if (!positional.empty()) {
                    if (!FindShape(positional[0])) return Fail("there is no command '" + positional[0] + "'");
                    out_.helpTopic = positional[0];
                }
                return true;
            case Command::Version:
            case Command::Info:
            case Command::Devices:
                return Count(positional, 0, 0, "");
            case Command::Watch:
                return Count(positional, 0, 0, "");
            case Command::Positions:
                if (!Count(positional, 0, 1, "")) return false;
                return positional.empty() || Device(positional[0]);
            case Command::Key:
                if (!Count(positional, 1, 26 * 2, "at least one letter key")) return false;
                for (const auto& text : positional) {
                    LedRef led;
                    if (!Led(text, led)) return false;
                    if (led.keyName == 0) return Fail("'" + text + "' is not a letter key: give A to Z");
                    out_.leds.push_back(led);
                }
                return true;
            case Command::Get:
                for (const auto& text : positional) {
                    LedRef led;
                    if (!Led(text, led)) return false;
                    out_.leds.push_back(led);
                }
                return true;
            case Command::Set:
                return SetTargets(positional);
            case Command::Control:
                if (!Count(positional, 1, 1, "'request' or 'release'")) return false;
                if (positional[0] == "request") {
                    out_.action = ControlAction::Request;
                } else if (positional[0] == "release") {
                    out_.action = ControlAction::Release;
                } else {
                    return Fail("'control' takes 'request' or 'release', not '" + positional[0] + "'");
                }
                return true;
            case Command::Priority:
                if (!Count(positional, 1, 1, "a priority from 0 to 255")) return false;
                return Priority(positional[0]);
            case Command::Property: {
                if (!Count(positional, 2, 2, "a device index and a property identifier")) return false;
                if (!Device(positional[0])) return false;
                auto id = ParseInteger(positional[1]);
                if (!id || *id <= 0 || *id > 0x7FFFFFFF) {
                    return Fail("'" + positional[1] + "' is not a property identifier (a positive number)");
                }
                if ((*id & 0x3000) == 0) {
                    return Fail("property identifier " + positional[1] +
                                " carries neither the boolean flag 0x1000 nor the integer flag 0x2000");
                }
                out_.propertyId = static_cast<int>(*id);
                return true;
            }
        }
        return true;
    }

    bool SetTargets(const std::vector<std::string>& positional) {
        if (out_.allDevices && out_.device) return Fail("give either --device or --all, not both");
        if (positional.empty()) return Fail("'set' needs LED=COLOUR, or a COLOUR with --device or --all");
        const bool whole = positional.size() == 1 && positional[0].find('=') == std::string::npos;
        if (whole) {
            if (!out_.device && !out_.allDevices) {
                if (!ParseColor(positional[0])) {
                    return Fail("'" + positional[0] +
                                "' is not LED=COLOUR: give the colour after '=' (for example " +
                                positional[0] + "=red), or a single COLOUR with --device N or --all");
                }
                return Fail("say which LEDs to set: LED=COLOUR, or --device N or --all for whole devices");
            }
            Rgb rgb;
            if (!Color(positional[0], rgb)) return false;
            out_.fill = rgb;
            return true;
        }
        if (out_.allDevices) return Fail("--all takes a single COLOUR, not LED=COLOUR");
        for (const auto& text : positional) {
            auto eq = text.find('=');
            if (eq == std::string::npos) return Fail("'" + text + "' is not LED=COLOUR");
            LedAssignment assignment;
            if (!Led(text.substr(0, eq), assignment.led)) return false;
            if (!Color(text.substr(eq + 1), assignment.color)) return false;
            out_.assignments.push_back(assignment);
        }
        return true;
    }

    const CommandShape& shape_;
    std::vector<std::string> args_;
    size_t index_ = 0;
    Invocation out_;
    std::string error_;
};

}  // namespace

std::vector<std::string_view> CommandNames() {
    std::vector<std::string_view> names;
    for (const auto& shape : Shapes()) names.push_back(shape.name);
    return names;
}

ParseResult ParseArguments(const std::vector<std::string>& args) {
    if (args.empty()) return {std::nullopt, "no command given (see: veltari-cli --help)"};
    const std::string& first = args[0];
    if (first == "--help" || first == "-h") return {Invocation{}, {}};
    if (first == "--version" || first == "-V") {
        if (args.size() > 1) return {std::nullopt, "--version takes nothing after it"};
        Invocation version;
        version.command = Command::Version;
        return {version, {}};
    }
    const CommandShape* shape = FindShape(first);
    if (!shape) {
        if (!first.empty() && first[0] == '-') {
            return {std::nullopt, "'" + first + "' is not an option; a command comes first (see: veltari-cli --help)"};
        }
        return {std::nullopt, "there is no command '" + first + "' (see: veltari-cli --help)"};
    }
    return Parser(*shape, std::vector<std::string>(args.begin() + 1, args.end())).Run();
}

std::string HelpText(std::string_view topic) {
    if (topic.empty()) {
        std::string text =
            "usage: veltari-cli COMMAND [OPTIONS] [ARGUMENTS]\n"
            "\n"
            "Drives RGB lighting through a running lighting server.\n"
            "\n"
            "Commands:\n";
        for (const auto& shape : Shapes()) {
            std::string name(shape.name);
            name.resize(12, ' ');
            text += "  " + name + std::string(shape.summary) + "\n";
        }
        text +=
            "\n"
            "veltari-cli COMMAND --help shows the usage of one command; veltari-cli --version the version.\n"
            "\n"
            "Colours: #RRGGBB, #RGB or a name:";
        for (const auto& named : ColorNames()) text.append(" ").append(named.name);
        text +=
            ".\n"
            "\n"
            "Exit status:\n"
            "  0  done\n"
            "  1  the server refused or failed the request\n"
            "  2  bad command line or bad argument\n"
            "  3  the lighting server is not running or stopped answering\n"
            "  4  the server's protocol is too old for the request\n";
        return text;
    }
    const CommandShape* shape = FindShape(topic);
    if (!shape) return {};
    std::string text("usage: veltari-cli ");
    text.append(shape->usage).append("\n\n").append(shape->summary).append(".\n");
    if (!shape->details.empty()) text.append("\n").append(shape->details);
    return text;
}

}  // namespace cli
