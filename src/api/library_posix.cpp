// Library entry points on POSIX: the client state exists from load (dlopen or process start) until
// unload (dlclose or process exit).
#include "api/lifetime.h"

namespace sdk {
namespace {

struct LibraryLifetime {
    LibraryLifetime() { LoadClientState(); }
    ~LibraryLifetime() { UnloadClientState(); }
    LibraryLifetime(const LibraryLifetime&) = delete;
    LibraryLifetime& operator=(const LibraryLifetime&) = delete;
};

const LibraryLifetime g_lifetime;

}  // namespace
}  // namespace sdk
