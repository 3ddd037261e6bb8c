// The command line of the reference server.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "lighting/request_handler.h"

namespace sdk {

enum class ViewMode { kAuto, kOn, kOff };

struct ServerOptions {
    bool help = false;
    bool showVersion = false;
    bool dumpDevices = false;
    std::string devicesFile;  // empty: the built-in devices
    ServerIdentity identity;
    std::string runtimeDir;
    std::string keyScript;
    bool loopKeyScript = false;
    std::string autoTypeText;
    int keyIntervalMs = 60;
    bool readStdin = true;
    ViewMode view = ViewMode::kAuto;
    bool verbose = false;
    // The web view's port: -1 without --web, 0 for a free port of the system's choice.
    int webPort = -1;
};

struct ParsedOptions {
    ServerOptions options;
    // Set when the command line cannot be used; the message names the offending argument.
    std::string error;
};

ParsedOptions ParseServerOptions(const std::vector<std::string>& args);
std::string ServerHelpText(const std::string& program);

}  // namespace sdk
