// The devices as a live web page, served by the server itself on the loopback interface: every LED at its
// place in millimetres and in its current colour, the status the terminal view shows, and keys that can be
// clicked or typed to send key presses to the clients that registered for them.
#pragma once

#include <memory>
#include <string>

#include "lighting/lighting_server.h"

namespace sdk {

class WebView {
public:
    // Updates pushed to one page per second at most; changes in between are merged.
    static constexpr int kMaxUpdatesPerSecond = 60;
    // Pages that may follow the state at once; a further page takes the place of the oldest.
    static constexpr int kMaxPages = 4;

    // The server must outlive the view. The view observes the server's changes from Start to Stop.
    explicit WebView(LightingServer& server);
    ~WebView();
    WebView(const WebView&) = delete;
    WebView& operator=(const WebView&) = delete;

    // Serves http://127.0.0.1:port/ on a thread of its own; port 0 picks a free port. False, with a
    // message in `error`, when the port cannot be used or this build has no web view.
    bool Start(int port, std::string& error);
    // The address to open, with the access token that key presses need; empty before Start.
    std::string Url() const;
    int Port() const;
    const std::string& Token() const;
    // Ends every page's updates and stops serving; waits for the server's threads.
    void Stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace sdk
