#include "web/listen_socket.h"

#include <sys/socket.h>

namespace sdk {

void MakeListenSocketExclusive(std::uintptr_t socket) {
    // Address reuse only lets a restarted server bind past connections in TIME_WAIT; port reuse, which
    // would share the port with a second listener, stays off.
    const int yes = 1;
    setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

}  // namespace sdk
