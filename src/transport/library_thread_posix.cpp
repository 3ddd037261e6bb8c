#include <future>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "transport/library_thread.h"

namespace sdk {

struct LibraryThread::Control {
    std::thread thread;
};

LibraryThread::LibraryThread(std::function<void()> body) {
    if (ThreadStartRefused()) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    auto control = std::make_unique<Control>();
    std::promise<void> running;
    std::future<void> started = running.get_future();
    control->thread = std::thread([body = std::move(body), running = std::move(running)]() mutable {
        running.set_value();
        body();
    });
    started.wait();
    control_ = control.release();
}

void LibraryThread::Join() {
    if (control_ == nullptr) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument));
    }
    if (control_->thread.get_id() == std::this_thread::get_id()) {
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    }
    control_->thread.join();
    delete std::exchange(control_, nullptr);
}

}  // namespace sdk
