"""The binding in this process against the reference server: conversions, errors, futures, key events."""
from __future__ import annotations

import asyncio
import dataclasses
import queue
import threading
import time

import pytest

KEYBOARD_IDS = list(range(1, 109))


def test_handshake_devices_positions_properties(veltari):
    details = veltari.handshake()
    assert (details.sdk_version, details.server_version, details.sdk_protocol_version,
            details.server_protocol_version, details.breaking_changes) == ("3.0.214", "1.0.0", 9, 9, False)
    with pytest.raises(dataclasses.FrozenInstanceError):
        details.server_version = "x"

    assert veltari.device_count() == 4
    devices = veltari.devices()
    assert [d.type for d in devices] == [veltari.DeviceType.KEYBOARD, veltari.DeviceType.MOUSE,
                                         veltari.DeviceType.HEADSET, veltari.DeviceType.LED_CONTROLLER]
    assert [d.led_count for d in devices] == [108, 5, 3, 44]
    assert devices[1].model == "Veltari Virtual M5 Mouse"
    assert veltari.Capability.CHANNELS in devices[3].caps and veltari.Capability.CHANNELS not in devices[0].caps
    assert devices[3].channels == (
        veltari.Channel(20, (veltari.ChannelDevice(1, 10), veltari.ChannelDevice(1, 10))),
        veltari.Channel(24, (veltari.ChannelDevice(2, 12), veltari.ChannelDevice(2, 12))))
    assert devices[0].channels == ()

    mouse = veltari.led_positions(1)
    assert [p.led_id for p in mouse] == [201, 202, 203, 204, 205]
    assert all(isinstance(p.top, float) and p.width > 0 for p in mouse)
    everything = {p.led_id for p in veltari.led_positions()}
    assert len(everything) == 160 and {60, 201, 303, 444} <= everything

    assert (veltari.led_id_for_key("A"), veltari.led_id_for_key("q"), veltari.led_id_for_key("Z")) == (60, 39, 76)

    mouse_properties = veltari.device_properties(1)
    assert (mouse_properties.wireless, mouse_properties.dpi, mouse_properties.battery_percent) == (True, 1600, 82)
    assert mouse_properties.mic_enabled is None
    assert veltari.get_property(0, veltari.Property.WIRELESS) is False
    assert veltari.get_property(3, 0x2006) == 2


def test_colours_in_every_form_round_trip(veltari):
    veltari.set_colors({60: (255, 0, 0), "Q": "green", 76: "#0000FF", 1: "#fff", 2: "WarmWhite",
                        3: veltari.Color(1, 2, 3)})
    assert veltari.get_colors([60, "Q", 76, 1, 2, 3]) == {
        60: (255, 0, 0), "Q": (0, 255, 0), 76: (0, 0, 255), 1: (255, 255, 255), 2: (255, 180, 100), 3: (1, 2, 3)}
    veltari.set_colors([(4, 9, 8, 7), (5, "teal"), ("W", (0, 0, 1))])
    got = veltari.get_colors([4, 5], device=0)
    assert got == {4: (9, 8, 7), 5: (0, 128, 128)} and got[5].hex == "#008080"

    # Every LED of every device at once, through the packing path taken by plain dicts of triples.
    leds = [p.led_id for p in veltari.led_positions()]
    colours = {led: (led % 256, led * 7 % 256, led * 13 % 256) for led in leds}
    veltari.set_colors(colours)
    assert veltari.get_colors(leds) == colours
    assert veltari.parse_color("orange") == veltari.COLOR_NAMES["orange"] == (255, 128, 0)


def test_bad_arguments_raise_before_or_from_the_library(veltari):
    bad_argument = [
        lambda: veltari.set_colors({912: "red"}),
        lambda: veltari.set_colors({1: (256, 0, 0)}),
        lambda: veltari.set_colors({1: "no such colour"}),
        lambda: veltari.set_colors({1: "#12345"}),
        lambda: veltari.set_colors({2 ** 40: "red"}),
        lambda: veltari.set_colors({0xD900: (1, 2, 3)}),
        lambda: veltari.set_colors({-1: (1, 2, 3)}),
        lambda: veltari.set_colors({}),
        lambda: veltari.set_colors([(1, 2, 3, 4), (1, 2, 3, 4)]),
        lambda: veltari.get_colors([]),
        lambda: veltari.get_colors([1, 1]),
        lambda: veltari.buffer_colors(-1, {1: "red"}),
        lambda: veltari.set_layer_priority(256),
        lambda: veltari.device_info(99),
        lambda: veltari.device_info(-1),
        lambda: veltari.led_positions(-1),
        lambda: veltari.led_id_for_key("1"),
        lambda: veltari.led_id_for_key("AB"),
        lambda: veltari.get_property(0, 0x0001),
        lambda: veltari.get_property(0, veltari.Property.DPI),
        lambda: veltari.set_colors_async({912: "red"}),
    ]
    for call in bad_argument:
        with pytest.raises(veltari.BadArgument) as caught:
            call()
        assert caught.value.code == 5 and isinstance(caught.value, ValueError)
    with pytest.raises(veltari.BadArgument, match="0 to 911"):
        veltari.set_colors({912: "red"})
    for call in (lambda: veltari.set_colors({1: 5}), lambda: veltari.set_colors("red"),
                 lambda: veltari.device_info("0"), lambda: veltari.set_colors([(1, 2, 3)]),
                 lambda: veltari.set_colors({1: (1, 2), 2: (3, 4, 5, 6)})):
        with pytest.raises(TypeError):
            call()


def test_buffer_flush_and_futures(veltari):
    veltari.buffer_colors(0, {5: "red"})
    veltari.buffer_colors(1, {201: "blue", 202: (1, 1, 1)})
    veltari.flush_colors()
    assert veltari.get_colors([5, 201, 202]) == {5: (255, 0, 0), 201: (0, 0, 255), 202: (1, 1, 1)}

    completed_on = []
    future = veltari.set_colors_async({6: "cyan"})
    future.add_done_callback(lambda f: completed_on.append(threading.get_ident()))
    assert future.result(timeout=5) is None and not future.cancel()
    assert veltari.get_colors([6]) == {6: (0, 255, 255)}
    assert completed_on and completed_on[0] != threading.get_ident()

    veltari.buffer_colors(0, {7: "pink"})
    assert veltari.flush_colors_async().result(timeout=5) is None
    assert veltari.get_colors([7]) == {7: (255, 64, 160)}

    async def from_asyncio():
        await asyncio.gather(asyncio.wrap_future(veltari.set_colors_async({8: "white"})),
                             asyncio.wrap_future(veltari.set_colors_async({9: "yellow"})))
    asyncio.run(from_asyncio())
    assert veltari.get_colors([8, 9]) == {8: (255, 255, 255), 9: (255, 255, 0)}


def test_control_and_layer_priority(veltari):
    from conftest import run_python
    other = "import veltari; veltari.handshake()\ntry:\n veltari.request_control(); print('granted')\n" \
            "except veltari.VeltariError as e: print(type(e).__name__, e.code, e)"
    with veltari.control():
        veltari.set_layer_priority(255)
        refused = run_python(other)
    assert "VeltariError 0" in refused.stdout and "another application" in refused.stdout, refused.stderr
    assert "granted" in run_python(other).stdout
    with pytest.raises(KeyError), veltari.control():
        raise KeyError("released on the way out")
    veltari.request_control()
    veltari.release_control()
    veltari.set_layer_priority(0)


def _drain(events, seconds):
    seen, end = [], time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            seen.append(events.get(timeout=max(0.01, end - time.monotonic())))
        except queue.Empty:
            break
    return seen


def test_key_events_callbacks_queue_and_errors(veltari, monkeypatch):
    reported = []
    monkeypatch.setattr(threading, "excepthook", reported.append)
    threads, got = set(), []

    def failing(event):
        raise RuntimeError("a bug in the callback")

    def recording(event):
        threads.add(threading.get_ident())
        got.append(event)

    once, holder = [], []

    def first_only(event):  # cancels itself from the library's thread
        once.append(event)
        if holder:
            holder[0].cancel()
    holder.append(veltari.on_key(first_only))

    with veltari.on_key(failing), veltari.on_key(recording) as subscription, veltari.key_events() as events:
        first = events.get(timeout=5)
        assert isinstance(first, veltari.KeyEvent) and first.char in ("V", "E", "L")
        seen = [first] + _drain(events, 2.5)
        assert {e.pressed for e in seen} == {True, False}
        # The callback raising before it does not keep later callbacks or later events from arriving.
        assert reported and isinstance(reported[0].exc_value, RuntimeError)
        assert got and threading.get_ident() not in threads
    assert not subscription.active and not holder[0].active
    count, count_once = len(got), len(once)
    time.sleep(1.5)
    assert len(got) == count and len(once) == count_once, "a cancelled subscription was still called"

    with veltari.key_events() as events:
        collected = []

        def loop():
            for event in events:
                collected.append(event)
        reader = threading.Thread(target=loop)
        reader.start()
        time.sleep(1.5)
        events.close()  # ends the loop
        reader.join(5)
    assert not reader.is_alive() and collected


def test_lost_server_fails_calls_and_futures_then_reconnects(veltari, server):
    with veltari.key_events() as events:
        events.get(timeout=5)
        server.stop()
        future = veltari.set_colors_async({1: "red"})
        failure = future.exception(timeout=10)
        assert isinstance(failure, veltari.ServerUnreachable) and failure.code == 1
        assert isinstance(failure, ConnectionError)
        with pytest.raises(veltari.ServerUnreachable):
            veltari.set_colors({1: "red"})
        with pytest.raises(veltari.ServerUnreachable):
            veltari.handshake()

        server.start("--auto-type", "vel", "--key-interval", "20")
        veltari.handshake(timeout=5)
        veltari.handshake()  # on a live connection: must not deliver events twice
        events.get(timeout=5)
        seen = _drain(events, 2.5)
    # Each key goes down and up in turn: a second delivery of one event would repeat it.
    assert seen and all(a != b for a, b in zip(seen, seen[1:]))
    veltari.set_colors({1: "red"})


def test_older_server_raises_protocol_too_old(veltari, server):
    try:
        server.start("--protocol", "3")
        assert veltari.handshake(timeout=5).server_protocol_version == 3
        for call, needs in ((lambda: veltari.get_colors([1]), "protocol 4"),
                            (lambda: veltari.on_key(print), "protocol 4"),
                            (lambda: veltari.buffer_colors(0, {1: "red"}), "protocol 5"),
                            (lambda: veltari.get_property(0, veltari.Property.WIRELESS), "protocol 6")):
            with pytest.raises(veltari.ProtocolTooOld, match=needs) as caught:
                call()
            assert caught.value.code == 4
        veltari.set_colors({1: "red"})  # what protocol 3 has still works
    finally:
        server.start("--auto-type", "vel", "--key-interval", "20")
        veltari.handshake(timeout=5)
