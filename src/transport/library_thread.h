// A thread that the library starts for itself (notification delivery, asynchronous workers).
//
// Use it instead of std::thread for every thread of the library: on Windows the library may be unloaded
// while the loader lock is held, and a thread cannot finish exiting then, so waiting for its exit would
// never end. Join here waits only until the thread has run its body and left the library's code; the
// rest of its exit happens without the library.
#pragma once

#include <atomic>
#include <functional>
#include <utility>

namespace sdk {

// Test seam: the next `count` thread starts fail as if the system had no thread to give.
inline std::atomic<int> g_refusedThreadStarts{0};
inline void RefuseThreadStarts(int count) {
    g_refusedThreadStarts.store(count);
}
// Takes one refusal, if any is left.
inline bool ThreadStartRefused() {
    int left = g_refusedThreadStarts.load();
    while (left > 0 && !g_refusedThreadStarts.compare_exchange_weak(left, left - 1)) {
    }
    return left > 0;
}

class LibraryThread {
public:
    LibraryThread() noexcept = default;
    // Starts the thread and returns once the thread has come through the system's start-up and is
    // about to run the body. Throws std::system_error when no thread can be started.
    explicit LibraryThread(std::function<void()> body);
    // Joins a thread still joinable.
    ~LibraryThread() {
        if (Joinable()) {
            Join();
        }
    }

    LibraryThread(LibraryThread&& other) noexcept : control_(std::exchange(other.control_, nullptr)) {}
    // Joins the thread held before.
    LibraryThread& operator=(LibraryThread&& other) noexcept {
        if (this != &other) {
            if (Joinable()) {
                Join();
            }
            control_ = std::exchange(other.control_, nullptr);
        }
        return *this;
    }
    LibraryThread(const LibraryThread&) = delete;
    LibraryThread& operator=(const LibraryThread&) = delete;

    bool Joinable() const noexcept { return control_ != nullptr; }
    // Waits until the body has returned. A thread that was killed (at process exit) counts as done.
    // Throws std::system_error (resource_deadlock_would_occur) when called from the thread itself,
    // which then stays joinable.
    void Join();

    // What the platform keeps per thread.
    struct Control;

private:
    Control* control_ = nullptr;
};

}  // namespace sdk
