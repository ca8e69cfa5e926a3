"""Runs kivra-emulator for the examples when no port is given.

The emulator prints the path of its pseudo-terminal as its first line and
serves until it is terminated; this module starts it, reads that line and
stops it again.
"""

import contextlib
import importlib.util
import os
import select
import shutil
import signal
import subprocess
import sys
from typing import List, Literal, Optional, Sequence

_REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))


def find_emulator(explicit: Optional[str] = None) -> Optional[str]:
    """Path of the kivra-emulator program, or None when none is built."""
    candidates: List[Optional[str]] = [explicit, os.environ.get("KIVRA_EMULATOR")]
    # Beside the modules of the same build (<build>/python and <build>/emulator),
    # found without importing them.
    for name, levels_up in (("kivra", 3), ("KivraHardwareAPI", 2)):
        found = importlib.util.find_spec(name)
        if found is not None and found.origin:
            build_dir = os.path.abspath(found.origin)
            for _ in range(levels_up):
                build_dir = os.path.dirname(build_dir)
            candidates.append(os.path.join(build_dir, "emulator", "kivra-emulator"))
    candidates.append(os.path.join(_REPO, "build", "pypy", "emulator", "kivra-emulator"))
    candidates.append(shutil.which("kivra-emulator"))
    for candidate in candidates:
        if candidate and os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return os.path.abspath(candidate)
    return None


class EmulatorProcess:
    """A running emulator; use as a context manager. `path` is its port."""

    def __init__(
        self, device: str, *options: str, emulator: Optional[str] = None, realtime_priority: Optional[int] = None
    ) -> None:
        program = find_emulator(emulator)
        if program is None:
            raise RuntimeError("kivra-emulator is not built (bash scripts/build.sh builds it)")
        self.process = subprocess.Popen(
            [program, "--device", device, *options],
            stdout=subprocess.PIPE,
            stdin=subprocess.DEVNULL,
            # A session of its own: Ctrl-C reaches only the example, which
            # then stops the emulator itself.
            start_new_session=True,
        )
        stdout = self.process.stdout
        assert stdout is not None  # stdout=PIPE
        ready, _, _ = select.select([stdout], [], [], 10.0)
        line = stdout.readline().decode().strip() if ready else ""
        if not line:
            self.stop()
            raise RuntimeError("kivra-emulator did not report its port")
        self.path = line
        if realtime_priority is not None:
            # A real device answers on a processor of its own, whatever the
            # host is doing; on a busy host the emulator comes closest to that
            # at a real-time priority. Without the right to it, it runs as it is.
            try:
                os.sched_setscheduler(self.process.pid, os.SCHED_FIFO, os.sched_param(realtime_priority))
            except OSError:
                pass

    def stop(self) -> Optional[int]:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process.stdout is not None:
            self.process.stdout.close()
        return self.process.returncode

    def __enter__(self) -> "EmulatorProcess":
        return self

    def __exit__(self, *exc: object) -> Literal[False]:
        self.stop()
        return False


def port_or_emulator(
    stack: contextlib.ExitStack,
    device: str,
    port: Optional[str],
    emulator: Optional[str] = None,
    options: Sequence[str] = (),
    realtime_priority: Optional[int] = None,
) -> Optional[str]:
    """The given port, or the port of an emulator started for this run and
    stopped with `stack`; None (after saying why) for a port that does not
    exist."""
    if port is None:
        process = stack.enter_context(
            EmulatorProcess(device, *options, emulator=emulator, realtime_priority=realtime_priority)
        )
        print("no --port given: emulated %s on %s" % (device, process.path))
        return process.path
    if not os.path.exists(port):
        print("no such port: %s" % port, file=sys.stderr)
        return None
    return port
