// The byte pipe over a Windows pipe handle, for the server side of the pipes, which creates its pipe
// instances itself.
#pragma once

#include <windows.h>

#include <memory>
#include <string_view>

#include "transport/byte_pipe.h"

namespace sdk {

// Whether a name is a pipe of this machine, \\.\pipe\REST, whose REST has no empty, "." or ".."
// component. Path normalisation would otherwise turn such a name into that of another pipe.
bool IsLocalPipeName(std::wstring_view name);

// Takes ownership of a handle opened for overlapped I/O. Null when the events cannot be created (the
// handle is then closed).
std::unique_ptr<IBytePipe> AdoptPipeHandle(HANDLE pipe);

}  // namespace sdk
