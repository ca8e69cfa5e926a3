"""Shared fixtures: the built module and a pseudo-terminal device peer."""

import os
import select
import sys
import time
import tty

import pytest

_MODULE_DIR = os.environ.get(
    "KIVRA_MODULE_DIR",
    os.path.join(os.path.dirname(__file__), "..", "..", "build", "pypy", "python"),
)
sys.path.insert(0, os.path.abspath(_MODULE_DIR))


class PtyPeer:
    """The device side of a pseudo-terminal; the library opens `path`."""

    def __init__(self):
        self.master, self._slave = os.openpty()
        # Raw from the start so that bytes sent before the library configures
        # the port are not cooked by the line discipline.
        tty.setraw(self._slave)
        self.path = os.ttyname(self._slave)
        os.set_blocking(self.master, False)

    def send(self, data):
        data = bytes(data)
        while data:
            try:
                written = os.write(self.master, data)
                data = data[written:]
            except BlockingIOError:
                select.select([], [self.master], [], 0.1)
        time.sleep(0.005)

    def receive(self, count, timeout=1.0):
        """Up to `count` bytes the library wrote, within `timeout` seconds."""
        got = b""
        deadline = time.monotonic() + timeout
        while len(got) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.master], [], [], left)
            if not ready:
                break
            try:
                got += os.read(self.master, count - len(got))
            except (BlockingIOError, OSError):
                break
        return got

    def drain(self, settle=0.05):
        return self.receive(1 << 20, timeout=settle)

    def close(self):
        for fd in (self.master, self._slave):
            try:
                os.close(fd)
            except OSError:
                pass


@pytest.fixture
def peer():
    p = PtyPeer()
    yield p
    p.close()


@pytest.fixture(scope="session")
def api():
    import KivraHardwareAPI

    return KivraHardwareAPI
