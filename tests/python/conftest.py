"""Shared fixtures: the built module, a pseudo-terminal device peer and the emulator."""

import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import time
import tty

import pytest

_MODULE_DIR = os.environ.get(
    "KIVRA_MODULE_DIR",
    os.path.join(os.path.dirname(__file__), "..", "..", "build", "pypy", "python"),
)
sys.path.insert(0, os.path.abspath(_MODULE_DIR))
REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

# How much slower than a plain build on an idle machine this run may be
# (sanitizers, emulation); every upper bound on wall-clock time is widened by it.
TIME_SCALE = max(1.0, float(os.environ.get("KIVRA_TIME_SCALE") or 1))


def bound(seconds):
    """An upper bound [s] on wall-clock time, widened for a slow run."""
    return seconds * TIME_SCALE


# Answers for a device that speaks only when asked. It runs in a process of
# its own because many calls keep the interpreter lock while they wait for
# the reply, so no thread of the waiting interpreter could write it. Once it
# runs it is the only reader of the master: whatever the library writes is
# passed on to the test through a pipe, and each arrival answers the oldest
# reply still waiting, so queued replies answer successive requests in order.
_RESPONDER = r"""
import os, select, struct, sys

master, requests, replies = map(int, sys.argv[1:])
waiting, framed, listening = [], b"", True


def take_replies(block):
    global framed
    if not block and not select.select([replies], [], [], 0)[0]:
        return True
    chunk = os.read(replies, 65536)
    framed += chunk
    while len(framed) >= 4 and len(framed) >= 4 + struct.unpack_from("<I", framed)[0]:
        size = struct.unpack_from("<I", framed)[0]
        waiting.append(framed[4:4 + size])
        framed = framed[4 + size:]
    return bool(chunk)


def write_all(fd, data):
    while data:
        try:
            data = data[os.write(fd, data):]
        except BlockingIOError:
            select.select([], [fd], [], 0.1)


while True:
    ready = select.select([replies] + ([master] if listening else []), [], [])[0]
    if replies in ready and not take_replies(True):
        break
    if master not in ready:
        continue
    try:
        request = os.read(master, 65536)
    except BlockingIOError:
        continue
    except OSError:
        listening = False
        continue
    # A reply queued before this request was written may not have been
    # seen yet: the pipe is looked at once more before answering.
    if not take_replies(False):
        break
    if waiting:
        write_all(master, waiting.pop(0))
    write_all(requests, request)
"""


class PtyPeer:
    """The device side of a pseudo-terminal; the library opens `path`."""

    def __init__(self):
        self.master, self._slave = os.openpty()
        # Raw from the start so that bytes sent before the library configures
        # the port are not cooked by the line discipline.
        tty.setraw(self._slave)
        self.path = os.ttyname(self._slave)
        os.set_blocking(self.master, False)
        self._incoming = self.master
        self._responder = None
        self._replies = None

    def send_on_request(self, data):
        """Sends `data` once the library writes its next request.

        From the first call on, requests reach `receive` through the
        responder; what the library wrote before should be read first, as it
        would count as a request.
        """
        if self._responder is None:
            self._start_responder()
        data = bytes(data)
        frame = struct.pack("<I", len(data)) + data
        while frame:
            frame = frame[os.write(self._replies, frame):]

    def _start_responder(self):
        requests_read, requests_write = os.pipe()
        replies_read, replies_write = os.pipe()
        # A small interpreter starts faster than PyPy does.
        python = shutil.which("python3") or sys.executable
        fds = (self.master, requests_write, replies_read)
        self._responder = subprocess.Popen(
            [python, "-I", "-S", "-c", _RESPONDER] + [str(fd) for fd in fds], pass_fds=fds
        )
        os.close(requests_write)
        os.close(replies_read)
        self._incoming = requests_read
        self._replies = replies_write

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
            ready, _, _ = select.select([self._incoming], [], [], left)
            if not ready:
                break
            try:
                chunk = os.read(self._incoming, count - len(got))
            except (BlockingIOError, OSError):
                break
            if not chunk:
                break
            got += chunk
        return got

    def drain(self, settle=0.05):
        return self.receive(1 << 20, timeout=settle)

    def close(self):
        responder, self._responder = self._responder, None
        if responder is not None:
            # The end of the reply pipe tells the responder to leave.
            os.close(self._replies)
            try:
                responder.wait(timeout=5)
            except subprocess.TimeoutExpired:
                responder.kill()
                responder.wait()
            os.close(self._incoming)
        for fd in (self.master, self._slave):
            try:
                os.close(fd)
            except OSError:
                pass


def descriptors_on(path):
    """This process's descriptors open on the file at path."""
    target = os.stat(path)
    held = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            st = os.stat("/proc/self/fd/" + fd)
        except OSError:
            continue
        if (st.st_dev, st.st_ino) == (target.st_dev, target.st_ino):
            held.append(fd)
    return held


def children(pid):
    """The processes that pid's main thread started."""
    with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
        return [int(child) for child in f.read().split()]


@pytest.fixture
def peer():
    p = PtyPeer()
    yield p
    p.close()


@pytest.fixture(scope="session")
def api():
    import KivraHardwareAPI

    return KivraHardwareAPI


def _emulator_program():
    candidates = [os.environ.get("KIVRA_EMULATOR")]
    module_dir = os.environ.get("KIVRA_MODULE_DIR")
    if module_dir:
        candidates.append(os.path.join(module_dir, "..", "emulator", "kivra-emulator"))
    # The CPython build has no tools; the PyPy build's emulator serves both.
    candidates.append(os.path.join(REPO, "build", "pypy", "emulator", "kivra-emulator"))
    for candidate in candidates:
        if candidate and os.access(candidate, os.X_OK):
            return os.path.abspath(candidate)
    pytest.fail("kivra-emulator is not built (looked at %s)" % ", ".join(c for c in candidates if c))


class Emulator:
    def __init__(self, *options):
        self.process = subprocess.Popen(
            [_emulator_program(), *options],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        ready, _, _ = select.select([self.process.stdout], [], [], 10.0)
        self.path = self.process.stdout.readline().decode().strip() if ready else ""

    def stop(self, signal_number=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(signal_number)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return self.process.returncode

    def stderr_text(self):
        self.stop()
        return self.process.stderr.read().decode()

    def close(self):
        self.stop()
        self.process.stdout.close()
        self.process.stderr.close()


@pytest.fixture
def emulator():
    started = []

    def start(*options):
        instance = Emulator(*options)
        started.append(instance)
        assert instance.path.startswith("/dev/"), instance.stderr_text()
        return instance

    yield start
    for instance in started:
        instance.close()
