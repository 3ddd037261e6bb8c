#!/usr/bin/env python3
"""breathe: the keyboard breathes in one colour for a few seconds.

    breathe.py [SECONDS] [COLOUR]        COLOUR: #RRGGBB, #RGB or a name such as orange

The Python twin of breathe.c, in the usual shape of a Veltari program: one handshake at the start, the
LEDs from the server's LED positions, one call per frame, and a new handshake whenever the server has
gone away.
"""
import sys
import time

import veltari


def connect(seconds: float) -> bool:
    """Performs the handshake, trying for at most `seconds`."""
    try:
        details = veltari.handshake(timeout=seconds)
    except veltari.ServerUnreachable:
        return False
    print(f"connected: server {details.server_version} (protocol {details.server_protocol_version}), "
          f"library {details.sdk_version}", flush=True)
    return True


def main() -> int:
    seconds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    try:
        colour = veltari.parse_color(sys.argv[2] if len(sys.argv) > 2 else "#00A0FF")
    except (ValueError, TypeError) as error:
        print(f"breathe: {error}", file=sys.stderr)
        return 2
    if not connect(5):
        print("breathe: no lighting server is running", file=sys.stderr)
        return 1

    # Without a device, the server lists the LEDs of every device.
    leds = [position.led_id for position in veltari.led_positions()]
    if not leds:
        print("breathe: the server lists no LEDs", file=sys.stderr)
        return 1

    fps = 25
    shown = reconnects = 0
    for frame in range(seconds * fps):
        # Up and down once every two seconds.
        phase = (frame % (2 * fps)) / (2.0 * fps)
        level = 0.1 + 0.9 * (2 * phase if phase < 0.5 else 2 - 2 * phase)
        rgb = colour.scaled(level)
        try:
            veltari.set_colors(dict.fromkeys(leds, rgb))
            shown += 1
        except veltari.ServerUnreachable:
            # The library never reconnects by itself: a new handshake does.
            print(f"server lost at frame {frame}, performing the handshake again", flush=True)
            if not connect(10):
                print("breathe: the server did not come back", file=sys.stderr)
                break
            reconnects += 1
        except veltari.VeltariError as error:
            print(f"breathe: the server refused the colours: {error}", file=sys.stderr)
            break
        time.sleep(1 / fps)
    print(f"{shown} frames shown on {len(leds)} LEDs, {reconnects} reconnects")
    return 0 if shown > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
