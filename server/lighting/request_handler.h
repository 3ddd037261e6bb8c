// Answers one request of one client: reads the method and its parameters, changes the lighting state and
// builds the single response. Knows nothing of pipes or threads; the server calls it under its lock.
#pragma once

#include <string>

#include "json/json.h"
#include "lighting/device_catalog.h"
#include "lighting/lighting_state.h"

namespace sdk {

// Codes the server puts in "errorCode". 0 and 5 mean to the application what the library's own codes of
// those values mean; the others are this server's own.
enum ServerErrorCode : int {
    kServerOk = 0,
    // A parameter is missing, of the wrong kind or out of range, or names a device, LED, key or property
    // that the server does not have.
    kServerBadArgument = 5,
    // The method is not known, or is newer than the protocol version the server speaks.
    kServerUnknownMethod = 100,
    // Control is held by another client.
    kServerControlHeld = 101,
    // The request is JSON but not an object with a "method" text.
    kServerMalformedRequest = 102,
};

struct ServerIdentity {
    std::string version = "1.0.0";
    int protocolVersion = 9;
    bool breakingChanges = false;
};

// What a request did beyond its response, for the server to act on once the response is sent.
struct RequestEffects {
    bool registeredForKeys = false;
    bool lightingChanged = false;
};

// The lowest protocol version that has the method; -1 for a method this server does not know.
int MethodMinimumProtocol(const std::string& method);

class RequestHandler {
public:
    RequestHandler(const DeviceCatalog& catalog, LightingState& lighting, ServerIdentity identity);

    Json Handle(ClientId client, const Json& request, RequestEffects& effects);

    const ServerIdentity& Identity() const { return identity_; }

private:
    Json Handshake(const Json& params);
    Json DeviceCount();
    Json DeviceInfo(const Json& params);
    Json LedPositions();
    Json LedPositionsByDeviceIndex(const Json& params);
    Json LedIdForKeyName(const Json& params);
    Json SetLedsColors(ClientId client, const Json& params, RequestEffects& effects);
    Json GetLedsColors(const Json& params);
    Json GetLedsColorsByDeviceIndex(const Json& params);
    Json FlushBuffer(ClientId client, const Json& params, RequestEffects& effects);
    Json AcquireControl(ClientId client, const Json& params, RequestEffects& effects);
    Json ReleaseControl(ClientId client, const Json& params, RequestEffects& effects);
    Json SetLayerPriority(ClientId client, const Json& params, RequestEffects& effects);
    Json GetProperty(const Json& params, PropertyKind kind);
    Json RegisterKeypressCallback(RequestEffects& effects);

    const DeviceCatalog& catalog_;
    LightingState& lighting_;
    ServerIdentity identity_;
};

}  // namespace sdk
