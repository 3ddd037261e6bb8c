// The web view's listening socket is its own: no other process, not even another server of the same user,
// may bind the same port beside it and take a share of its connections.
#pragma once

#include <cstdint>

namespace sdk {

// Called on the socket before it is bound; the handle is a descriptor on POSIX and a SOCKET on Windows.
void MakeListenSocketExclusive(std::uintptr_t socket);

}  // namespace sdk
