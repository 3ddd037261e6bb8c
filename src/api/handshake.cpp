// The protocol handshake and connect, the only code that fills or replaces the connection slot.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "api/boundary.h"
#include "api/exchange.h"
#include "api/process.h"
#include "api/retention.h"
#include "transport/bootstrap.h"
#include "veltari.h"

namespace sdk {
namespace {

// Connections replaced during one handshake. They are destroyed only once the handshake has released
// the connection mutex: destruction joins the connection's notification threads, and a key-press
// callback on one of them may be waiting for that mutex to send a request.
using RetiredConnections = std::vector<std::unique_ptr<IRpcConnection>>;

std::string ClientIdentity() {
    return ":pid:" + std::to_string(CurrentProcessId());
}

// Replaces the connection in the slot with a new one (or with nothing when no server answers) and
// reports whether the gate now passes. Runs inside the handshake's exchange.
bool Connect(Exchange& exchange, ClientState& state, RetiredConnections& retired) {
    if (KeyPressDispatchScope::Active()) {
        // Inside a key-press callback the connection in the slot may be the one delivering it, and a
        // thread cannot join itself; the caller sees an unreachable server instead.
        return false;
    }
    const std::string identity = ClientIdentity();
    std::unique_ptr<IRpcConnection> fresh =
        state.connectionFactory ? state.connectionFactory(identity) : CreateRpcConnection(identity);
    retired.push_back(std::move(state.connection));
    state.connection = std::move(fresh);
    // Callbacks registered on the old connection would never hear from the new one.
    state.keyPresses.Clear();
    return exchange.Gate();
}

void FillLibraryFields(VeltariProtocolDetails& details) {
    if (details.sdkProtocolVersion == 0) {
        details.sdkProtocolVersion = kSdkProtocolVersion;
        details.sdkVersion = kSdkVersion;
    }
}

// What a handshake that could not be carried out returns: the library's own fields only.
VeltariProtocolDetails NoDetails() {
    VeltariProtocolDetails details{};
    FillLibraryFields(details);
    return details;
}

// No answer: the stored details lose what the server said before; the handshake flag stays.
VeltariProtocolDetails Unreachable(ClientState& state) {
    VeltariProtocolDetails& details = state.details;
    FillLibraryFields(details);
    details.serverVersion = nullptr;
    details.serverProtocolVersion = 0;
    details.breakingChanges = false;
    state.serverProtocolVersion.store(0, std::memory_order_release);
    StoreLastError(VeltariErrorServerUnreachable);
    return details;
}

// Servers up to protocol 9 say nothing about compatibility; of those only protocol 8 is known to
// break. From 10 on the server says so itself.
bool BreakingChanges(int serverProtocol, const Response& response) {
    if (serverProtocol >= 10) {
        return response.Member("breakingChanges").AsBool();
    }
    return serverProtocol == 8;
}

}  // namespace
}  // namespace sdk

using namespace sdk;

namespace {

VeltariProtocolDetails Handshake() {
    {
        RetiredConnections retired;  // declared first: destroyed after the exchange has released the mutex
        Exchange exchange;
        ClientState& state = State();

        if (!exchange.Gate() && !Connect(exchange, state, retired)) {
            return Unreachable(state);
        }
        std::string& request = exchange.NewRequest();
        WriteRequest(request, kMethodHandshake, {{"sdkProtocolVersion", kSdkProtocolVersion}});
        std::string_view answer = exchange.Call(request);
        if (!exchange.Gate()) {
            // The request broke the connection: one fresh connection, one more try.
            if (!Connect(exchange, state, retired)) {
                return Unreachable(state);
            }
            answer = exchange.Call(request);
        }
        if (answer.empty()) {
            return Unreachable(state);
        }

        // Any answer counts, even one that does not parse: the caller judges the server by the details.
        const Response response(answer);
        const int serverProtocol = response.Member("serverProtocolVersion").AsInt();
        VeltariProtocolDetails& details = state.details;
        details = VeltariProtocolDetails{};
        details.serverVersion = RetainString(response.Member("serverVersion").AsString());
        details.serverProtocolVersion = serverProtocol;
        FillLibraryFields(details);
        details.breakingChanges = BreakingChanges(serverProtocol, response);
        state.serverProtocolVersion.store(serverProtocol, std::memory_order_release);
        state.handshakeDone.store(true, std::memory_order_release);
        StoreLastError(VeltariErrorSuccess);
        return details;
    }
}

}  // namespace

VeltariProtocolDetails VeltariPerformProtocolHandshake(void) {
    try {
        return Handshake();
    } catch (...) {
    }
    // Memory or a thread could not be had: like a server that did not answer, the stored details lose
    // what the server said before.
    return Guarded(NoDetails(), [] {
        ClientState& state = State();
        std::lock_guard<std::mutex> lock(state.connectionMutex);
        return Unreachable(state);
    });
}
