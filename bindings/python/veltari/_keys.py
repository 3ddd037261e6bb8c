"""Key presses: one library registration per connection feeding any number of Python subscribers, and
what every callback from a library thread needs (reporting errors, staying alive, interpreter exit)."""
from __future__ import annotations

import ctypes
import itertools
import queue
import threading
from typing import Any, Callable, Iterator, Optional, Tuple, cast

from ._errors import error_for
from . import _library
from ._library import KeyPressCallback
from ._types import KeyEvent

KeyCallback = Callable[[KeyEvent], Any]


def report(exception: BaseException) -> None:
    """Reports an exception raised on a library thread the way Python reports one that ends a thread
    (threading.excepthook, which prints it unless replaced), and carries on."""
    try:
        hook_args = threading.ExceptHookArgs(
            (type(exception), exception, exception.__traceback__, threading.current_thread()))
        threading.excepthook(hook_args)
    except BaseException:  # noqa: B036 - a broken hook must not take the library thread down
        pass


def immortal(callback: Any) -> Any:
    """Keeps a ctypes callback alive for the rest of the process. The library may call it until it is
    unloaded, which happens after the interpreter has cleared the modules that would otherwise hold it."""
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(callback))
    return callback


_lock = threading.Lock()
_subscribers: Tuple[KeyCallback, ...] = ()
# Each registration with the library gets a new number as its context; only the current one delivers.
# A registration the library still holds from before (one that failed, or one made again on the same
# connection) then cannot deliver an event twice.
_generations = itertools.count(1)
_current = 0
_armed = False
_closing = False


def _delivered(context: Optional[int], key_id: int, pressed: bool) -> None:
    # Runs on the library's key thread, one event at a time.
    if _closing or context != _current:
        return
    event = KeyEvent(key_id, bool(pressed))
    for subscriber in _subscribers:
        try:
            subscriber(event)
        except BaseException as exception:  # noqa: B036 - reported, never lost, never into C
            report(exception)


_DELIVERED = immortal(KeyPressCallback(_delivered))


def _arm() -> None:
    """Registers with the library on this connection unless already done. Called without _lock: the
    library's registration waits while key callbacks run, and a callback may take _lock (to cancel)."""
    global _current, _armed
    with _lock:
        if _armed:
            return
        generation = _current = next(_generations)
    if not _library.lib.VeltariRegisterKeypressCallback(_DELIVERED, generation):
        code = _library.lib.VeltariGetLastError()
        detail = "key presses need a server of protocol 4 or later" if code == 4 else None
        raise error_for(code, "registering for key presses", detail)
    with _lock:
        # Two threads arming at once both register; only the newer registration delivers.
        if _current == generation:
            _armed = True


def connection_lost() -> None:
    """The library has no connection: a later one starts without registrations."""
    global _armed
    with _lock:
        _armed = False


def connected_anew() -> None:
    """A handshake made a new connection: registers again when anybody listens."""
    global _armed
    with _lock:
        _armed = False
        listening = bool(_subscribers)
    if listening:
        _arm()


class KeySubscription:
    """A callback receiving key events until cancelled; also a context manager that cancels on exit."""

    def __init__(self, callback: KeyCallback) -> None:
        self._callback: Optional[KeyCallback] = callback

    def cancel(self) -> None:
        """Stops deliveries to the callback; an event being delivered at the moment may still arrive."""
        global _subscribers
        with _lock:
            if self._callback is not None:
                # Removes this subscription's own entry; the same function may be subscribed twice.
                index = next(i for i, s in enumerate(_subscribers) if s is self._callback)
                _subscribers = _subscribers[:index] + _subscribers[index + 1:]
                self._callback = None

    @property
    def active(self) -> bool:
        return self._callback is not None

    def __enter__(self) -> "KeySubscription":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.cancel()


def on_key(callback: KeyCallback) -> KeySubscription:
    """Calls `callback(event)` for every key press and release, on a library thread, until the returned
    subscription is cancelled. An exception from the callback is reported through threading.excepthook
    and delivery goes on. Subscriptions stay across reconnects made with veltari.handshake().

    Raises NoHandshake, ServerUnreachable or ProtocolTooOld (key presses need protocol 4) when the
    library cannot deliver key presses now; nothing stays subscribed then."""
    global _subscribers
    if not callable(callback):
        raise TypeError("the key callback must be callable")
    subscription = KeySubscription(callback)
    with _lock:
        _subscribers = _subscribers + (callback,)
    try:
        _arm()
    except BaseException:
        subscription.cancel()
        raise
    return subscription


class KeyEvents:
    """Key events as a queue to loop over: `for event in events` blocks for each next event, get()
    takes one with an optional timeout. close() (or leaving the `with` block) stops the subscription
    and ends every loop over it."""

    _END = object()

    def __init__(self) -> None:
        self._queue: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        self._subscription = on_key(self._queue.put)

    def get(self, timeout: Optional[float] = None) -> KeyEvent:
        """The next event; raises queue.Empty after `timeout` seconds without one, or once closed."""
        item = self._queue.get(timeout=timeout)
        if item is self._END:
            self._queue.put(item)  # every other reader ends too
            raise queue.Empty
        return cast(KeyEvent, item)

    def __iter__(self) -> Iterator[KeyEvent]:
        while True:
            try:
                yield self.get()
            except queue.Empty:
                return

    def close(self) -> None:
        if self._subscription.active:
            self._subscription.cancel()
            self._queue.put(self._END)

    def __enter__(self) -> "KeyEvents":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()


def key_events() -> KeyEvents:
    """Subscribes a queue of key events; see KeyEvents. Raises as on_key does."""
    return KeyEvents()


def closing() -> None:
    """From now on no user callback is called: the interpreter is exiting."""
    global _closing
    _closing = True
