// Where a pipe lives on POSIX. Pipe names keep their Windows form \\.\pipe\REST everywhere; the pipe is
// the Unix domain socket RUNTIME/REST, with every backslash of REST turned into '/'. RUNTIME is
// $XDG_RUNTIME_DIR when that holds an absolute path, else /tmp/veltari-UID (UID the real user id).
// Clients, the test server and the reference server all map names through this one function.
#pragma once

#include <optional>
#include <string>

namespace sdk {

enum class PipeDirectoryUse {
    // A client: RUNTIME must exist, belong to the user and be writable by nobody else, so that no other
    // user can plant a server in it. Nothing is created.
    kConnect,
    // A server: RUNTIME and the directories inside REST are created with mode 0700 when missing; RUNTIME
    // must then pass the same test as for a client.
    kListen,
};

// The directory that holds every pipe of this user (not checked or created).
std::string PipeRuntimeDirectory();

// The socket path of a pipe, or nothing when the name is not of the form \\.\pipe\REST, REST has an
// empty, "." or ".." component, the path does not fit a socket address (never truncated), or a
// directory fails its test.
std::optional<std::string> PipeSocketPath(const std::wstring& pipeName, PipeDirectoryUse use);

}  // namespace sdk
