// Helpers for tests of callbacks that run on the library's threads: a one-shot signal, and a recorder of
// completion callbacks that tests wait on instead of sleeping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

#include "veltari.h"

namespace sdk::testing {

inline constexpr std::chrono::seconds kEventDeadline{30};

// Set once, waited for by any number of threads.
class Signal {
public:
    void Set() {
        std::lock_guard<std::mutex> lock(mutex_);
        set_ = true;
        condition_.notify_all();
    }
    bool Wait(std::chrono::milliseconds deadline = kEventDeadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        return condition_.wait_for(lock, deadline, [this] { return set_; });
    }
    bool IsSet() {
        std::lock_guard<std::mutex> lock(mutex_);
        return set_;
    }

private:
    std::mutex mutex_;
    std::condition_variable condition_;
    bool set_ = false;
};

// What one completion callback was given, and where and when it ran.
struct Completion {
    int tag;
    bool success;
    int error;
    int lastErrorInside;  // VeltariGetLastError() at the start of the callback
    std::thread::id thread;
    std::chrono::steady_clock::time_point at;
};

class CompletionRecorder {
public:
    using Clock = std::chrono::steady_clock;

    // The context of one asynchronous call: its callback runs `inside`, then records `tag`.
    struct CallContext {
        CompletionRecorder* owner;
        int tag;
        std::function<void()> inside;
    };

    // Make contexts on one thread only; they live as long as the recorder.
    void* NewContext(int tag, std::function<void()> inside = {}) {
        contexts_.push_back(std::make_unique<CallContext>(CallContext{this, tag, std::move(inside)}));
        return contexts_.back().get();
    }

    // Runs `inside` first and records last, so a test that saw the record also sees all the callback
    // did, and never races with a callback still using the recorder.
    static void Callback(void* context, bool success, VeltariError error) {
        auto* own = static_cast<CallContext*>(context);
        const Completion completion{own->tag,
                                    success,
                                    static_cast<int>(error),
                                    static_cast<int>(VeltariGetLastError()),
                                    std::this_thread::get_id(),
                                    Clock::now()};
        if (own->inside) own->inside();
        own->owner->Record(completion);
    }

    bool WaitFor(std::size_t count, std::chrono::milliseconds deadline = kEventDeadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        return condition_.wait_for(lock, deadline, [&] { return completions_.size() >= count; });
    }
    std::vector<Completion> Completions() {
        std::lock_guard<std::mutex> lock(mutex_);
        return completions_;
    }
    std::vector<int> Tags() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<int> tags;
        for (const Completion& completion : completions_) tags.push_back(completion.tag);
        return tags;
    }

private:
    void Record(const Completion& completion) {
        std::lock_guard<std::mutex> lock(mutex_);
        completions_.push_back(completion);
        condition_.notify_all();
    }

    std::vector<std::unique_ptr<CallContext>> contexts_;
    std::mutex mutex_;
    std::condition_variable condition_;
    std::vector<Completion> completions_;
};

// What one key-press callback was given.
struct KeyEvent {
    int tag;
    int key;
    bool pressed;
    bool operator==(const KeyEvent& other) const {
        return tag == other.tag && key == other.key && pressed == other.pressed;
    }
};

inline std::ostream& operator<<(std::ostream& out, const KeyEvent& event) {
    return out << "{tag " << event.tag << ", key " << event.key << (event.pressed ? ", down}" : ", up}");
}

class KeyRecorder {
public:
    struct CallContext {
        KeyRecorder* owner;
        int tag;
        std::function<void()> inside;
    };

    // Make contexts on one thread only; they live as long as the recorder.
    void* NewContext(int tag, std::function<void()> inside = {}) {
        contexts_.push_back(std::make_unique<CallContext>(CallContext{this, tag, std::move(inside)}));
        return contexts_.back().get();
    }

    // As for completions: `inside` first, the record last.
    static void Callback(void* context, VeltariKeyId key, bool pressed) {
        auto* own = static_cast<CallContext*>(context);
        if (own->inside) own->inside();
        own->owner->Record(KeyEvent{own->tag, static_cast<int>(key), pressed});
    }

    bool WaitFor(std::size_t count, std::chrono::milliseconds deadline = kEventDeadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        return condition_.wait_for(lock, deadline, [&] { return events_.size() >= count; });
    }
    std::vector<KeyEvent> Events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

private:
    void Record(const KeyEvent& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
        condition_.notify_all();
    }

    std::vector<std::unique_ptr<CallContext>> contexts_;
    std::mutex mutex_;
    std::condition_variable condition_;
    std::vector<KeyEvent> events_;
};

}  // namespace sdk::testing
