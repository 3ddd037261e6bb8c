// The server's method names, exactly as the server knows them (odd spellings included).
#pragma once

namespace sdk {

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

}  // namespace sdk
