"""What is process-wide, each in a new interpreter: calls before any handshake, finding the library,
server error codes, and interpreter exit while the library's threads are calling back."""
from __future__ import annotations

import os
import shutil
import tempfile
import time

from conftest import PACKAGE_ROOT, run_python
from scripted_server import ScriptedServer


def test_before_handshake_and_without_server(runtime_dir):
    code = """
import time, veltari
calls = [veltari.device_count, lambda: veltari.device_info(0), veltari.led_positions,
         lambda: veltari.led_id_for_key("A"), lambda: veltari.set_colors({1: "red"}),
         lambda: veltari.get_colors([1]), lambda: veltari.buffer_colors(0, {1: "red"}), veltari.flush_colors,
         lambda: veltari.set_colors_async({1: "red"}), veltari.flush_colors_async, veltari.request_control,
         veltari.release_control, lambda: veltari.set_layer_priority(1), lambda: veltari.get_property(0, 0x1001),
         lambda: veltari.on_key(print), veltari.key_events]
for call in calls:
    try:
        call()
        print("no error")
    except veltari.NoHandshake as e:
        print("NoHandshake", e.code)
start = time.monotonic()
try:
    veltari.handshake(timeout=0.6)
except veltari.ServerUnreachable as e:
    print("ServerUnreachable", e.code, isinstance(e, ConnectionError), time.monotonic() - start >= 0.6)
"""
    result = run_python(code, runtime_dir=runtime_dir)
    lines = result.stdout.splitlines()
    assert lines[:-1] == ["NoHandshake 3"] * 16, result.stdout + result.stderr
    assert lines[-1] == "ServerUnreachable 1 True True"


def test_library_lookup_order_and_failure():
    result = run_python("import veltari", VELTARI_LIBRARY="/nonexistent/libveltari.so.3")
    assert "ImportError" in result.stderr and "VELTARI_LIBRARY=/nonexistent/libveltari.so.3" in result.stderr

    library = os.environ.get("VELTARI_LIBRARY") or run_python(
        "import veltari; print(veltari.library_path())").stdout.strip()
    with tempfile.TemporaryDirectory() as copy:
        shutil.copytree(os.path.join(PACKAGE_ROOT, "veltari"), os.path.join(copy, "veltari"),
                        ignore=shutil.ignore_patterns("_installed.py", "__pycache__", "*.so*"))
        env = {k: v for k, v in os.environ.items() if k not in ("VELTARI_LIBRARY", "LD_LIBRARY_PATH")}
        probe = "import veltari; print(veltari.library_path())"
        alone = _run(probe, copy, env)
        if alone.returncode != 0:  # no library installed on the system: the message says what was tried
            assert "VELTARI_LIBRARY (not set)" in alone.stderr and "system loader" in alone.stderr
            assert os.path.join(copy, "veltari", "libveltari.so.3") in alone.stderr
        shutil.copy(library, os.path.join(copy, "veltari", "libveltari.so.3"))
        beside = _run(probe, copy, env)
        assert beside.stdout.strip() == os.path.join(copy, "veltari", "libveltari.so.3"), beside.stderr


def _run(code, pythonpath, env):
    import subprocess
    import sys
    return subprocess.run([sys.executable, "-c", code], env=dict(env, PYTHONPATH=pythonpath),
                          capture_output=True, text=True, timeout=60)


def test_server_error_codes_raise_their_classes(runtime_dir):
    ScriptedServer(runtime_dir, {
        "VeltariSetLedsColors": {"errorCode": 2, "result": False},
        "VeltariSetLayerPriority": {"errorCode": 7, "result": False},
        "VeltariRegisterKeypressCallback": {"errorCode": 2},
        "InternalAquireAccessMode": {"result": False},
    })
    code = """
import veltari
veltari.handshake()
for call in (lambda: veltari.set_colors({1: "red"}), lambda: veltari.set_layer_priority(1),
             lambda: veltari.set_colors_async({1: "red"}).result(5), lambda: veltari.on_key(print),
             veltari.request_control):
    try:
        call()
    except veltari.VeltariError as e:
        print(type(e).__name__, e.code, e)
"""
    lines = run_python(code, runtime_dir=runtime_dir).stdout.splitlines()
    assert [line.split()[:2] for line in lines] == [
        ["ServerFailure", "2"], ["VeltariError", "7"], ["ServerFailure", "2"], ["ServerFailure", "2"],
        ["VeltariError", "0"]], lines
    assert "error code 7" in lines[1]


def test_interpreter_exit_with_live_callbacks(server):
    code = """
import sys, threading, time, veltari
veltari.handshake()
inside = threading.Event()
def slow(event):
    inside.set()
    time.sleep(0.3)  # still running in the library's thread when the interpreter exits
def failing(event):
    raise RuntimeError("raised while exiting")
veltari.on_key(slow)
veltari.on_key(failing)
events = veltari.key_events()
pending = veltari.set_colors_async({1: "red"})
inside.wait(10)
print("exiting", flush=True)
sys.exit(3)
"""
    for _ in range(3):
        start = time.monotonic()
        result = run_python(code, timeout=30)
        assert result.returncode == 3 and result.stdout == "exiting\n", result.stderr
        assert time.monotonic() - start < 15
