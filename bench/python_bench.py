#!/usr/bin/env python3
"""A 912-LED set from Python (veltari.set_colors with a dict) against the same set made from C, side by
side in one run, both through the shared library to one responder process.

    python3 bench/python_bench.py BUILD_DIR [ROUNDS] [CALLS]

BUILD_DIR is a build with -DVELTARI_BUILD_BENCH=ON (scripts/bench.sh makes build/bench). The C client
and the Python side take turns, ROUNDS times CALLS calls each; the figure of each is the median over the
rounds of the median call. Prints a Markdown table.
"""
from __future__ import annotations

import os
import statistics
import subprocess
import sys
import tempfile
import time

TARGET = 2.0
LEDS = 912


def colours():
    return {i: ((i * 37) % 256, (i * 91) % 256, (255 - i) & 255) for i in range(LEDS)}


def median_call_ns(call, calls: int) -> int:
    times = []
    for _ in range(calls):
        start = time.perf_counter_ns()
        call()
        times.append(time.perf_counter_ns() - start)
    return int(statistics.median(times))


def main() -> int:
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/bench")
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    calls = int(sys.argv[3]) if len(sys.argv) > 3 else 2000
    here = os.path.dirname(os.path.abspath(__file__))
    runtime = tempfile.mkdtemp(prefix="veltari-pybench-")
    os.environ["XDG_RUNTIME_DIR"] = runtime
    os.environ.setdefault("VELTARI_LIBRARY", os.path.join(build, "libveltari.so.3"))
    sys.path.insert(0, os.path.join(os.path.dirname(here), "bindings", "python"))

    pipes = dict(stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
    responder = subprocess.Popen([os.path.join(build, "bench", "veltari_python_responder")], **pipes)
    assert responder.stdout.readline().strip() == "ready", "the responder did not start"
    import veltari

    veltari.handshake()
    c_client = subprocess.Popen([os.path.join(build, "bench", "veltari_python_bench_c")], **pipes)
    assert c_client.stdout.readline().strip() == "connected", "the C client did not connect"
    responder.stdin.write("set\n")
    responder.stdout.readline()

    dict_of_triples = colours()
    dict_of_texts = {led: "#%02X%02X%02X" % rgb for led, rgb in dict_of_triples.items()}
    from veltari import _api, _library
    count, records = _api._pack(dict_of_triples)
    call_alone = lambda: _library.lib.VeltariSetLedsColors(count, records)
    c_side, python_side, python_texts, python_call = [], [], [], []
    try:
        for _ in range(rounds):
            c_client.stdin.write(f"{calls}\n")
            c_side.append(int(c_client.stdout.readline()))
            python_side.append(median_call_ns(lambda: veltari.set_colors(dict_of_triples), calls))
            python_call.append(median_call_ns(call_alone, calls))
            python_texts.append(median_call_ns(lambda: veltari.set_colors(dict_of_texts), calls // 10))
    finally:
        c_client.stdin.close()
        responder.stdin.close()
        c_client.wait(10)
        responder.wait(10)

    c_ns = statistics.median(c_side)
    py_ns = statistics.median(python_side)
    texts_ns = statistics.median(python_texts)
    call_ns = statistics.median(python_call)
    ratio = py_ns / c_ns
    print(f"Python {sys.version.split()[0]}, {rounds} rounds of {calls} calls, load average "
          f"{os.getloadavg()[0]:.1f}")
    print()
    print("| measured | against | ratio | target | time | reference time |")
    print("|---|---|---:|---:|---:|---:|")
    verdict = "met" if ratio <= TARGET else "**missed**"
    print(f"| veltari.set_colors, dict of 912 (r, g, b) | VeltariSetLedsColors from C, 912 LEDs | "
          f"{ratio:.3f}x | <= {TARGET:.2f}x {verdict} | {py_ns / 1000:.1f} us | {c_ns / 1000:.1f} us |")
    print(f"| veltari.set_colors, dict of 912 '#RRGGBB' texts | VeltariSetLedsColors from C, 912 LEDs | "
          f"{texts_ns / c_ns:.3f}x | - | {texts_ns / 1000:.1f} us | {c_ns / 1000:.1f} us |")
    print(f"| the library call alone through ctypes, records packed beforehand | VeltariSetLedsColors from C, "
          f"912 LEDs | {call_ns / c_ns:.3f}x | - | {call_ns / 1000:.1f} us | {c_ns / 1000:.1f} us |")
    return 0 if ratio <= TARGET else 1


if __name__ == "__main__":
    sys.exit(main())
