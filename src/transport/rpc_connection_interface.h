// The one seam between the client API and the transport: a connection that exchanges texts.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace sdk {

// Takes one notification text; may be empty (no handler).
using NotificationHandler = std::function<void(const std::string&)>;

class IRpcConnection {
public:
    // Stops notification delivery, then closes the connection's pipes.
    virtual ~IRpcConnection() = default;
    // Sends one request and blocks for its response; calls from several threads take turns. Every
    // failure gives an empty text.
    virtual std::string Call(std::string_view request) = 0;
    // Installs or replaces the handler under a lock; an empty handler silences delivery. Notifications
    // are read from the first non-empty handler on until the connection is destroyed, whatever handler
    // comes and goes. Throws when delivery cannot be started; the handler is then unchanged.
    virtual void SetNotificationHandler(NotificationHandler handler) = 0;
    virtual bool HasNotificationHandler() = 0;
    // True when any of the three channels is missing or has failed.
    virtual bool IsBroken() = 0;
};

}  // namespace sdk
