// A lighting server that tests start in-process and script request by request. It serves the real
// rendezvous pipes and a private pipe set per client over real pipes, records every request, answers as
// the test says, and pushes notifications.
//
//   ScriptedServer server;
//   ASSERT_TRUE(server.Start());
//   server.OnMethod("VeltariGetDeviceCount", R"({"result":3})");
//   server.OnMethod("VeltariSetLedsColors", ScriptedReply::Text(R"({"result":true})").After(200));
//   server.OnMethodOnce("VeltariGetDeviceInfo", ScriptedReply::NoAnswer());
//   ... exercise the library ...
//   EXPECT_EQ(server.Methods(), (std::vector<std::string>{"VeltraiHandshakeMethod",
//   "VeltariGetDeviceCount"})); ASSERT_TRUE(server.WaitForSessions(1));
//   EXPECT_TRUE(server.Notify(R"({"vendorKey":5,"pressed":true})"));
//
// How a request is answered, first match wins:
//   1. the oldest unused OnMethodOnce reply for its "method";
//   2. the OnMethod reply for its "method";
//   3. the OnRequest responder, when it returns a reply;
//   4. "VeltraiHandshakeMethod": the handshake answer built from SetProtocolVersion, SetServerVersion and
//      SetBreakingChanges ({"serverVersion":"4.0.0","serverProtocolVersion":9} by default);
//   5. the default reply, Text("{}") unless SetDefaultReply changed it.
// Every method is thread-safe. Waiting helpers take a deadline and return false when it passes.
// Only one ScriptedServer can run in a process at a time (the rendezvous pipe names are fixed). The
// test process gets a private pipe runtime directory (support/pipe_runtime.h), so suites may run in
// parallel.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pipes/pipe_host.h"
#include "transport/frame_channel.h"

namespace sdk::test {

// A pipe of a session, named from the server's side.
enum class ScriptedPipe {
    kRequests,       // BASE_in: the server reads requests; closing it ends the session
    kResponses,      // BASE_out: the server writes responses
    kNotifications,  // BASE_callback
    kAll,            // all three; the session ends
};

// What the server does with one request.
class ScriptedReply {
public:
    enum class Kind { kText, kRaw, kNoAnswer, kClose };

    // The text followed by one NUL, as the real server sends it.
    static ScriptedReply Text(std::string text);
    // Exactly these payload bytes; an empty payload sends a zero-length frame.
    static ScriptedReply Raw(Bytes payload);
    // Reads the request and sends nothing.
    static ScriptedReply NoAnswer();
    // Closes a pipe of the session instead of answering.
    static ScriptedReply Close(ScriptedPipe pipe);
    // The same reply, acted on after this many milliseconds (cut short when the server stops).
    ScriptedReply After(int delayMs) const;

    Kind kind() const { return kind_; }
    const Bytes& payload() const { return payload_; }
    ScriptedPipe pipe() const { return pipe_; }
    int delayMs() const { return delayMs_; }

private:
    Kind kind_ = Kind::kText;
    Bytes payload_;
    ScriptedPipe pipe_ = ScriptedPipe::kAll;
    int delayMs_ = 0;
};

struct ScriptedServerOptions {
    // false: accept the rendezvous and read the identity, but never answer.
    bool answerRendezvous = true;
    // false: the private "_callback" pipe is never created, so the client's bootstrap fails after
    // opening "_out" and "_in".
    bool createCallbackPipe = true;
    // Set: send exactly this rendezvous reply payload and create no private pipes.
    std::optional<Bytes> rendezvousReply;
};

// What the server knows about one client's private pipe set.
struct ScriptedSession {
    std::string identity;  // the rendezvous identity text, e.g. ":pid:4312"
    std::uint64_t processId = 0;
    std::wstring baseName;               // the private base name the client was given
    bool ended = false;                  // the server no longer reads this session's requests
    bool clientClosedRequests = false;   // it ended because the client closed BASE_in
    bool clientClosedResponses = false;  // ... and the client had closed BASE_out as well
};

class ScriptedServer {
public:
    using Responder = std::function<std::optional<ScriptedReply>(const std::string& request)>;
    static constexpr int kWaitMs = 10000;

    explicit ScriptedServer(ScriptedServerOptions options = {});
    ~ScriptedServer();  // Stop
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    // Serves the rendezvous pipes; false when they cannot be created. Stop and Start again to play a
    // server that went away and came back; records and scripts are kept.
    bool Start();
    // Ends every session (clients see their pipes close) and removes the rendezvous pipes.
    void Stop();
    bool IsRunning() const;

    // Scripting.
    void OnMethod(const std::string& method, ScriptedReply reply);
    void OnMethod(const std::string& method, const std::string& responseText);
    void OnMethodOnce(const std::string& method, ScriptedReply reply);
    void OnRequest(Responder responder);
    void SetDefaultReply(ScriptedReply reply);
    void SetProtocolVersion(int version);
    void SetServerVersion(std::string version);
    // Set: the handshake answer carries "breakingChanges" with this value; unset: no such member.
    void SetBreakingChanges(std::optional<bool> value);

    // Requests, across all sessions, in arrival order.
    std::vector<std::string> Requests() const;   // the texts, each without its terminating NUL
    std::vector<Bytes> RequestPayloads() const;  // the payloads exactly as received
    std::vector<std::string> Methods() const;    // the "method" of each request ("" when none)
    std::size_t RequestCount() const;
    void ClearRequests();
    bool WaitForRequests(std::size_t count, int timeoutMs = kWaitMs) const;

    // Sessions, one per client bootstrap that connected its private pipes, in order of arrival.
    std::size_t SessionCount() const;
    bool WaitForSessions(std::size_t count, int timeoutMs = kWaitMs) const;
    ScriptedSession Session(std::size_t index) const;
    bool WaitForSessionEnd(std::size_t index, int timeoutMs = kWaitMs) const;
    // Rendezvous identities received, answered or not.
    std::vector<std::string> Identities() const;
    bool WaitForIdentities(std::size_t count, int timeoutMs = kWaitMs) const;

    // Notifications on the newest session's BASE_callback (the text and one NUL), or on a given one.
    // False when that session has no open notification pipe or the write fails.
    bool Notify(const std::string& text);
    bool Notify(std::size_t session, const std::string& text);
    bool NotifyRaw(std::size_t session, const Bytes& payload);
    void CloseNotifications(std::size_t session);
    // Ends a session from the server's side: all three pipes close once any reply in progress is done.
    void Disconnect(std::size_t session);

    // The "method" member of a request text, or "" when there is none.
    static std::string MethodOf(const std::string& request);

private:
    struct SessionState;
    struct Rule;

    void RunSession(PipeSession& session);
    ScriptedReply Decide(const std::string& request);
    std::shared_ptr<SessionState> FindSession(std::size_t index) const;
    bool WaitFor(const std::function<bool()>& done, int timeoutMs) const;

    ScriptedServerOptions options_;
    std::unique_ptr<PipeHost> host_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::vector<std::pair<std::string, ScriptedReply>> methodReplies_;
    std::vector<std::pair<std::string, ScriptedReply>> onceReplies_;
    Responder responder_;
    ScriptedReply defaultReply_;
    int protocolVersion_ = 9;
    std::string serverVersion_ = "4.0.0";
    std::optional<bool> breakingChanges_;
    std::vector<Bytes> requests_;
    std::vector<std::string> identities_;
    std::vector<std::shared_ptr<SessionState>> sessions_;
};

}  // namespace sdk::test
