#include "lighting/request_handler.h"

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "api/protocol.h"
#include "lighting/colour_list.h"

namespace sdk {
namespace {

// A JSON number that is a whole int32; anything else is not a usable index or id.
std::optional<int> WholeNumber(const Json& value) {
    if (value.Type() != kJsonNumber) return std::nullopt;
    const double d = value.AsDouble();
    if (!std::isfinite(d) || std::floor(d) != d || d < std::numeric_limits<int>::min() ||
        d > std::numeric_limits<int>::max()) {
        return std::nullopt;
    }
    return static_cast<int>(d);
}

Json ErrorOnly(int code) {
    Json response;
    response["errorCode"] = Json(code);
    return response;
}

Json WithResult(int code, Json result) {
    Json response;
    response["errorCode"] = Json(code);
    response["result"] = std::move(result);
    return response;
}

Json Flag(int code, bool result) {
    return WithResult(code, Json(result));
}

Json PositionJson(const LedDescription& led, double top, double left) {
    Json entry;
    entry["ledId"] = Json(led.ledId);
    entry["top"] = Json(top);
    entry["left"] = Json(left);
    entry["height"] = Json(led.height);
    entry["width"] = Json(led.width);
    return entry;
}

bool IsColourValue(int v) {
    return v >= 0 && v <= 255;
}

Rgb ToRgb(const LedColour& c) {
    return Rgb{static_cast<std::uint8_t>(c.r), static_cast<std::uint8_t>(c.g),
               static_cast<std::uint8_t>(c.b)};
}

// A colour list to be set: parsed, every LED known (on the given device, when one is given) and every
// value in 0 to 255. Nullopt otherwise.
std::optional<std::vector<LedColour>> ColoursToSet(const DeviceCatalog& catalog, const Json& text,
                                                   int device) {
    if (text.Type() != kJsonString) return std::nullopt;
    auto colours = ParseColourList(text.AsString());
    if (!colours) return std::nullopt;
    for (const LedColour& c : *colours) {
        const auto location = catalog.FindLed(c.ledId);
        if (!location || (device >= 0 && location->device != device)) return std::nullopt;
        if (!IsColourValue(c.r) || !IsColourValue(c.g) || !IsColourValue(c.b)) return std::nullopt;
    }
    return colours;
}

}  // namespace

int MethodMinimumProtocol(const std::string& method) {
    for (const auto& entry : kProtocolMethods) {
        if (method == entry.name) return entry.minimumProtocol;
    }
    return -1;
}

RequestHandler::RequestHandler(const DeviceCatalog& catalog, LightingState& lighting, ServerIdentity identity)
    : catalog_(catalog), lighting_(lighting), identity_(std::move(identity)) {}

Json RequestHandler::Handle(ClientId client, const Json& request, RequestEffects& effects) {
    if (request.Type() != kJsonObject || request.At("method").Type() != kJsonString)
        return ErrorOnly(kServerMalformedRequest);
    const std::string method = request.At("method").AsString();
    const int minimum = MethodMinimumProtocol(method);
    if (minimum < 0 || minimum > identity_.protocolVersion) return ErrorOnly(kServerUnknownMethod);
    const Json& params = request.At("params");

    if (method == "VeltraiHandshakeMethod") return Handshake(params);
    if (method == "VeltariGetDeviceCount") return DeviceCount();
    if (method == "VeltariGetDeviceInfo") return DeviceInfo(params);
    if (method == "VeltariGetLedPositions") return LedPositions();
    if (method == "VeltariGetLedPositionsByDeviceIndex") return LedPositionsByDeviceIndex(params);
    if (method == "VeltariGetLedIdForKeyName") return LedIdForKeyName(params);
    if (method == "VeltariSetLedsColors") return SetLedsColors(client, params, effects);
    if (method == "VeltariGetLedsColors") return GetLedsColors(params);
    if (method == "VeltariGetLedsColorsByDeviceIndex") return GetLedsColorsByDeviceIndex(params);
    if (method == "VeltariSetLedsColorsFlushBuffer") return FlushBuffer(client, params, effects);
    if (method == "InternalAquireAccessMode") return AcquireControl(client, params, effects);
    if (method == "VeltraiReleaseControlMethod") return ReleaseControl(client, params, effects);
    if (method == "VeltariSetLayerPriority") return SetLayerPriority(client, params, effects);
    if (method == "VeltariGetBoolPropertyValue") return GetProperty(params, PropertyKind::kBool);
    if (method == "VeltariGetInt32PropertyValue") return GetProperty(params, PropertyKind::kInt32);
    if (method == "VeltariRegisterKeypressCallback") return RegisterKeypressCallback(effects);
    return ErrorOnly(kServerUnknownMethod);
}

Json RequestHandler::Handshake(const Json& /*params*/) {
    // The client's protocol version is not judged: the client decides whether it can go on.
    Json response;
    response["serverVersion"] = Json(identity_.version);
    response["serverProtocolVersion"] = Json(identity_.protocolVersion);
    response["breakingChanges"] = Json(identity_.breakingChanges);
    return response;
}

Json RequestHandler::DeviceCount() {
    return WithResult(kServerOk, Json(catalog_.DeviceCount()));
}

Json RequestHandler::DeviceInfo(const Json& params) {
    const auto index = WholeNumber(params.At("deviceIndex"));
    const DeviceDescription* device = index ? catalog_.Device(*index) : nullptr;
    if (device == nullptr) return WithResult(kServerBadArgument, Json());

    Json info;
    info["type"] = Json(device->type);
    info["model"] = Json(device->model);
    info["physicalLayout"] = Json(device->physicalLayout);
    info["logicalLayout"] = Json(device->logicalLayout);
    info["capsMask"] = Json(device->capsMask);
    info["ledsCount"] = Json(static_cast<int>(device->leds.size()));
    if (!device->channels.empty()) {
        Json channels;
        for (const auto& channel : device->channels) {
            Json entry;
            entry["totalLedsCount"] = Json(channel.TotalLedCount());
            Json devices;
            for (const auto& attached : channel.devices) {
                Json item;
                item["type"] = Json(attached.type);
                item["deviceLedCount"] = Json(attached.ledCount);
                devices.Append(std::move(item));
            }
            entry["devices"] = std::move(devices);
            channels.Append(std::move(entry));
        }
        info["channels"] = std::move(channels);
    }
    return WithResult(kServerOk, std::move(info));
}

Json RequestHandler::LedPositions() {
    // Every device's LEDs, placed on the virtual desk so that they share one coordinate space.
    Json positions;
    for (const auto& device : catalog_.Devices()) {
        for (const auto& led : device.leds) {
            positions.Append(
                PositionJson(led, device.placementTop + led.top, device.placementLeft + led.left));
        }
    }
    return WithResult(kServerOk, std::move(positions));
}

Json RequestHandler::LedPositionsByDeviceIndex(const Json& params) {
    const auto index = WholeNumber(params.At("deviceIndex"));
    const DeviceDescription* device = index ? catalog_.Device(*index) : nullptr;
    if (device == nullptr) return WithResult(kServerBadArgument, Json());
    Json positions;
    for (const auto& led : device->leds) positions.Append(PositionJson(led, led.top, led.left));
    return WithResult(kServerOk, std::move(positions));
}

Json RequestHandler::LedIdForKeyName(const Json& params) {
    const auto character = WholeNumber(params.At("keyName"));
    const int ledId = character ? catalog_.LedIdForKeyName(*character) : 0;
    return WithResult(ledId != 0 ? kServerOk : kServerBadArgument, Json(ledId));
}

Json RequestHandler::SetLedsColors(ClientId client, const Json& params, RequestEffects& effects) {
    const auto colours = ColoursToSet(catalog_, params.At("ledsColors"), -1);
    if (!colours) return Flag(kServerBadArgument, false);
    for (const LedColour& c : *colours) lighting_.SetColour(client, c.ledId, ToRgb(c));
    effects.lightingChanged = effects.lightingChanged || !colours->empty();
    return Flag(kServerOk, true);
}

Json RequestHandler::GetLedsColors(const Json& params) {
    Json failure;
    failure["errorCode"] = Json(static_cast<int>(kServerBadArgument));
    failure["ledsColors"] = Json();
    const Json& text = params.At("ledsColors");
    if (text.Type() != kJsonString) return failure;
    auto colours = ParseColourList(text.AsString());
    if (!colours) return failure;
    for (LedColour& c : *colours) {
        if (!catalog_.HasLed(c.ledId)) return failure;
        const Rgb visible = lighting_.Visible(c.ledId);
        c.r = visible.r;
        c.g = visible.g;
        c.b = visible.b;
    }
    Json response;
    response["errorCode"] = Json(static_cast<int>(kServerOk));
    response["ledsColors"] = Json(FormatColourList(*colours));
    return response;
}

Json RequestHandler::GetLedsColorsByDeviceIndex(const Json& params) {
    Json failure;
    failure["errorCode"] = Json(static_cast<int>(kServerBadArgument));
    failure["ledsColors"] = Json();
    const auto index = WholeNumber(params.At("deviceIndex"));
    if (!index || catalog_.Device(*index) == nullptr) return failure;
    const Json& text = params.At("ledsColors");
    if (text.Type() != kJsonString) return failure;
    auto colours = ParseColourList(text.AsString());
    if (!colours) return failure;
    for (LedColour& c : *colours) {
        const auto location = catalog_.FindLed(c.ledId);
        if (!location || location->device != *index) return failure;
        const Rgb visible = lighting_.Visible(c.ledId);
        c.r = visible.r;
        c.g = visible.g;
        c.b = visible.b;
    }
    Json response;
    response["errorCode"] = Json(static_cast<int>(kServerOk));
    response["ledsColors"] = Json(FormatColourList(*colours));
    return response;
}

Json RequestHandler::FlushBuffer(ClientId client, const Json& params, RequestEffects& effects) {
    if (params.Type() != kJsonObject) return Flag(kServerBadArgument, false);
    const Json& list = params.At("ledsColorsByDeviceIndex");
    // An empty buffer arrives as null: nothing to apply.
    if (list.IsNull()) return Flag(kServerOk, true);
    if (list.Type() != kJsonArray) return Flag(kServerBadArgument, false);

    // Everything is checked before anything is applied, so a refused flush changes nothing.
    std::vector<LedColour> all;
    for (int i = 0; i < list.Size(); ++i) {
        const Json& entry = list.At(i);
        const auto index = WholeNumber(entry.At("deviceIndex"));
        if (!index || catalog_.Device(*index) == nullptr) return Flag(kServerBadArgument, false);
        const auto colours = ColoursToSet(catalog_, entry.At("ledColors"), *index);
        if (!colours) return Flag(kServerBadArgument, false);
        all.insert(all.end(), colours->begin(), colours->end());
    }
    for (const LedColour& c : all) lighting_.SetColour(client, c.ledId, ToRgb(c));
    effects.lightingChanged = effects.lightingChanged || !all.empty();
    return Flag(kServerOk, true);
}

Json RequestHandler::AcquireControl(ClientId client, const Json& params, RequestEffects& effects) {
    const auto mode = WholeNumber(params.At("accessMode"));
    if (!mode || *mode != 0) return Flag(kServerBadArgument, false);
    if (!lighting_.RequestControl(client)) return Flag(kServerControlHeld, false);
    effects.lightingChanged = true;
    return Flag(kServerOk, true);
}

Json RequestHandler::ReleaseControl(ClientId client, const Json& params, RequestEffects& effects) {
    const auto mode = WholeNumber(params.At("accessMode"));
    if (!mode || *mode != 0) return Flag(kServerBadArgument, false);
    // Giving back the lighting also takes the client's colours away, whether or not it held control.
    lighting_.ReleaseControl(client);
    effects.lightingChanged = true;
    return Flag(kServerOk, true);
}

Json RequestHandler::SetLayerPriority(ClientId client, const Json& params, RequestEffects& effects) {
    const auto priority = WholeNumber(params.At("layerPriority"));
    if (!priority || *priority < kMinLayerPriority || *priority > kMaxLayerPriority)
        return Flag(kServerBadArgument, false);
    lighting_.SetPriority(client, *priority);
    effects.lightingChanged = true;
    return Flag(kServerOk, true);
}

Json RequestHandler::GetProperty(const Json& params, PropertyKind kind) {
    // A refusal carries no "result": its presence is what tells the client that a value came back.
    const auto index = WholeNumber(params.At("deviceIndex"));
    const auto id = WholeNumber(params.At("propertyId"));
    const DeviceDescription* device = index ? catalog_.Device(*index) : nullptr;
    if (device == nullptr || !id) return ErrorOnly(kServerBadArgument);
    const PropertyDescription* property = device->FindProperty(*id);
    if (property == nullptr || property->kind != kind) return ErrorOnly(kServerBadArgument);
    if (kind == PropertyKind::kBool) return WithResult(kServerOk, Json(property->value != 0));
    return WithResult(kServerOk, Json(property->value));
}

Json RequestHandler::RegisterKeypressCallback(RequestEffects& effects) {
    effects.registeredForKeys = true;
    return ErrorOnly(kServerOk);
}

}  // namespace sdk
