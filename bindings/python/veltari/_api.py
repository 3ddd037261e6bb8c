"""The calls: each wraps one or more of the library's functions and turns failures into exceptions."""
from __future__ import annotations

import atexit
import contextlib
import ctypes
import itertools
import operator
import os
import struct
import sys
import threading
import time
import warnings
from array import array
from concurrent.futures import Future
from typing import Any, Dict, Iterable, Iterator, List, Mapping, NoReturn, Optional, Tuple, Union, cast

from . import _keys, _library
from ._colors import Color, ColorLike, parse_color
from ._errors import BadArgument, ServerUnreachable, VeltariError, error_for
from ._library import AsyncCallback
from ._types import (BOOL_PROPERTY, INT32_PROPERTY, Capability, Channel, ChannelDevice, DeviceInfo,
                     DeviceProperties, DeviceType, LedPosition, Property, ProtocolDetails)

LedKey = Union[int, str]
"""An LED: its id (0 to 911), or a letter key 'A' to 'Z' / 'a' to 'z', looked up with led_id_for_key."""

Colors = Union[Mapping[LedKey, ColorLike], Iterable[Tuple[Any, ...]]]
"""{led: colour}, or an iterable of (led, r, g, b) or (led, colour)."""


def _last_error() -> int:
    return int(_library.lib.VeltariGetLastError())


_server_protocol = 0  # as the last answered handshake reported it, for messages only

_BAD_COLORS = ("LED ids run from 0 to 911, name LEDs the server has and appear once each; intensities run "
               "from 0 to 255")


def library_path() -> str:
    """The file of the Veltari library this package loaded."""
    return _library.PATH


def _raise(what: str, min_protocol: int = 0, bad: Optional[str] = None) -> NoReturn:
    """Raises the exception for the calling thread's last error, which the failed call just set."""
    code = _last_error()
    detail = None
    if code == 4 and min_protocol:
        detail = (f"it needs a server of protocol {min_protocol} or later, and the server speaks protocol "
                  f"{_server_protocol}")
    elif code == 5:
        detail = bad
    raise error_for(code, what, detail)


def _int32(value: Any, name: str) -> int:
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not -0x80000000 <= number <= 0x7FFFFFFF:
        raise BadArgument(5, f"bad argument: {name} {number} is out of range")
    return number


def _text(raw: Optional[bytes]) -> str:
    return raw.decode("utf-8", "replace") if raw is not None else ""


# ---- handshake and devices -------------------------------------------------------------------------


def handshake(timeout: float = 0.0) -> ProtocolDetails:
    """Connects to the lighting server (reconnecting after a lost connection) and exchanges protocol
    versions. Call it first, and again whenever a call raises ServerUnreachable. With `timeout`, keeps
    trying for that many seconds while no server answers. Key-press subscriptions survive a reconnect.

    Raises ServerUnreachable when no server answered."""
    global _server_protocol
    deadline = time.monotonic() + timeout
    while True:
        # The library forgets key-press registrations when the handshake has to connect anew; whether it
        # will is seen beforehand from a call that tests the connection and then fails on its argument,
        # sending nothing.
        connection_alive = not _library.lib.VeltariReleaseControl(1) and _last_error() == 5
        raw = _library.lib.VeltariPerformProtocolHandshake()
        if raw.serverVersion is not None:
            break
        _keys.connection_lost()
        if time.monotonic() >= deadline:
            raise ServerUnreachable(1, "no lighting server answered the handshake: is it running? (on Linux "
                                       "it must use the same XDG_RUNTIME_DIR as this program)")
        time.sleep(min(0.25, max(0.0, deadline - time.monotonic())))
    _server_protocol = raw.serverProtocolVersion
    if not connection_alive:
        try:
            _keys.connected_anew()
        except VeltariError as error:
            warnings.warn(f"key presses will not be delivered: {error}", RuntimeWarning, stacklevel=2)
    return ProtocolDetails(sdk_version=_text(raw.sdkVersion), server_version=_text(raw.serverVersion),
                           sdk_protocol_version=raw.sdkProtocolVersion,
                           server_protocol_version=raw.serverProtocolVersion,
                           breaking_changes=bool(raw.breakingChanges))


def device_count() -> int:
    """How many devices the server has; their indices run from 0 to the count minus 1."""
    count: int = _library.lib.VeltariGetDeviceCount()
    if count < 0:
        _raise("counting devices")
    return count


def device_info(index: int) -> DeviceInfo:
    """Type, model, layouts, capabilities, LED count and channels of device `index`.
    Raises BadArgument when the server has no such device."""
    index = _int32(index, "the device index")
    pointer = _library.lib.VeltariGetDeviceInfo(index)
    if not pointer:
        _raise("reading device info", bad=f"the server has no device {index}")
    info = pointer.contents
    channels = []
    for i in range(max(0, info.channelsCount) if info.channels else 0):
        channel = info.channels[i]
        attached = tuple(ChannelDevice(type=channel.devices[j].type, led_count=channel.devices[j].deviceLedCount)
                         for j in range(max(0, channel.devicesCount) if channel.devices else 0))
        channels.append(Channel(total_led_count=channel.totalLedsCount, devices=attached))
    try:
        kind: Union[DeviceType, int] = DeviceType(info.type)
    except ValueError:
        kind = info.type
    return DeviceInfo(index=index, type=kind, model=_text(info.model), physical_layout=info.physicalLayout,
                      logical_layout=info.logicalLayout, caps=Capability(info.capsMask), led_count=info.ledsCount,
                      channels=tuple(channels))


def devices() -> List[DeviceInfo]:
    """Every device's description, in index order."""
    return [device_info(i) for i in range(device_count())]


_POSITION = struct.Struct("=i4x4d")  # VeltariLedPosition: int, padding to the doubles, four doubles


def led_positions(device: Optional[int] = None) -> List[LedPosition]:
    """Where the LEDs sit: those the server lists without a device (the reference server: every
    device's, on one desk), or those of device `device` (needs protocol 3)."""
    if device is None:
        pointer = _library.lib.VeltariGetLedPositions()
        if not pointer:
            _raise("reading LED positions")
    else:
        device = _int32(device, "the device index")
        pointer = _library.lib.VeltariGetLedPositionsByDeviceIndex(device)
        if not pointer:
            _raise("reading LED positions", 3, f"the server has no device {device}")
    positions = pointer.contents
    if positions.positionsCount <= 0 or not positions.positions:
        return []
    data = ctypes.string_at(positions.positions, positions.positionsCount * _POSITION.size)
    return [LedPosition(*fields) for fields in _POSITION.iter_unpack(data)]


def led_id_for_key(letter: str) -> Optional[int]:
    """The LED of a letter key ('A' to 'Z' or 'a' to 'z', sent as given), or None when the server knows
    none. Raises BadArgument for anything but one ASCII letter."""
    if not isinstance(letter, str):
        raise TypeError(f"a key is a one-letter str, not {type(letter).__name__}")
    if len(letter) != 1 or not letter.isascii():
        raise BadArgument(5, f"looking up a key failed: bad argument: {letter!r} is not one letter A to Z")
    led: int = _library.lib.VeltariGetLedIdForKeyName(letter.encode("ascii"))
    if led == 0:
        if _last_error() != 0:
            _raise("looking up a key", bad=f"{letter!r} is not a letter A to Z")
        return None
    return led


# ---- colours -----------------------------------------------------------------------------------------


def _led_id(key: Any) -> int:
    if isinstance(key, str):
        led = led_id_for_key(key)
        if led is None:
            raise BadArgument(5, f"bad argument: the server knows no LED for the key {key!r}")
        return led
    return _int32(key, "an LED id")


def _pack_slowly(items: Iterable[Any], is_mapping: bool) -> bytes:
    flat: List[int] = []
    for item in items:
        if is_mapping:
            key, color = item
        else:
            item = tuple(item)
            if len(item) == 4:
                key, color = item[0], item[1:]
            elif len(item) == 2:
                key, color = item
            else:
                raise TypeError(f"{item!r} is neither (led, r, g, b) nor (led, colour)")
        try:
            rgb = parse_color(color)
        except ValueError as error:
            raise BadArgument(5, f"bad argument: {error}") from None
        flat.append(_led_id(key))
        flat.extend(rgb)
    return struct.pack(f"={len(flat)}i", *flat)


_NATIVE_UTF32 = "utf-32-le" if sys.byteorder == "little" else "utf-32-be"


def _pack(colors: Colors) -> Tuple[int, bytes]:
    """The colours as consecutive VeltariLedColor records (four C ints each) in one buffer.

    A dict of int ids to (r, g, b) triples, the common case, is packed by C-level steps only, with no
    Python-level loop and no per-record ctypes object: zip splits the triples into columns (checking
    that each has three), bytes() turns each column into bytes (checking 0 to 255), struct the ids into
    16-bit units; slice assignment interleaves them as the 16-bit units of the records, and decoding
    them as UTF-16 and encoding as UTF-32 widens every unit to the C int of the record. Anything else
    (texts, names, letter keys, record lists, values out of range) takes the general path, which also
    says what is wrong."""
    if isinstance(colors, Mapping):
        count = len(colors)
        try:
            r, g, b = zip(*colors.values(), strict=True)
            units = bytearray(8 * count)
            ids = struct.pack(f"<{count}H", *colors)
            units[0::8] = ids[0::2]
            units[1::8] = ids[1::2]
            units[2::8] = bytes(r)
            units[4::8] = bytes(g)
            units[6::8] = bytes(b)
            text = units.decode("utf-16-le")  # an id in the surrogate range fails here
            return count, text.encode(_NATIVE_UTF32)
        except (TypeError, ValueError, struct.error):
            pass
        packed = _pack_slowly(colors.items(), True)
    elif isinstance(colors, (str, bytes)):
        raise TypeError("colours are a mapping {led: colour} or an iterable of (led, r, g, b)")
    else:
        packed = _pack_slowly(colors, False)
    return len(packed) // 16, packed


def _nonempty(count: int, what: str) -> None:
    if count == 0:
        raise BadArgument(5, f"{what} failed: bad argument: no LEDs given")


def set_colors(colors: Colors) -> None:
    """Sets LED colours now and waits for the server's answer.

    `colors` is {led: colour} or an iterable of (led, r, g, b) / (led, colour); an LED is an id 0 to 911
    or a letter key, a colour (r, g, b), '#RRGGBB', '#RGB' or a name ('red', 'warmwhite', ...)."""
    count, packed = _pack(colors)
    _nonempty(count, "setting colours")
    if not _library.lib.VeltariSetLedsColors(count, packed):
        _raise("setting colours", bad=_BAD_COLORS)


def get_colors(leds: Iterable[LedKey], device: Optional[int] = None) -> Dict[Any, Color]:
    """The current colours of `leds` (ids or letter keys), keyed as given. With `device`, reads that
    device's LEDs (needs protocol 5); without, any LEDs (needs protocol 4)."""
    keys = list(leds)
    _nonempty(len(keys), "reading colours")
    try:
        ids = array("i", cast(List[int], keys))
    except (TypeError, OverflowError):
        ids = array("i", map(_led_id, keys))
    records = array("i", bytes(16 * len(keys)))
    records[0::4] = ids
    address = records.buffer_info()[0]
    if device is None:
        ok = _library.lib.VeltariGetLedsColors(len(keys), address)
        minimum = 4
    else:
        ok = _library.lib.VeltariGetLedsColorsByDeviceIndex(_int32(device, "the device index"), len(keys), address)
        minimum = 5
    if not ok:
        _raise("reading colours", minimum,
               "LED ids run from 0 to 911 and may each appear once, and the device must have them")
    return dict(zip(keys, map(Color, records[1::4], records[2::4], records[3::4])))


def buffer_colors(device: int, colors: Colors) -> None:
    """Stores colours for one device in the process-wide colour buffer, sending nothing; a later colour
    for the same LED of the same device replaces the earlier one. Send with flush_colors() or
    flush_colors_async(). Needs protocol 5 and a live connection."""
    device = _int32(device, "the device index")
    count, packed = _pack(colors)
    _nonempty(count, "buffering colours")
    if not _library.lib.VeltariSetLedsColorsBufferByDeviceIndex(device, count, packed):
        _raise("buffering colours", 5, _BAD_COLORS + "; device indices are 0 or more")


def flush_colors() -> None:
    """Sends everything in the colour buffer, for all devices, in one request, and waits for the answer.
    The buffer is emptied also when the exchange then fails. Needs protocol 5."""
    if not _library.lib.VeltariSetLedsColorsFlushBuffer():
        _raise("flushing the colour buffer", 5, "the server refused a device or LED of the buffer")


# ---- asynchronous calls ------------------------------------------------------------------------------

_pending: Dict[int, Tuple["Future[None]", str]] = {}
_pending_lock = threading.Lock()
_pending_done = threading.Condition(_pending_lock)
_next_context = itertools.count(1)


def _completed(context: Optional[int], result: bool, error: int) -> None:
    # Runs on a library thread. Nothing may escape into C.
    try:
        with _pending_lock:
            future, what = _pending.pop(context or 0)
            _pending_done.notify_all()
        if result:
            future.set_result(None)
        else:
            future.set_exception(error_for(error, what, _BAD_COLORS if error == 5 else None))
    except BaseException as exception:  # noqa: B036 - reported, never lost
        _keys.report(exception)


# One trampoline for every call, alive for the whole process: the library may call it until it unloads,
# which is after the interpreter has gone.
_COMPLETED = _keys.immortal(AsyncCallback(_completed))


def _start(what: str, call: Any) -> "Future[None]":
    future: "Future[None]" = Future()
    future.set_running_or_notify_cancel()  # a queued request cannot be taken back
    context = next(_next_context)
    with _pending_lock:
        _pending[context] = (future, what)
    if not call(context):
        with _pending_lock:
            del _pending[context]
        _raise(what, 5, _BAD_COLORS)
    return future


def set_colors_async(colors: Colors) -> "Future[None]":
    """Queues colours and returns at once. A library thread sends everything queued within 10 ms in one
    request (a later colour for the same LED wins). The future completes with None when the server
    accepted them, or with the VeltariError of the outcome (ServerUnreachable when no server answered);
    asyncio code can await asyncio.wrap_future(future). Raises at once, queuing nothing, for bad
    arguments or before the handshake."""
    count, packed = _pack(colors)
    _nonempty(count, "setting colours")
    return _start("setting colours",
                  lambda context: _library.lib.VeltariSetLedsColorsAsync(count, packed, _COMPLETED, context))


def flush_colors_async() -> "Future[None]":
    """Hands the whole colour buffer to a library thread and returns at once; the future tells the
    outcome, as with set_colors_async. Needs protocol 5."""
    return _start("flushing the colour buffer",
                  lambda context: _library.lib.VeltariSetLedsColorsFlushBufferAsync(_COMPLETED, context))


def wait_for_pending(timeout: float) -> bool:
    """Waits until every asynchronous call has completed; False when `timeout` seconds passed first."""
    with _pending_lock:
        return _pending_done.wait_for(lambda: not _pending, timeout)


# ---- control, layer priority and properties ----------------------------------------------------------


def request_control() -> None:
    """Takes exclusive control of the lighting: while held, only this program's colours are shown."""
    if not _library.lib.VeltariRequestControl(0):
        code = _last_error()
        detail = "another application may hold control" if code == 0 else None
        raise error_for(code, "requesting control", detail)


def release_control() -> None:
    """Gives back control taken with request_control() (needs protocol 2)."""
    if not _library.lib.VeltariReleaseControl(0):
        _raise("releasing control", 2)


@contextlib.contextmanager
def control() -> Iterator[None]:
    """Holds exclusive control of the lighting for the `with` block, releasing it on the way out (also
    when the block raised; a server that went away has released it already)."""
    request_control()
    try:
        yield
    except BaseException:
        with contextlib.suppress(VeltariError):
            release_control()
        raise
    with contextlib.suppress(ServerUnreachable):
        release_control()


def set_layer_priority(priority: int) -> None:
    """Sets the priority, 0 to 255, of this program's lighting layer: the highest layer that set an LED
    is shown. Needs protocol 4."""
    if not _library.lib.VeltariSetLayerPriority(_int32(priority, "the layer priority")):
        _raise("setting the layer priority", 4, "the priority runs from 0 to 255")


def get_property(device: int, property_id: Union[Property, int]) -> Union[bool, int]:
    """One property of device `device`: a bool for ids carrying 0x1000, an int for ids carrying 0x2000.
    Raises BadArgument when the device has no such property. Needs protocol 6."""
    device = _int32(device, "the device index")
    property_id = _int32(property_id, "the property id")
    what = f"reading property {property_id:#x} of device {device}"
    bad = f"device {device} has no property {property_id:#x}"
    if property_id & BOOL_PROPERTY:
        flag = ctypes.c_bool()
        if not _library.lib.VeltariGetBoolPropertyValue(device, property_id, ctypes.byref(flag)):
            _raise(what, 6, bad)
        return flag.value
    if property_id & INT32_PROPERTY:
        number = ctypes.c_int()
        if not _library.lib.VeltariGetInt32PropertyValue(device, property_id, ctypes.byref(number)):
            _raise(what, 6, bad)
        return number.value
    raise BadArgument(5, f"{what} failed: bad argument: a property id carries 0x1000 (boolean) or 0x2000 "
                         "(integer)")


def device_properties(device: int) -> DeviceProperties:
    """The reference server's named properties of device `device`; those it lacks are None."""
    values: Dict[str, Union[bool, int]] = {}
    for prop in Property:
        try:
            values[prop.name.lower()] = get_property(device, prop)
        except BadArgument:
            pass
    return DeviceProperties(**values)  # type: ignore[arg-type]


def _at_exit() -> None:
    # Before the interpreter goes away: asynchronous calls in flight get their outcomes, user callbacks
    # stop being called, and the library is unloaded while its threads can still finish a callback.
    _keys.closing()
    if os.getpid() != _LOADED_IN:
        return  # a forked child: the library's threads stayed in the parent
    wait_for_pending(6.0)
    library = _library.lib
    _library.lib = _library.UNLOADED
    _library.unload(library)
    with _pending_lock:
        left = list(_pending.values())
        _pending.clear()
    for future, what in left:
        future.set_exception(ServerUnreachable(1, f"{what} failed: the interpreter exited first"))


_LOADED_IN = os.getpid()
# Registered at import: atexit functions run last-registered first, so a program's own exit functions,
# registered after it imported veltari, can still use the library.
atexit.register(_at_exit)
