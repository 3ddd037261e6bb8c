// Keeps the pipes of one test process apart from every other process: on POSIX the process gets a fresh
// private runtime directory (XDG_RUNTIME_DIR points at it), so suites can run in parallel and never meet
// a real server. It is set up before main in every test binary that links the scripted server; a test
// that opens pipes without a ScriptedServer calls UsePrivatePipeRuntime() to make sure.
#pragma once

#include <string>

namespace sdk::test {

// The directory in use (empty where the platform has no per-process pipe namespace).
const std::string& UsePrivatePipeRuntime();

}  // namespace sdk::test
