// The key-press registry: every registered key-press callback, in registration order, and the marker
// of threads that are delivering key presses.
//
// Lock order: the connection mutex may be held while the registry mutex is taken (connect empties the
// registry inside its run, a registration appends between its gate and its request), never the other
// way round. Callbacks therefore run from a Snapshot, outside the registry mutex: a callback that sends
// a request takes the connection mutex, and holding the registry mutex there could deadlock against a
// handshake that is reconnecting.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "veltari.h"

namespace sdk {

// One registration: the caller's callback and the context it gets back.
struct KeyPressCallbackData {
    VeltariKeyPressCallback callback;
    void* context;
};

class KeyPressRegistry {
public:
    using Entries = std::vector<std::shared_ptr<const KeyPressCallbackData>>;

    // Appends one registration; the same callback and context may be registered more than once.
    void Add(VeltariKeyPressCallback callback, void* context);
    // The registrations in registration order, copied under the mutex.
    Entries Snapshot() const;
    // Discards every registration.
    void Clear();
    std::size_t Size() const;

private:
    mutable std::mutex mutex_;
    Entries entries_;
};

// Marks the current thread, for the scope's life, as one that delivers key presses to callbacks. The
// handshake refuses to reconnect on such a thread: replacing the connection would have to join the
// very thread that is running the callback. Scopes nest.
class KeyPressDispatchScope {
public:
    KeyPressDispatchScope() noexcept;
    ~KeyPressDispatchScope();
    KeyPressDispatchScope(const KeyPressDispatchScope&) = delete;
    KeyPressDispatchScope& operator=(const KeyPressDispatchScope&) = delete;

    static bool Active() noexcept;

private:
    bool outer_;
};

}  // namespace sdk
