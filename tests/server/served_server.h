// The reference lighting server running in the test process over the real rendezvous and private pipes,
// wired exactly as the server program wires it.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "lighting/device_data.h"
#include "lighting/lighting_server.h"
#include "pipes/pipe_host.h"

namespace sdk::test {

class ServedLightingServer {
public:
    explicit ServedLightingServer(ServerIdentity identity = {})
        : server_(*LoadDeviceCatalog(BuiltInDeviceData()).catalog, std::move(identity)),
          host_([this](PipeSession& session) {
              server_.ServeClient(session.identity, *session.requests, *session.responses,
                                  *session.notifications);
          }) {}
    ~ServedLightingServer() { Stop(); }

    bool Start() { return host_.Start(); }
    void Stop() {
        host_.Stop();
        server_.Stop();
    }
    LightingServer& Server() { return server_; }
    PipeHost& Host() { return host_; }

    // Waits until the server serves exactly this many clients.
    bool WaitForClients(std::size_t count, int timeoutMs = 10000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (server_.ClientCount() != count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

private:
    LightingServer server_;
    PipeHost host_;
};

}  // namespace sdk::test
