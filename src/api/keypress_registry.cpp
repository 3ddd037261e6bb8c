#include "api/keypress_registry.h"

#include <utility>

namespace sdk {

void KeyPressRegistry::Add(VeltariKeyPressCallback callback, void* context) {
    auto entry = std::make_shared<const KeyPressCallbackData>(KeyPressCallbackData{callback, context});
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(entry));
}

KeyPressRegistry::Entries KeyPressRegistry::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
}

void KeyPressRegistry::Clear() {
    Entries discarded;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        discarded.swap(entries_);
    }
}

std::size_t KeyPressRegistry::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

namespace {
thread_local bool t_dispatchingKeyPresses = false;
}  // namespace

KeyPressDispatchScope::KeyPressDispatchScope() noexcept : outer_(t_dispatchingKeyPresses) {
    t_dispatchingKeyPresses = true;
}

KeyPressDispatchScope::~KeyPressDispatchScope() { t_dispatchingKeyPresses = outer_; }

bool KeyPressDispatchScope::Active() noexcept { return t_dispatchingKeyPresses; }

}  // namespace sdk
