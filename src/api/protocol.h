// What the library and the lighting server agree on, shared with the reference server and the CLI: the
// method names, exactly as the server knows them (odd spellings included), the oldest server protocol
// each call needs, and the range of LED ids.
#pragma once

namespace sdk {

// LED ids run from 0 to this (a server may keep 0 for "no LED").
inline constexpr int kMaxLedId = 911;

// The oldest server protocol that knows the call.
inline constexpr int kReleaseControlMinProtocol = 2;
inline constexpr int kPositionsByDeviceMinProtocol = 3;
inline constexpr int kGetColorsMinProtocol = 4;
inline constexpr int kLayerPriorityMinProtocol = 4;
inline constexpr int kKeyPressMinProtocol = 4;
inline constexpr int kBufferMinProtocol = 5;
inline constexpr int kColorsByDeviceMinProtocol = 5;
inline constexpr int kPropertiesMinProtocol = 6;

inline constexpr char kMethodHandshake[] = "VeltraiHandshakeMethod";
inline constexpr char kMethodGetDeviceCount[] = "VeltariGetDeviceCount";
inline constexpr char kMethodGetDeviceInfo[] = "VeltariGetDeviceInfo";
inline constexpr char kMethodGetLedPositions[] = "VeltariGetLedPositions";
inline constexpr char kMethodGetLedPositionsByDeviceIndex[] = "VeltariGetLedPositionsByDeviceIndex";
inline constexpr char kMethodGetLedIdForKeyName[] = "VeltariGetLedIdForKeyName";
inline constexpr char kMethodSetLedsColors[] = "VeltariSetLedsColors";
inline constexpr char kMethodGetLedsColors[] = "VeltariGetLedsColors";
inline constexpr char kMethodGetLedsColorsByDeviceIndex[] = "VeltariGetLedsColorsByDeviceIndex";
inline constexpr char kMethodSetLedsColorsFlushBuffer[] = "VeltariSetLedsColorsFlushBuffer";
inline constexpr char kMethodRequestControl[] = "InternalAquireAccessMode";
inline constexpr char kMethodReleaseControl[] = "VeltraiReleaseControlMethod";
inline constexpr char kMethodSetLayerPriority[] = "VeltariSetLayerPriority";
inline constexpr char kMethodGetBoolPropertyValue[] = "VeltariGetBoolPropertyValue";
inline constexpr char kMethodGetInt32PropertyValue[] = "VeltariGetInt32PropertyValue";
inline constexpr char kMethodRegisterKeypressCallback[] = "VeltariRegisterKeypressCallback";

// Every method with the protocol version that brought it (0: known to every server).
struct ProtocolMethod {
    const char* name;
    int minimumProtocol;
};
inline constexpr ProtocolMethod kProtocolMethods[] = {
    {kMethodHandshake, 0},
    {kMethodGetDeviceCount, 0},
    {kMethodGetDeviceInfo, 0},
    {kMethodGetLedPositions, 0},
    {kMethodGetLedIdForKeyName, 0},
    {kMethodSetLedsColors, 0},
    {kMethodRequestControl, 0},
    {kMethodReleaseControl, kReleaseControlMinProtocol},
    {kMethodGetLedPositionsByDeviceIndex, kPositionsByDeviceMinProtocol},
    {kMethodGetLedsColors, kGetColorsMinProtocol},
    {kMethodSetLayerPriority, kLayerPriorityMinProtocol},
    {kMethodRegisterKeypressCallback, kKeyPressMinProtocol},
    {kMethodGetLedsColorsByDeviceIndex, kColorsByDeviceMinProtocol},
    {kMethodSetLedsColorsFlushBuffer, kBufferMinProtocol},
    {kMethodGetBoolPropertyValue, kPropertiesMinProtocol},
    {kMethodGetInt32PropertyValue, kPropertiesMinProtocol},
};

}  // namespace sdk
