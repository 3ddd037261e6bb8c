// Finds the lighting server on the rendezvous pipes and opens this client's private pipes.
#pragma once

#include <memory>
#include <string>

#include "transport/rpc_connection_interface.h"

namespace sdk {

// The rendezvous base name, "\\.\pipe\VeltariLumaneth\{GUID}".
std::wstring ServerPipeBaseName();
// Sends the identity on the rendezvous pipes; the private base name, or empty on failure.
std::wstring RequestPipeName(const std::string& identity);
// A ready connection over the private pipes, or null when the server cannot be reached.
std::unique_ptr<IRpcConnection> CreateRpcConnection(const std::string& identity);

}  // namespace sdk
