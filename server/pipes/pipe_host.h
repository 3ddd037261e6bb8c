// Serves the rendezvous pipes and gives every client its own set of private pipes. Built only on
// IPipeListener, so it is the same on every platform; the reference server and the scripted test server
// both run on it.
//
// For each client the host:
//   1. reads the identity from the client's rendezvous "_in" connection;
//   2. pairs it with that client's rendezvous "_out" connection by process id, so one client's reply
//      never goes out on another client's "_out" however many connect at once;
//   3. creates the listeners BASE_out, BASE_in and BASE_callback for a fresh private base name;
//   4. only then writes BASE and a NUL on the rendezvous "_out";
//   5. accepts the client's three private connections (from the same process id) and runs the session
//      handler with them on a thread of the host's own.
//
//   PipeHost host([](PipeSession& session) {
//       Bytes request;
//       while (session.requests->ReadMessage(request, -1) == kResultOk) {
//           session.responses->WriteMessage(Answer(request), 5000);
//       }
//   });
//   if (!host.Start()) { /* the rendezvous pipes are served by someone else */ }
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pipes/pipe_server.h"

namespace sdk {

// One client's connected private pipes, named from the server's side.
struct PipeSession {
    std::string identity;          // the rendezvous text, without its terminating NUL
    std::uint64_t processId = 0;   // the client's process id as the pipes report it
    std::wstring baseName;         // the private base name that was sent to the client
    std::unique_ptr<IServerPipe> requests;       // BASE_in: the client writes requests here
    std::unique_ptr<IServerPipe> responses;      // BASE_out: the server writes responses here
    std::unique_ptr<IServerPipe> notifications;  // BASE_callback; null when createCallbackPipe is off
};

struct PipeHostOptions {
    // The rendezvous base name; empty means ServerPipeBaseName(). Private names are made in its folder.
    std::wstring rendezvousBase;
    // How long a client may take to send its identity, and to connect its private pipes after the reply.
    int clientTimeoutMs = 5000;
    // Creates listeners; empty means ListenOnPipe. Tests put fakes here.
    std::function<std::unique_ptr<IPipeListener>(const std::wstring&)> listen;
    // Told every identity read on the rendezvous, answered or not (on a host thread).
    std::function<void(const std::string& identity, std::uint64_t processId)> onIdentity;

    // Knobs for tests that play a misbehaving server.
    bool answerRendezvous = true;    // false: read the identity, then hold the pipes and never answer
    bool createCallbackPipe = true;  // false: BASE_callback is never created
    std::optional<Bytes> fixedReply; // set: send exactly this reply payload and create no private pipes
};

class PipeHost {
public:
    // Runs on a host thread, once per client, for as long as it likes; the session's pipes are closed
    // when it returns. It owns the session's pipes for that time but must not reset or move them (Stop
    // cancels them to wake the handler). Several handlers run at once, one per client.
    using SessionHandler = std::function<void(PipeSession& session)>;

    explicit PipeHost(SessionHandler handler, PipeHostOptions options = {});
    ~PipeHost();  // Stop
    PipeHost(const PipeHost&) = delete;
    PipeHost& operator=(const PipeHost&) = delete;

    // Starts listening on the rendezvous pipes; false when they cannot be created, for instance because
    // another server serves them. A stopped host may be started again.
    bool Start();
    // Cancels every wait of the host and of running sessions (their reads and writes then report the
    // cancel) and joins all threads; the rendezvous pipes go away.
    void Stop();

    const std::wstring& RendezvousBase() const { return options_.rendezvousBase; }

private:
    struct Pending;
    struct Worker;

    void AcceptLoop(IPipeListener* listener, bool isIn);
    void ReapFinishedLocked();
    std::unique_ptr<IServerPipe> TakeOutPipe(std::uint64_t processId, int timeoutMs);
    void Serve(Worker& worker, std::unique_ptr<IServerPipe> in);
    bool Answer(Worker& worker, IServerPipe& in, PipeSession& session,
                std::unique_ptr<IPipeListener> (&listeners)[3]);
    std::wstring NextPrivateBase();

    SessionHandler handler_;
    PipeHostOptions options_;
    std::wstring privateFolder_;
    std::uint32_t nameToken_ = 0;

    std::mutex mutex_;
    bool running_ = false;
    bool stopping_ = false;
    std::condition_variable changed_;
    std::uint64_t nextName_ = 0;
    std::unique_ptr<IPipeListener> inListener_;
    std::unique_ptr<IPipeListener> outListener_;
    std::thread inAcceptor_;
    std::thread outAcceptor_;
    std::list<std::unique_ptr<Pending>> pendingOut_;  // rendezvous "_out" connections not yet paired
    std::list<std::shared_ptr<Worker>> workers_;
};

}  // namespace sdk
