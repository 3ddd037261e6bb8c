// A server in this process that misbehaves on cue: each request can be answered with raw bytes, a cut
// frame, nothing at all, or a closed pipe. Requests nobody scripted get a plain, valid answer.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "pipes/pipe_host.h"
#include "transport/frame_channel.h"

namespace sdk::test {

struct HostileAction {
    enum class Kind { kFrame, kRaw, kRawThenClose, kSilence };
    Kind kind = Kind::kFrame;
    Bytes bytes;  // the payload of kFrame; the exact bytes of kRaw and kRawThenClose

    static HostileAction Frame(const std::string& text, bool withNul = true);
    static HostileAction Raw(Bytes bytes);
    static HostileAction RawThenClose(Bytes bytes);
    static HostileAction Silence();
};

class HostileServer {
public:
    HostileServer();
    ~HostileServer();
    bool Start();
    void Stop();

    // The next request of any method is handled so.
    void Next(HostileAction action);
    // Notifications on the newest session's callback pipe; false when there is none or a write fails.
    bool Notify(const Bytes& payload);
    std::size_t Sessions() const;

    // A frame's length word for n payload bytes.
    static Bytes LengthWord(std::uint32_t n);

private:
    void Serve(PipeSession& session);

    PipeHost host_;
    mutable std::mutex mutex_;
    std::deque<HostileAction> actions_;
    IServerPipe* notifications_ = nullptr;
    std::size_t sessions_ = 0;
    std::condition_variable sessionGone_;
    bool notifying_ = false;
};

}  // namespace sdk::test
