"""Finding and loading the shared library, and the C declarations of include/veltari.h."""
from __future__ import annotations

import ctypes
import os
import sys
from ctypes import (CFUNCTYPE, POINTER, Structure, c_bool, c_char, c_char_p, c_double, c_int,
                    c_void_p)
from typing import Any, Callable, List, Optional

if sys.platform == "win32":
    LIBRARY_NAME = "veltari.dll"
elif sys.platform == "darwin":
    LIBRARY_NAME = "libveltari.3.dylib"
else:
    LIBRARY_NAME = "libveltari.so.3"

ENVIRONMENT_VARIABLE = "VELTARI_LIBRARY"


class ProtocolDetails(Structure):
    _fields_ = [("sdkVersion", c_char_p), ("serverVersion", c_char_p), ("sdkProtocolVersion", c_int),
                ("serverProtocolVersion", c_int), ("breakingChanges", c_bool)]


class ChannelDevice(Structure):
    _fields_ = [("type", c_int), ("deviceLedCount", c_int)]


class Channel(Structure):
    _fields_ = [("totalLedsCount", c_int), ("devicesCount", c_int), ("devices", POINTER(ChannelDevice))]


class DeviceInfo(Structure):
    _fields_ = [("type", c_int), ("model", c_char_p), ("physicalLayout", c_int), ("logicalLayout", c_int),
                ("capsMask", c_int), ("ledsCount", c_int), ("channelsCount", c_int),
                ("channels", POINTER(Channel))]


class LedPosition(Structure):
    _fields_ = [("ledId", c_int), ("top", c_double), ("left", c_double), ("height", c_double),
                ("width", c_double)]


class LedPositions(Structure):
    _fields_ = [("positionsCount", c_int), ("positions", POINTER(LedPosition))]


class LedColor(Structure):
    _fields_ = [("ledId", c_int), ("r", c_int), ("g", c_int), ("b", c_int)]


AsyncCallback = CFUNCTYPE(None, c_void_p, c_bool, c_int)
KeyPressCallback = CFUNCTYPE(None, c_void_p, c_int, c_bool)


def _candidates() -> List[str]:
    """Where the library may be, in the order tried after VELTARI_LIBRARY: beside the package (a copy
    inside it, or the library directory of the prefix it was installed into), then the system loader."""
    here = os.path.dirname(os.path.abspath(__file__))
    places = [os.path.join(here, LIBRARY_NAME)]
    try:
        # Written by `cmake --install`: where the prefix keeps its library.
        from . import _installed  # type: ignore[attr-defined]
    except ImportError:
        pass
    else:
        for relative in _installed.LIBRARY_DIRS:
            places.append(os.path.normpath(os.path.join(here, relative, LIBRARY_NAME)))
    return places


def load() -> ctypes.CDLL:
    tried: List[str] = []
    explicit = os.environ.get(ENVIRONMENT_VARIABLE)
    if explicit:
        # A library named explicitly is the one meant: failing to load it is an error, not a reason to
        # pick another one silently.
        try:
            return ctypes.CDLL(explicit)
        except OSError as error:
            raise ImportError(f"the Veltari library named by {ENVIRONMENT_VARIABLE}={explicit} could not be "
                              f"loaded: {error}") from error
    tried.append(f"{ENVIRONMENT_VARIABLE} (not set)")
    for path in _candidates():
        if not os.path.exists(path):
            tried.append(f"{path} (no such file)")
            continue
        try:
            return ctypes.CDLL(path)
        except OSError as error:
            tried.append(f"{path} ({error})")
    try:
        return ctypes.CDLL(LIBRARY_NAME)
    except OSError as error:
        tried.append(f"{LIBRARY_NAME} through the system loader ({error})")
    raise ImportError("the Veltari library could not be loaded; tried: " + "; ".join(tried) +
                      f". Install the library, or set {ENVIRONMENT_VARIABLE} to its path.")


def _declare(lib: ctypes.CDLL) -> None:
    def f(name: str, restype: Optional[type], *argtypes: type) -> None:
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes

    f("VeltariPerformProtocolHandshake", ProtocolDetails)
    f("VeltariGetLastError", c_int)
    f("VeltariGetDeviceCount", c_int)
    f("VeltariGetDeviceInfo", POINTER(DeviceInfo), c_int)
    f("VeltariGetLedPositions", POINTER(LedPositions))
    f("VeltariGetLedPositionsByDeviceIndex", POINTER(LedPositions), c_int)
    f("VeltariGetLedIdForKeyName", c_int, c_char)
    # Colour arrays go in as plain addresses: the binding packs them into its own buffers.
    f("VeltariSetLedsColors", c_bool, c_int, c_void_p)
    f("VeltariGetLedsColors", c_bool, c_int, c_void_p)
    f("VeltariGetLedsColorsByDeviceIndex", c_bool, c_int, c_int, c_void_p)
    f("VeltariSetLedsColorsBufferByDeviceIndex", c_bool, c_int, c_int, c_void_p)
    f("VeltariSetLedsColorsFlushBuffer", c_bool)
    f("VeltariSetLedsColorsAsync", c_bool, c_int, c_void_p, AsyncCallback, c_void_p)
    f("VeltariSetLedsColorsFlushBufferAsync", c_bool, AsyncCallback, c_void_p)
    f("VeltariRequestControl", c_bool, c_int)
    f("VeltariReleaseControl", c_bool, c_int)
    f("VeltariSetLayerPriority", c_bool, c_int)
    f("VeltariGetBoolPropertyValue", c_bool, c_int, c_int, POINTER(c_bool))
    f("VeltariGetInt32PropertyValue", c_bool, c_int, c_int, POINTER(c_int))
    f("VeltariRegisterKeypressCallback", c_bool, KeyPressCallback, c_void_p)


lib: Any = load()
_declare(lib)
PATH: str = lib._name


class _Unloaded:
    """Stands in for the library once it has been unloaded at interpreter exit."""

    def __getattr__(self, name: str) -> Callable[..., None]:
        def unloaded(*args: object) -> None:
            from ._errors import ServerUnreachable
            raise ServerUnreachable(1, "the Veltari library was unloaded at interpreter exit")
        return unloaded


def unload(library: ctypes.CDLL) -> None:
    """Unloads the library: it stops its threads, joining them, and closes its connection. Called with
    the interpreter still whole, so that a library thread inside a Python callback can finish it; the
    unload the library would otherwise do at process exit comes after the interpreter has gone, and a
    library thread entering Python then is ended in the middle of the library's code."""
    handle = library._handle
    if sys.platform == "win32":
        kernel32 = ctypes.WinDLL("kernel32")
        kernel32.FreeLibrary.argtypes = [c_void_p]
        kernel32.FreeLibrary(handle)  # a foreign call: the GIL is released while the threads are joined
        return
    try:
        dlclose = ctypes.CDLL(None).dlclose
    except AttributeError:
        dlclose = ctypes.CDLL("libdl.so.2").dlclose
    dlclose.argtypes = [c_void_p]
    dlclose(handle)  # not _ctypes.dlclose, which holds the GIL that the joined threads may be waiting for


UNLOADED = _Unloaded()
