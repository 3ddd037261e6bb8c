// Key-press notifications: registering callbacks and delivering each notification to all of them.
#include <string>

#include "api/boundary.h"
#include "api/exchange.h"
#include "veltari.h"

using namespace sdk;

namespace {

// Runs on the connection's dispatcher thread, one notification at a time. The callbacks are called from
// a copy of the registry, with its mutex released: a callback may register another callback (which
// takes that mutex) or send a request (which takes the connection mutex, which a registration holds
// while it takes the registry mutex).
void DeliverKeyPress(KeyPressRegistry& registry, const std::string& text) {
    if (text.empty()) {
        return;
    }
    const Json message = Json::Parse(text);
    const auto key = static_cast<VeltariKeyId>(message.At("vendorKey").AsInt());
    const bool pressed = message.At("pressed").AsBool();
    KeyPressDispatchScope scope;
    for (const auto& entry : registry.Snapshot()) {
        entry->callback(entry->context, key, pressed);
    }
}

}  // namespace

bool VeltariRegisterKeypressCallback(VeltariKeyPressCallback callback, void* context) {
    return Guarded(false, [&]() -> bool {
        if (!HandshakeDone()) {
            return Fail(VeltariErrorNoHandshake, false);
        }
        if (callback == nullptr) {
            return Fail(VeltariErrorBadArgument, false);
        }
        // Held to the end, so two registrations cannot both find the connection without a handler.
        Exchange exchange;
        if (!exchange.Gate()) {
            return Fail(VeltariErrorServerUnreachable, false);
        }
        if (ServerProtocolVersion() < kKeyPressMinProtocol) {
            return Fail(VeltariErrorServerProtocolTooOld, false);
        }
        ClientState& state = State();
        // Registered whatever follows: a later successful registration makes it heard.
        state.keyPresses.Add(callback, context);
        if (state.connection->HasNotificationHandler()) {
            return Fail(VeltariErrorSuccess, true);
        }
        const auto answer = exchange.SendRequest(kMethodRegisterKeypressCallback);
        if (!answer) {
            return false;
        }
        if (!ReadErrorCodeDecides(*answer)) {
            return false;
        }
        // A callback may make the first asynchronous colour call; unload must then stop that worker
        // before it destroys the connection whose thread runs the callback.
        state.colors.StopWorkersAtUnload();
        KeyPressRegistry* registry = &state.keyPresses;
        state.connection->SetNotificationHandler(
            [registry](const std::string& text) { DeliverKeyPress(*registry, text); });
        return true;
    });
}
