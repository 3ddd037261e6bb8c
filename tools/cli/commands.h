// The commands of veltari-cli, run against the lighting server through the public library.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace cli {

// Exit status of the tool; --help lists them.
enum ExitCode {
    kExitOk = 0,
    kExitRefused = 1,
    kExitUsage = 2,
    kExitServerUnreachable = 3,
    kExitProtocolTooOld = 4,
};

// Runs one command line (the arguments after the program name). Results go to out, problems to err,
// always as words; the return value is the exit status.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Asks a running watch or hold to end, as Ctrl-C does. Safe to call from a signal handler.
void RequestStop();

}  // namespace cli
