// The one seam between the client API and the transport: a connection that exchanges texts.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace sdk {

// Takes one notification text; may be empty (no handler).
using NotificationHandler = std::function<void(const std::string&)>;

class IRpcConnection {
public:
    // Stops notification delivery, then closes the connection's pipes.
    virtual ~IRpcConnection() = default;
    // Sends one request and blocks for its response. Every failure gives an empty text.
    virtual std::string Call(std::string_view request) = 0;
    // Stops any running delivery, installs the handler and starts delivery unless it is empty.
    virtual void SetNotificationHandler(NotificationHandler handler) = 0;
    // Stops delivery and drops the handler.
    virtual void ClearNotificationHandler() = 0;
    virtual bool HasNotificationHandler() = 0;
    // True when any of the three channels is missing or has failed.
    virtual bool IsBroken() = 0;
    // The connection locks this caller-owned mutex around every Call.
    virtual void SetCallMutex(std::recursive_mutex* mutex) = 0;
};

}  // namespace sdk
