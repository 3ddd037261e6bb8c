"""Veltari lighting from Python: drive the RGB lighting of keyboards, mice, headsets and LED strips
through the Veltari lighting server.

    import veltari
    veltari.handshake()                                  # connect; raises ServerUnreachable without a server
    veltari.set_colors({veltari.led_id_for_key("W"): "red"})
    with veltari.key_events() as events:
        for event in events: print(event.key_id, event.pressed)

Every function raises VeltariError (or one of its subclasses) when the library reports a failure. All
of them may be called from any thread; callbacks run on the library's threads.
"""
from ._api import (Colors, LedKey, buffer_colors, control, device_count, device_info, device_properties,
                   devices, flush_colors, flush_colors_async, get_colors, get_property, handshake,
                   led_id_for_key, led_positions, library_path, release_control, request_control, set_colors,
                   set_colors_async, set_layer_priority)
from ._colors import COLOR_NAMES, Color, ColorLike, parse_color
from ._errors import (BadArgument, NoHandshake, ProtocolTooOld, ServerFailure, ServerUnreachable,
                      VeltariError)
from ._keys import KeyEvents, KeySubscription, key_events, on_key
from ._types import (Capability, Channel, ChannelDevice, DeviceInfo, DeviceProperties, DeviceType, KeyEvent,
                     LedPosition, Property, ProtocolDetails)

__version__ = "3.0.214"

SDK_PROTOCOL_VERSION = 9
MAX_LED_ID = 911

__all__ = [
    "BadArgument", "COLOR_NAMES", "Capability", "Channel", "ChannelDevice", "Color", "ColorLike", "Colors",
    "DeviceInfo", "DeviceProperties", "DeviceType", "KeyEvent", "KeyEvents", "KeySubscription", "LedKey",
    "LedPosition", "MAX_LED_ID", "NoHandshake", "Property", "ProtocolDetails", "ProtocolTooOld",
    "SDK_PROTOCOL_VERSION", "ServerFailure", "ServerUnreachable", "VeltariError", "buffer_colors",
    "control", "device_count", "device_info", "device_properties", "devices", "flush_colors",
    "flush_colors_async", "get_colors", "get_property", "handshake", "key_events", "led_id_for_key",
    "led_positions", "library_path", "on_key", "parse_color", "release_control", "request_control", "set_colors",
    "set_colors_async", "set_layer_priority",
]
