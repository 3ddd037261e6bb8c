"""The exceptions: one class per error code the library documents, VeltariError for any other."""
from __future__ import annotations

from typing import Dict, Optional, Tuple, Type

# What the reference server's own codes mean; another server may use them differently.
_SERVER_CODES = {
    100: "it does not know this request, or its protocol is older than the request",
    101: "another application holds control of the lighting",
    102: "the request was not understood",
}


class VeltariError(Exception):
    """A call failed. `code` is the library's error code (a server's own codes are passed on unchanged);
    `code` 0 means the server refused without giving a code."""

    code: int

    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code

    # Keeps pickling (and so multiprocessing) working with the extra argument.
    def __reduce__(self) -> Tuple[Type["VeltariError"], Tuple[int, str]]:
        return (type(self), (self.code, str(self)))


class ServerUnreachable(VeltariError, ConnectionError):
    """No working connection to the lighting server (code 1). Call veltari.handshake() to reconnect."""


class ServerFailure(VeltariError):
    """The server reported a failure of its own (code 2)."""


class NoHandshake(VeltariError):
    """No handshake has been answered yet in this process (code 3): call veltari.handshake() first."""


class ProtocolTooOld(VeltariError):
    """The server speaks an older protocol than the call needs (code 4)."""


class BadArgument(VeltariError, ValueError):
    """An argument is out of range, or the server has no such device, LED or property (code 5)."""


_CLASSES: Dict[int, Type[VeltariError]] = {
    1: ServerUnreachable, 2: ServerFailure, 3: NoHandshake, 4: ProtocolTooOld, 5: BadArgument}


def error_for(code: int, what: str = "", detail: Optional[str] = None) -> VeltariError:
    """The exception for error `code` of the step `what` ("setting colours"); `detail` says more."""
    cls = _CLASSES.get(code, VeltariError)
    if code == 0:
        text = "the server refused the request"
    elif code == 1:
        text = ("the lighting server is not running or stopped answering (it gave no answer within 5 "
                "seconds); call veltari.handshake() again to reconnect")
    elif code == 2:
        text = "the server reported a failure of its own"
    elif code == 3:
        text = "no handshake yet: call veltari.handshake() first"
    elif code == 4:
        text = "the server's protocol is too old for this"
    elif code == 5:
        text = "bad argument"
    else:
        text = f"the server reported error code {code}"
        if code in _SERVER_CODES:
            text += f" ({_SERVER_CODES[code]})"
    if detail:
        text += f": {detail}"
    if what:
        text = f"{what} failed: {text}"
    return cls(code, text)
