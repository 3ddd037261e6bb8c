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
    // Sends one request and blocks for its response, which replaces `response` (whose memory the caller
    // may keep from call to call); calls from several threads take turns. Every failure gives false and
    // an empty response.
    virtual bool Call(std::string_view request, std::string& response) = 0;
    // The same for callers that want the response as a text of its own; empty on failure.
    std::string Call(std::string_view request) {
        std::string response;
        Call(request, response);
        return response;
    }
    // Installs or replaces the handler under a lock; an empty handler silences delivery. Notifications
    // are read from the first non-empty handler on until the connection is destroyed, whatever handler
    // comes and goes. Throws when delivery cannot be started; the handler is then unchanged.
    virtual void SetNotificationHandler(NotificationHandler handler) = 0;
    virtual bool HasNotificationHandler() = 0;
    // True when any of the three channels is missing or has failed.
    virtual bool IsBroken() = 0;
};

}  // namespace sdk
