#include <winsock2.h>

#include "web/listen_socket.h"

namespace sdk {

void MakeListenSocketExclusive(std::uintptr_t socket) {
    // Windows lets a socket with SO_REUSEADDR bind over a listening one unless that one is exclusive.
    const BOOL yes = TRUE;
    setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&yes), sizeof yes);
}

}  // namespace sdk
