// What the server program needs from the operating system's console and process: terminal detection,
// the terminal's width, shutdown signals and lines from standard input.
#pragma once

#include <string>

namespace sdk {

bool StdoutIsTerminal();
// Columns and rows of the terminal on standard output; 0 when unknown.
int TerminalColumns();
int TerminalRows();
// Lets escape codes through where the console needs to be told; false when it cannot be done.
bool EnableTerminalEscapes();

// Turns SIGINT and SIGTERM (Ctrl+C, Ctrl+Break and closing the console on Windows) into a shutdown
// request instead of an abrupt end.
void InstallShutdownHandlers();
// Asks for a shutdown from inside the program.
void RequestShutdown();
// True once a shutdown was requested; waits up to timeoutMs for one.
bool WaitForShutdown(int timeoutMs);

// Settles the directory of the pipes (Linux): REQUESTED when given, else $XDG_RUNTIME_DIR when set. An
// existing directory is accepted only when it is the user's and writable by nobody else, and is never
// changed; a missing one is created with mode 0700 when its parent exists. Returns why the directory
// cannot be used, empty when it can. Call before any thread starts.
std::string UsePipeRuntimeDirectory(const std::string& requested);
// Where a pipe name lives, for messages: the socket path on Linux, the name itself on Windows.
std::string PipeLocation(const std::wstring& pipeName);
// How to run a second server beside a first, for messages; empty where there is no way.
std::string PipeIsolationHint();

enum class LineStatus { kLine, kTimeout, kEnd };
// One line of standard input without its line end, waiting up to timeoutMs. One reading thread only.
LineStatus ReadInputLine(std::string& line, int timeoutMs);

}  // namespace sdk
