"""The reference server as a child process in a private runtime directory, and helpers to run Python in
a process of its own (for what is process-wide in the library: the handshake, interpreter exit)."""
from __future__ import annotations

import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Iterator, Optional

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_ROOT = os.path.dirname(HERE)
REPO = os.path.dirname(os.path.dirname(PACKAGE_ROOT))

# Before the library is loaded or connects anywhere: this run's own pipes, never a user's server.
RUNTIME_DIR = tempfile.mkdtemp(prefix="veltari-pytest-")
os.environ["XDG_RUNTIME_DIR"] = RUNTIME_DIR
sys.path.insert(0, PACKAGE_ROOT)


def _server_path() -> str:
    path = os.environ.get("VELTARI_SERVER")
    if path:
        return path
    found = sorted(glob.glob(os.path.join(REPO, "build", "*", "server", "veltari-server")), key=os.path.getmtime)
    if not found:
        pytest.exit("no veltari-server: build the project or set VELTARI_SERVER", returncode=2)
    return found[-1]


class ReferenceServer:
    """veltari-server serving RUNTIME_DIR; restartable with other options."""

    def __init__(self) -> None:
        self.path = _server_path()
        self.process: Optional[subprocess.Popen] = None

    def start(self, *options: str) -> None:
        self.stop()
        self.process = subprocess.Popen(
            [self.path, "--no-view", "--no-stdin", "--runtime-dir", RUNTIME_DIR, *options],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        rendezvous = os.path.join(RUNTIME_DIR, "VeltariLumaneth")
        for _ in range(200):
            if os.path.isdir(rendezvous) and any(name.endswith("_out") for name in os.listdir(rendezvous)):
                return
            if self.process.poll() is not None:
                raise RuntimeError(f"veltari-server ended: {self.process.stderr.read().decode()}")
            time.sleep(0.025)
        raise RuntimeError("veltari-server did not start serving")

    def stop(self) -> None:
        if self.process is not None:
            self.process.terminate()
            self.process.wait(10)
            self.process = None


@pytest.fixture(scope="session")
def server() -> Iterator[ReferenceServer]:
    reference = ReferenceServer()
    reference.start("--auto-type", "vel", "--key-interval", "20")
    yield reference
    reference.stop()
    shutil.rmtree(RUNTIME_DIR, ignore_errors=True)


@pytest.fixture
def runtime_dir() -> Iterator[str]:
    """A runtime directory of its own, with a path short enough for the socket names inside it."""
    path = tempfile.mkdtemp(prefix="veltari-")
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def veltari(server: ReferenceServer):
    """The package, connected to the reference server as the test found or left it."""
    import veltari as package

    package.handshake(timeout=5)
    return package


def run_python(code: str, runtime_dir: Optional[str] = None, timeout: float = 60,
               **environment: str) -> subprocess.CompletedProcess:
    """Runs `code` in a new interpreter that imports the package from this tree."""
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, XDG_RUNTIME_DIR=runtime_dir or RUNTIME_DIR, **environment)
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=timeout)
