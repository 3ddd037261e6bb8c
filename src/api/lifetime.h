// Load and unload of the process-wide client state, called by the platform's library entry points (and
// by tests for a fresh state).
#pragma once

namespace sdk {

// Both are idempotent. Unload runs: the worker stops; then the connection's destruction (which joins its
// notification threads), outside the connection mutex; then the key-press registry, the retention lists
// and the rest. Nothing of the library may run on other threads afterwards.
void LoadClientState();
void UnloadClientState();

}  // namespace sdk
