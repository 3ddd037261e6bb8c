// What the end-to-end benchmarks share: a private pipe directory for this process and one responder.
#pragma once

#include "pipe_responder.h"

namespace sdk::bench {

// Points XDG_RUNTIME_DIR at a fresh private directory, removed at exit, so that the benchmark never meets
// a real server nor disturbs one. Call before any thread starts.
void UsePrivatePipeRuntime();

// The process's responder, started on first use; null when its pipes could not be created.
FixedResponder* Responder();

// Connects the library to the responder with a handshake: at the first use, and again after anything
// broke the connection. False when the responder or the handshake failed.
bool LibraryConnected();
// How many handshakes LibraryConnected has made: a new one means a new connection, which forgets
// key-press registrations.
int LibraryHandshakes();

}  // namespace sdk::bench
