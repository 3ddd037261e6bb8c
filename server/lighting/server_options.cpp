#include "lighting/server_options.h"

#include <cstdlib>
#include <limits>

namespace sdk {
namespace {

bool ToInt(const std::string& text, int minimum, int maximum, int& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == nullptr || *end != '\0' || value < minimum || value > maximum) return false;
    out = static_cast<int>(value);
    return true;
}

}  // namespace

ParsedOptions ParseServerOptions(const std::vector<std::string>& args) {
    ParsedOptions parsed;
    ServerOptions& o = parsed.options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0) {
            const auto eq = arg.find('=');
            if (eq != std::string::npos) {
                inlineValue = arg.substr(eq + 1);
                arg.resize(eq);
            }
        }
        auto value = [&](std::string& out) {
            if (inlineValue) {
                out = *inlineValue;
                return true;
            }
            if (i + 1 >= args.size()) {
                parsed.error = arg + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        auto number = [&](int minimum, int maximum, int& out) {
            std::string text;
            if (!value(text)) return false;
            if (ToInt(text, minimum, maximum, out)) return true;
            parsed.error = arg + " takes a whole number from " + std::to_string(minimum) + " to " +
                           std::to_string(maximum) + ", not \"" + text + "\"";
            return false;
        };
        auto flag = [&] {
            if (!inlineValue) return true;
            parsed.error = arg + " takes no value";
            return false;
        };

        bool ok = true;
        if (arg == "-h" || arg == "--help") {
            ok = flag();
            o.help = true;
        } else if (arg == "--version") {
            ok = flag();
            o.showVersion = true;
        } else if (arg == "--devices") {
            ok = value(o.devicesFile);
        } else if (arg == "--dump-devices") {
            ok = flag();
            o.dumpDevices = true;
        } else if (arg == "--protocol") {
            ok = number(0, 1000000, o.identity.protocolVersion);
        } else if (arg == "--breaking-changes") {
            ok = flag();
            o.identity.breakingChanges = true;
        } else if (arg == "--server-version") {
            ok = value(o.identity.version);
        } else if (arg == "--runtime-dir") {
            ok = value(o.runtimeDir);
        } else if (arg == "--keys") {
            ok = value(o.keyScript);
        } else if (arg == "--keys-loop") {
            ok = flag();
            o.loopKeyScript = true;
        } else if (arg == "--auto-type" || arg == "--type-text") {
            ok = value(o.autoTypeText);
            if (ok && o.autoTypeText.empty()) {
                parsed.error = arg + " needs a text to type";
                ok = false;
            }
        } else if (arg == "--key-interval") {
            ok = number(1, 60000, o.keyIntervalMs);
        } else if (arg == "--no-stdin") {
            ok = flag();
            o.readStdin = false;
        } else if (arg == "--view") {
            ok = flag();
            o.view = ViewMode::kOn;
        } else if (arg == "--no-view") {
            ok = flag();
            o.view = ViewMode::kOff;
        } else if (arg == "--web") {
            o.webPort = 0;
            if (inlineValue) ok = number(1, 65535, o.webPort);
        } else if (arg == "-v" || arg == "--verbose") {
            ok = flag();
            o.verbose = true;
        } else {
            parsed.error = "unknown option \"" + args[i] + "\" (see --help)";
            ok = false;
        }
        if (!ok) break;
    }
    if (parsed.error.empty() && o.loopKeyScript && o.keyScript.empty())
        parsed.error = "--keys-loop needs --keys";
    // Below protocol 10 the library never reads the member, so the option would change nothing.
    if (parsed.error.empty() && o.identity.breakingChanges && o.identity.protocolVersion < 10)
        parsed.error =
            "--breaking-changes needs --protocol 10 or later: clients read \"breakingChanges\" only "
            "from protocol 10 on (below it, only protocol 8 counts as incompatible)";
    if (parsed.error.empty() && o.loopKeyScript && !o.autoTypeText.empty())
        parsed.error = "--keys-loop and --auto-type cannot be combined: both repeat for ever";
    return parsed;
}

std::string ServerHelpText(const std::string& program) {
    return "Usage: " + program + R"( [options]

The Veltari reference lighting server. Serves virtual devices (a keyboard, a mouse, a headset and an
LED strip controller) to applications that use the Veltari library, so that lighting can be built and
tried without hardware. Runs until interrupted (Ctrl+C, SIGTERM).

Devices:
  --devices FILE         serve the devices described in FILE instead of the built-in ones
  --dump-devices         print the built-in device file and exit (a starting point for your own)

Protocol:
  --protocol N           protocol version to report in the handshake (default 9); methods newer than
                         N are answered as unknown, as an older server would
  --breaking-changes     declare the protocol incompatible ("breakingChanges": true); needs
                         --protocol 10 or later, as clients read it only from protocol 10 on
  --server-version TEXT  version text to report (default ")" +
           ServerIdentity{}.version + R"(")
  --runtime-dir DIR      where the pipes are created (Linux; default $XDG_RUNTIME_DIR, else
                         /tmp/veltari-UID); clients find them with XDG_RUNTIME_DIR=DIR. DIR, like
                         $XDG_RUNTIME_DIR, is used only when it is yours and writable by nobody else,
                         and is never changed; a missing DIR is created (mode 0700) if its parent exists

Key presses (sent to every client that registered for them):
  --keys SCRIPT          play SCRIPT once the first client has registered for key presses
  --keys-loop            play the --keys script again and again
  --auto-type TEXT       type TEXT over and over, one key event every --key-interval, a second's
                         pause between rounds (--type-text is the same option)
  --key-interval MS      pause between simulated key events (default 60)
  --no-stdin             do not read key scripts from standard input (one script per line)
  A script is a list of steps separated by spaces or commas:
    A  Space  F5         press and release a key, by its name in the device file
    +LeftShift -LeftShift  press / release only
    #65                  a vendor key by number
    wait:250             pause 250 ms
    type:Hello  type:"two words"   type a text key by key
  Typing "quit" on standard input stops the server.

Output:
  --view / --no-view     show / hide the live view of every device's colours (default: shown when
                         standard output is a terminal and --verbose is off; without a terminal the
                         view prints plain text, at most once a second)
  --web[=PORT]           also show the devices as a live web page on http://127.0.0.1:PORT/ (a free
                         port unless PORT is given); open the address printed at start, whose token
                         lets the page press keys
  -v, --verbose          print every request and response with its client, every notification and
                         every connection (on standard error)
  --version              print the server version and exit
  -h, --help             print this help and exit

Error codes the server returns in "errorCode":
  0    success
  5    bad argument: missing or malformed parameter, value out of range, or a device, LED, key or
       property that the server does not have
  100  unknown method, or a method newer than the reported protocol version
  101  control is held by another client
  102  the request is JSON but not an object with a "method" text
)";
}

}  // namespace sdk
