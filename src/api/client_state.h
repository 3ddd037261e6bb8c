// The process-wide client state: one instance per loaded library, created at load (or by the first call
// that finds none) and torn down in order by UnloadClientState.
//
// Who may touch what:
//   connection, details, connectionFactory,  only with connectionMutex held (use Exchange, exchange.h);
//   exchangeMemory                           only the handshake's connect writes the slot
//   handshakeDone, serverProtocolVersion    read anywhere without a lock; written by the handshake
//   keyPresses, retention, colors           through their own operations (their own mutexes)
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/color_state.h"
#include "api/keypress_registry.h"
#include "api/lifetime.h"
#include "api/retention.h"
#include "json/json.h"
#include "transport/rpc_connection_interface.h"
#include "veltari.h"

namespace sdk {

inline constexpr char kSdkVersion[] = VELTARI_VERSION_STRING;
inline constexpr int kSdkProtocolVersion = 9;

// Makes a ready connection for a client identity, or null when no server can be reached.
using ConnectionFactory = std::function<std::unique_ptr<IRpcConnection>(const std::string& identity)>;

struct ClientState {
    // Held by every exchange (exchange.h) from the gate to the end of its request, and by the handshake
    // for its whole run, so one request is in flight per process and the connection that passed the
    // gate is the one used. Never taken again by a thread that holds it.
    std::mutex connectionMutex;
    std::unique_ptr<IRpcConnection> connection;
    // What the last handshake learnt; returned by copy.
    VeltariProtocolDetails details{};
    // Empty means the transport's bootstrap.
    ConnectionFactory connectionFactory;
    // Kept from one exchange to the next, so that a call made every frame allocates nothing for the
    // texts of its request and answer or the values of the answer.
    struct ExchangeMemory {
        // The most each buffer keeps between calls; one huge message must not stay held until unload.
        static constexpr std::size_t kKeptBytes = JsonDocument::kKeptBytes;
        std::string request;
        std::string answer;
        JsonDocument answerDocument;
    } exchangeMemory;

    // Set by the first handshake that got an answer; never cleared while loaded.
    std::atomic<bool> handshakeDone{false};
    // details.serverProtocolVersion, published for the calls that test it without the mutex.
    std::atomic<int> serverProtocolVersion{0};

    KeyPressRegistry keyPresses;
    RetentionLists retention;

    // Stops of the library's own worker threads, run newest first at unload.
    std::mutex workerStopsMutex;
    std::vector<std::function<void()>> workerStops;

    // Last, so it is destroyed first: its destruction joins the colour workers if unload has not.
    ColorState colors;
};

// The state of the loaded library; creates it when nothing has yet.
ClientState& State();

bool HandshakeDone() noexcept;
// True from the start of an unload to its end: asynchronous calls are refused from then on.
bool UnloadBegun() noexcept;
int ServerProtocolVersion() noexcept;

// Registers the stop of a worker thread of the library's own (for example an asynchronous colour
// worker). The stop must end and join the thread, which must be a LibraryThread (library_thread.h):
// on Windows unload runs under the loader lock, where joining a std::thread never returns. Unload runs
// every stop before it destroys the connection, since a worker may be in the middle of an exchange.
void AtUnloadStopWorker(std::function<void()> stop);

// Test seam: replaces how connect obtains a connection; an empty factory restores the bootstrap.
void SetConnectionFactory(ConnectionFactory factory);

}  // namespace sdk
