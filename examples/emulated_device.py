"""Runs kivra-emulator for the examples when no port is given.

The emulator prints the path of its pseudo-terminal as its first line and
serves until it is terminated; this module starts it, reads that line and
stops it again.
"""

import os
import select
import shutil
import signal
import subprocess
import sys

import KivraHardwareAPI

_REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))


def find_emulator(explicit=None):
    """Path of the kivra-emulator program, or None when none is built."""
    candidates = [explicit, os.environ.get("KIVRA_EMULATOR")]
    # Beside the module of the same build (<build>/python and <build>/emulator).
    module_dir = os.path.dirname(os.path.abspath(KivraHardwareAPI.__file__))
    candidates.append(os.path.join(module_dir, "..", "emulator", "kivra-emulator"))
    candidates.append(os.path.join(_REPO, "build", "pypy", "emulator", "kivra-emulator"))
    candidates.append(shutil.which("kivra-emulator"))
    for candidate in candidates:
        if candidate and os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return os.path.abspath(candidate)
    return None


class EmulatorProcess:
    """A running emulator; use as a context manager. `path` is its port."""

    def __init__(self, device, *options, emulator=None):
        program = find_emulator(emulator)
        if program is None:
            raise RuntimeError("kivra-emulator is not built (bash scripts/build.sh builds it)")
        self.process = subprocess.Popen(
            [program, "--device", device, *options],
            stdout=subprocess.PIPE,
            stdin=subprocess.DEVNULL,
        )
        ready, _, _ = select.select([self.process.stdout], [], [], 10.0)
        line = self.process.stdout.readline().decode().strip() if ready else ""
        if not line:
            self.stop()
            raise RuntimeError("kivra-emulator did not report its port")
        self.path = line

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        return self.process.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False


def port_or_emulator(stack, device, port, emulator=None, options=()):
    """The given port, or the port of an emulator started for this run and
    stopped with `stack`; None (after saying why) for a port that does not
    exist."""
    if port is None:
        process = stack.enter_context(EmulatorProcess(device, *options, emulator=emulator))
        print("no --port given: emulated %s on %s" % (device, process.path))
        return process.path
    if not os.path.exists(port):
        print("no such port: %s" % port, file=sys.stderr)
        return None
    return port
