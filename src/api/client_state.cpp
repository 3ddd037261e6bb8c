#include "api/client_state.h"

#include <utility>

namespace sdk {

namespace {

std::atomic<ClientState*> g_state{nullptr};
// Serialises load and unload with each other and with the creation of a state by a first call.
std::mutex g_lifecycleMutex;
// Set for the whole of an unload, so that no asynchronous call is accepted in the moment between unload
// beginning and its queue being closed.
std::atomic<bool> g_unloading{false};

}  // namespace

ClientState& State() {
    if (ClientState* state = g_state.load(std::memory_order_acquire)) {
        return *state;
    }
    LoadClientState();
    return *g_state.load(std::memory_order_acquire);
}

bool HandshakeDone() noexcept {
    ClientState* state = g_state.load(std::memory_order_acquire);
    return state != nullptr && state->handshakeDone.load(std::memory_order_acquire);
}

bool UnloadBegun() noexcept {
    return g_unloading.load(std::memory_order_acquire);
}

int ServerProtocolVersion() noexcept {
    ClientState* state = g_state.load(std::memory_order_acquire);
    return state != nullptr ? state->serverProtocolVersion.load(std::memory_order_acquire) : 0;
}

void AtUnloadStopWorker(std::function<void()> stop) {
    ClientState& state = State();
    std::lock_guard<std::mutex> lock(state.workerStopsMutex);
    state.workerStops.push_back(std::move(stop));
}

void LoadClientState() {
    std::lock_guard<std::mutex> lock(g_lifecycleMutex);
    if (g_state.load(std::memory_order_acquire) != nullptr) {
        return;
    }
    g_state.store(new ClientState, std::memory_order_release);
}

void UnloadClientState() {
    std::lock_guard<std::mutex> lifecycle(g_lifecycleMutex);
    ClientState* state = g_state.load(std::memory_order_acquire);
    if (state == nullptr) {
        return;
    }
    g_unloading.store(true, std::memory_order_release);

    std::vector<std::function<void()>> stops;
    {
        std::lock_guard<std::mutex> lock(state->workerStopsMutex);
        stops.swap(state->workerStops);
    }
    for (auto stop = stops.rbegin(); stop != stops.rend(); ++stop) {
        (*stop)();
    }

    // A key-press callback may be waiting for the connection mutex; destroying the connection joins its
    // thread, so that must happen with the mutex free.
    std::unique_ptr<IRpcConnection> connection;
    {
        std::lock_guard<std::mutex> lock(state->connectionMutex);
        connection = std::move(state->connection);
    }
    connection.reset();

    g_state.store(nullptr, std::memory_order_release);
    delete state;
    g_unloading.store(false, std::memory_order_release);
}

void SetConnectionFactory(ConnectionFactory factory) {
    ClientState& state = State();
    std::lock_guard<std::mutex> lock(state.connectionMutex);
    state.connectionFactory = std::move(factory);
}

}  // namespace sdk
