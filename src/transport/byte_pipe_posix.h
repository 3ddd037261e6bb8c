// The byte pipe over a connected Unix domain stream socket, for the server side of the pipes, which
// accepts its sockets itself.
#pragma once

#include <memory>

#include "transport/byte_pipe.h"

namespace sdk {

// Takes ownership of `socket`; a cancel shuts down the `cancelHow` direction (SHUT_RD, SHUT_WR or
// SHUT_RDWR). Null when the socket cannot be put into blocking mode (it is then closed).
std::unique_ptr<IBytePipe> AdoptSocket(int socket, int cancelHow);

}  // namespace sdk
