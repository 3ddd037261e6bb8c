// The frame every exported call runs in: the connection gate, the request envelope, the exchange with
// the server and the ways of reading the answer. A call that sends a request looks like this:
//
//     int VeltariGetDeviceCount(void) {
//         if (!HandshakeDone()) return Fail(VeltariErrorNoHandshake, -1);
//         Exchange exchange;                        // holds the connection mutex from here on
//         if (!exchange.Gate()) return Fail(VeltariErrorServerUnreachable, -1);
//         const auto answer = exchange.SendRequest(kMethodGetDeviceCount);
//         if (!answer) return -1;                  // SendRequest stored the error
//         return ReadResultOnly(*answer).AsInt();
//     }
//
// Tests that come between the gate and the request (a minimum protocol, an argument) go between
// Gate() and Send(); tests that come before the gate go before the Exchange is made, so they never wait.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "api/client_state.h"
#include "api/last_error.h"
#include "api/protocol.h"
#include "api/request_text.h"
#include "json/json.h"

namespace sdk {

// A parsed answer. Text that does not parse reads like an object without members.
class Response {
public:
    // Parses text into values of its own.
    explicit Response(std::string_view text);
    // The root of a document parsed by an exchange; valid while that exchange lives.
    explicit Response(const Json* parsed) : root_(parsed) {}
    Response(const Response& other) = delete;
    Response& operator=(const Response&) = delete;
    Response(Response&& other) noexcept;
    Response& operator=(Response&&) = delete;

    const Json& Root() const { return *root_; }
    // The member, or the invalid value when it is absent.
    const Json& Member(std::string_view name) const { return root_->At(name); }
    bool Has(std::string_view name) const { return root_->HasMember(name); }
    // "result", or the invalid value.
    const Json& Result() const { return Member("result"); }
    bool HasResult() const { return Has("result"); }
    // "errorCode" as an integer; 0 when absent.
    int ErrorCode() const { return Member("errorCode").AsInt(); }

private:
    Json owned_;
    const Json* root_;
};

// Holds the connection mutex for its whole life, so the connection that passed the gate is the one
// that Call uses: a handshake on another thread cannot replace it in between. The texts and the parsed
// answer live in memory that the next exchange reuses; they are valid while the exchange lives and
// until its next call.
class Exchange {
public:
    Exchange();
    ~Exchange();
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    // True when the slot holds a connection that is not broken. Never connects.
    bool Gate();
    // The request buffer, emptied, for a request written in place and then sent with Send.
    std::string& NewRequest();
    // Sends one request over the connection in the slot and returns the answer; the empty text when
    // there is no connection, no answer came, or the request is too large to ever be sent.
    std::string_view Call(std::string_view request);
    // Call, then the parsed answer; without an answer, stores Failure() as the last error and gives
    // nothing, so a call reads:  const auto answer = exchange.Send(request); if (!answer) return failed;
    std::optional<Response> Send(std::string_view request);
    // Send of {"method":M}, or {"method":M,"params":{...}} with the members in the order given.
    std::optional<Response> SendRequest(std::string_view method);
    std::optional<Response> SendRequest(std::string_view method, std::initializer_list<RequestParam> params);
    // The error for an empty answer of the last Call: VeltariErrorBadArgument when the request was above
    // the largest frame and nothing was sent, VeltariErrorServerUnreachable otherwise.
    int Failure() const { return tooLarge_ ? VeltariErrorBadArgument : VeltariErrorServerUnreachable; }

private:
    ClientState& state_;
    std::unique_lock<std::mutex> lock_;
    bool tooLarge_ = false;
};

// The four ways of reading an answer. Each stores the calling thread's last error.

// result only: stores 0 whatever the answer holds; gives "result".
const Json& ReadResultOnly(const Response& response);
// error code and result: stores "errorCode"; gives "result" whatever the code says.
const Json& ReadErrorCodeAndResult(const Response& response);
// error code decides: stores "errorCode"; true exactly when it is 0.
bool ReadErrorCodeDecides(const Response& response);
// result presence decides: stores "errorCode"; gives "result", or null when the member is absent.
const Json* ReadResultIfPresent(const Response& response);

}  // namespace sdk
