"""Shared helpers: the package from this source tree, a unique pipe
namespace per test, and a scripted stand-in for the manager's socket."""
import os
import socket
import sys
import threading
import uuid

import pytest

PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO = os.path.dirname(PYTHON_DIR)
sys.path.insert(0, PYTHON_DIR)


@pytest.fixture
def namespace(monkeypatch):
    """A pipe namespace no other test or manager uses."""
    ns = "velmar-py-%d-%s-" % (os.getpid(), uuid.uuid4().hex[:8])
    monkeypatch.setenv("VELMAR_PIPE_NAMESPACE", ns)
    return ns


class FakeManager:
    """Listens where the manager would and runs `script(conn)` for the first
    connection on a thread. conn is a velmar.framing.Channel-like object of
    raw packets: the script decides exactly what goes on the wire."""

    def __init__(self, namespace, script, pipe="VelmarManager", listen=True):
        self.address = "\0" + namespace + pipe
        self.script = script
        self.error = None
        self.received = []
        self.listener = None
        self.thread = None
        if listen:
            self.listen()

    def listen(self):
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.listener.bind(self.address)
        self.listener.listen(4)
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            conn, _ = self.listener.accept()
            with conn:
                conn.settimeout(10)
                self.script(conn)
        except Exception as e:  # reported by finish()
            self.error = e

    def finish(self):
        if self.thread:
            self.thread.join(10)
        if self.listener:
            self.listener.close()
        if self.error:
            raise self.error


def manager_program():
    build = os.environ.get("VELMAR_BUILD_DIR", os.path.join(REPO, "build"))
    return os.path.join(build, "bin", "velmar-manager")
