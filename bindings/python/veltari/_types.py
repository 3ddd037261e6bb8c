"""What the calls return: frozen dataclasses and the reference server's codes as enumerations."""
from __future__ import annotations

import enum
from dataclasses import dataclass
from typing import Optional, Tuple, Union


class DeviceType(enum.IntEnum):
    """Device type codes of the reference server. Other servers' codes come back as plain ints."""

    KEYBOARD = 1
    MOUSE = 2
    HEADSET = 3
    LED_CONTROLLER = 4


class Capability(enum.IntFlag):
    """Capability bits of the reference server's devices."""

    LIGHTING = 1
    PROPERTIES = 2
    KEY_PRESSES = 4
    CHANNELS = 8


class Property(enum.IntEnum):
    """Property ids of the reference server. The id carries its value's kind: 0x1000 boolean, 0x2000
    32-bit integer; any such id may be asked for, named here or not."""

    WIRELESS = 0x1001
    MIC_ENABLED = 0x1002
    SURROUND_SOUND = 0x1003
    POLLING_RATE_HZ = 0x2001
    BRIGHTNESS_PERCENT = 0x2002
    BATTERY_PERCENT = 0x2003
    DPI = 0x2004
    EQUALIZER_PRESET = 0x2005
    CHANNEL_COUNT = 0x2006


BOOL_PROPERTY = 0x1000
INT32_PROPERTY = 0x2000


@dataclass(frozen=True)
class ProtocolDetails:
    """What the handshake learnt about both sides."""

    sdk_version: str
    server_version: str
    sdk_protocol_version: int
    server_protocol_version: int
    # True when the server declares its protocol incompatible with the library's; deciding whether to
    # go on is the caller's.
    breaking_changes: bool


@dataclass(frozen=True)
class ChannelDevice:
    """A device attached to a channel of an LED controller."""

    type: int
    led_count: int


@dataclass(frozen=True)
class Channel:
    """One lighting channel of a device, such as one connector of a strip controller."""

    total_led_count: int
    devices: Tuple[ChannelDevice, ...]


@dataclass(frozen=True)
class DeviceInfo:
    """One device as the server describes it."""

    index: int
    type: Union[DeviceType, int]
    model: str
    physical_layout: int
    logical_layout: int
    caps: Capability
    led_count: int
    channels: Tuple[Channel, ...]


@dataclass(frozen=True)
class LedPosition:
    """Where one LED sits, in the server's units (the reference server: millimetres)."""

    led_id: int
    top: float
    left: float
    height: float
    width: float


@dataclass(frozen=True)
class DeviceProperties:
    """The reference server's properties of one device; None where the device has no such property."""

    wireless: Optional[bool] = None
    mic_enabled: Optional[bool] = None
    surround_sound: Optional[bool] = None
    polling_rate_hz: Optional[int] = None
    brightness_percent: Optional[int] = None
    battery_percent: Optional[int] = None
    dpi: Optional[int] = None
    equalizer_preset: Optional[int] = None
    channel_count: Optional[int] = None


@dataclass(frozen=True)
class KeyEvent:
    """A key went down (pressed True) or up. key_id is the server's vendor key: for the reference
    server the usual virtual-key codes, letters and digits being their upper-case character codes."""

    key_id: int
    pressed: bool

    @property
    def char(self) -> Optional[str]:
        """The letter or digit of the key, when it is one."""
        if 0x30 <= self.key_id <= 0x39 or 0x41 <= self.key_id <= 0x5A:
            return chr(self.key_id)
        return None
