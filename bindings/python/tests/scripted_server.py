"""A lighting server in a thread that answers each method with a fixed JSON object: for the answers the
reference server never gives (its own error codes, failures of its own)."""
from __future__ import annotations

import json
import os
import socket
import struct
import threading
from typing import Dict, List

RENDEZVOUS = "VeltariLumaneth/{7C1D5E90-3B62-4F8A-9E07-2D4B6A81C3F5}"


def _listen(path: str) -> socket.socket:
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(4)
    listener.settimeout(10)
    return listener


def _read(sock: socket.socket) -> bytes:
    def exactly(n: int) -> bytes:
        data = b""
        while len(data) < n:
            chunk = sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("closed")
            data += chunk
        return data
    (length,) = struct.unpack("<I", exactly(4))
    return exactly(length).rstrip(b"\0")


def _write(sock: socket.socket, text: str) -> None:
    payload = text.encode() + b"\0"
    sock.sendall(struct.pack("<I", len(payload)) + payload)


class ScriptedServer:
    def __init__(self, runtime_dir: str, answers: Dict[str, dict]) -> None:
        self.answers = {"VeltraiHandshakeMethod": {"serverVersion": "scripted", "serverProtocolVersion": 9},
                        **answers}
        self.methods: List[str] = []
        directory = os.path.join(runtime_dir, "VeltariLumaneth")
        os.makedirs(directory, mode=0o700, exist_ok=True)
        self._base = os.path.join(runtime_dir, RENDEZVOUS)
        self._private = os.path.join(directory, "scripted")
        self._listeners = [_listen(self._base + "_in"), _listen(self._base + "_out")]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self) -> None:
        try:
            rendezvous_in, _ = self._listeners[0].accept()
            rendezvous_out, _ = self._listeners[1].accept()
            _read(rendezvous_in)  # the client's identity
            private = [_listen(self._private + suffix) for suffix in ("_out", "_in", "_callback")]
            _write(rendezvous_out, "\\\\.\\pipe\\VeltariLumaneth\\scripted")
            responses, requests, self.notifications = (listener.accept()[0] for listener in private)
            while True:
                method = json.loads(_read(requests)).get("method", "")
                self.methods.append(method)
                _write(responses, json.dumps(self.answers.get(method, {"errorCode": 100})))
        except (OSError, ConnectionError, ValueError):
            pass
