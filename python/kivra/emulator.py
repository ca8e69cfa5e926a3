"""The device emulator shipped with the package, started from Python.

::

    with kivra.Emulator("arm") as emulator:
        with kivra.Arm(emulator.port) as arm:
            ...

The emulator serves one device on a new pseudo-terminal until it is closed,
and ends by itself when this process does. ``hand="press"`` (or "circle")
has a scripted hand push the emulated arm (see :mod:`kivra.hand`).
"""

import os
import shutil
import subprocess
import tempfile
from typing import IO, Any, Optional, Sequence

from .errors import KivraError
from .hand import DIRECTION, PERIOD, STRENGTH, ScriptedHand, Vector, _checked_pattern

_PROGRAM = "kivra-emulator"


def emulator_path() -> str:
    """The emulator binary: $KIVRA_EMULATOR, the copy inside the package, or the build tree's."""
    given = os.environ.get("KIVRA_EMULATOR")
    if given:
        return given
    package = os.path.dirname(os.path.abspath(__file__))
    candidates = [
        os.path.join(package, _PROGRAM),
        # <build>/python/kivra beside <build>/emulator
        os.path.join(package, os.pardir, os.pardir, "emulator", _PROGRAM),
    ]
    for candidate in candidates:
        if os.access(candidate, os.X_OK):
            return os.path.normpath(candidate)
    installed = shutil.which(_PROGRAM)
    if installed:
        return installed
    raise FileNotFoundError("no %s beside the kivra package (%s); set KIVRA_EMULATOR to its path" % (_PROGRAM, package))


class Emulator:
    """An emulated arm or handle on a new pseudo-terminal, whose path is :attr:`port`.

    ``options`` are the emulator's own (``kivra emulate --help`` lists them),
    for example ``("--delay", "0.002")`` or ``("--watchdog", "1")``. It runs
    in a session of its own, so a Ctrl-C in the terminal reaches only this
    program, which then stops the emulator itself. ``program`` names another
    emulator binary. ``realtime_priority`` runs it under SCHED_FIFO where
    that is allowed: a real device answers on a processor of its own, and on
    a busy host the emulator comes closest to that at a real-time priority.

    ``hand`` ("press", "circle" or "none") has a scripted hand push the arm
    from outside, with ``hand_strength`` [N] at most, along (or about)
    ``hand_direction``, once every ``hand_period`` [s]: a servo loop on the
    arm feels it as it would a person's (see :func:`kivra.hand.hand_force`).
    :attr:`description` is what the emulator says it serves.
    """

    def __init__(
        self,
        device: str = "arm",
        options: Sequence[str] = (),
        *,
        program: Optional[str] = None,
        realtime_priority: Optional[int] = None,
        hand: str = "none",
        hand_strength: float = STRENGTH,
        hand_period: float = PERIOD,
        hand_direction: Sequence[float] = DIRECTION,
    ) -> None:
        if device not in ("arm", "handle"):
            raise ValueError("device must be 'arm' or 'handle', got %r" % (device,))
        if _checked_pattern(hand) != "none" and device != "arm":
            raise ValueError("only an arm has a hand to push it, not a %s" % device)
        self._hand: Optional[ScriptedHand] = None
        pushed = hand != "none"
        # A file rather than a pipe: a chatty emulator must never block on a full pipe.
        errors = tempfile.TemporaryFile()
        try:
            self.process = subprocess.Popen(
                [program or emulator_path(), "--device", device, "--exit-with-parent",
                 *(["--hand-input"] if pushed else []), *options],
                stdin=subprocess.PIPE if pushed else subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=errors,
                text=True,
                start_new_session=True,
            )
            assert self.process.stdout is not None
            self.port: str = self.process.stdout.readline().strip()
            self.description: str = self.process.stdout.readline().strip()
            if not self.port:
                self.close()
                errors.seek(0)
                message = errors.read().decode(errors="replace").strip()
                raise KivraError("the emulator did not start (exit status %s): %s" % (self.process.returncode, message))
        finally:
            errors.close()
        if realtime_priority is not None:
            try:
                os.sched_setscheduler(self.process.pid, os.SCHED_FIFO, os.sched_param(realtime_priority))
            except OSError:
                pass  # without the right to it, it runs as it is
        if pushed:
            assert self.process.stdin is not None
            hand_input = self.process.stdin

            def push(force: Vector) -> None:
                hand_input.write("%.6g %.6g %.6g\n" % force)
                hand_input.flush()

            self._hand = ScriptedHand(push, hand, strength=hand_strength, period=hand_period,
                                      direction=hand_direction)

    @property
    def running(self) -> bool:
        """Whether the emulator process still runs."""
        return self.process.poll() is None

    def close(self) -> None:
        """Stops the emulator; closing again does nothing."""
        if self._hand is not None:
            self._hand.close()
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=2.0)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        streams: "list[Optional[IO[Any]]]" = [self.process.stdout, self.process.stdin]
        for stream in streams:
            if stream is not None:
                try:
                    stream.close()
                except OSError:  # the hand's last words to an emulator already gone
                    pass

    def __enter__(self) -> "Emulator":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return "<kivra.Emulator %s %s>" % (self.port, "running" if self.running else "stopped")


__all__ = ["Emulator", "emulator_path"]
