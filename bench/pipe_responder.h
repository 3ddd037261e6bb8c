// A minimal lighting server in the benchmark's own process, on the real server side of the pipes: it
// answers every request with the one fixed response of the moment and can push notifications.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pipes/pipe_host.h"

namespace sdk::bench {

class FixedResponder {
public:
    FixedResponder();
    ~FixedResponder();

    // Serves the rendezvous pipes; false when they cannot be created.
    bool Start();
    void Stop();

    // The answer to every request from now on: the text and one NUL, as a server sends it.
    void SetResponse(const std::string& text);
    // Writes one notification frame (the text and one NUL) to every live session whose identity starts
    // with `identityPrefix`; false when there was none or a write failed.
    bool Notify(const std::string& text, const std::string& identityPrefix = ":pid:");

    std::uint64_t Requests() const { return requests_.load(); }
    // Keeps the text of the next request (without its NUL) for LastRequest; off again after one.
    void CaptureNextRequest();
    std::string LastRequest();

private:
    void Serve(PipeSession& session);

    PipeHost host_;
    std::mutex mutex_;
    std::shared_ptr<const Bytes> response_;
    std::vector<PipeSession*> sessions_;  // live sessions, under mutex_
    std::atomic<std::uint64_t> requests_{0};
    std::atomic<bool> capture_{false};
    std::string lastRequest_;  // under mutex_
};

}  // namespace sdk::bench
