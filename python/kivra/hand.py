"""A scripted hand: a push that presses and pulls, or circles, so that an arm has something to do without a person.

The same hand reaches an arm two ways: through a servo loop's host force, as
``examples/virtual_wall.py`` feeds it (:func:`hand_force` at each update),
or as a force from outside on the emulated arm, which the loop then feels
as it would a person's hand (``kivra.Emulator("arm", hand="press")``, ``kivra
emulate arm --hand press``)::

    with kivra.Emulator("arm", hand="press") as emulator:
        ...

:class:`ScriptedHand` renews a hand's force on a thread of its own.
"""

import math
import threading
import time
from typing import Callable, Sequence, Tuple

Vector = Tuple[float, float, float]

#: The hand's motions: press (towards ``direction`` and back, a sine), circle (a force turning about
#: ``direction``), none.
PATTERNS = ("press", "circle", "none")
STRENGTH = 2.5  # [N], the strongest push
PERIOD = 2.0  # [s], one press and pull, or one turn
DIRECTION: Vector = (0.0, 0.0, -1.0)  # down, onto a floor or a wall below
UPDATE_INTERVAL = 0.01  # [s] between two renewals: well inside a servo loop's 50 ms hold


def _checked_pattern(pattern: str) -> str:
    if pattern not in PATTERNS:
        raise ValueError("a hand's pattern is one of %s, got %r" % (", ".join(PATTERNS), pattern))
    return pattern


def hand_force(
    pattern: str,
    t: float,
    strength: float = STRENGTH,
    period: float = PERIOD,
    direction: Sequence[float] = DIRECTION,
) -> Vector:
    """The hand's force [N] at time t [s] since it began.

    press: half a period pushing along direction (a unit vector), half
    pulling back, strength at the peak; circle: strength turning once a
    period in the plane across direction; none: no force.
    """
    _checked_pattern(pattern)
    if pattern == "none":
        return (0.0, 0.0, 0.0)
    phase = 2.0 * math.pi * t / period
    dx, dy, dz = (float(c) for c in direction)
    if pattern == "press":
        push = strength * math.sin(phase)
        return (push * dx, push * dy, push * dz)
    # Two unit vectors across direction: one from the axis it is least along.
    if abs(dx) <= abs(dy) and abs(dx) <= abs(dz):
        ux, uy, uz = 0.0, -dz, dy
    elif abs(dy) <= abs(dz):
        ux, uy, uz = -dz, 0.0, dx
    else:
        ux, uy, uz = -dy, dx, 0.0
    norm = math.sqrt(ux * ux + uy * uy + uz * uz)
    ux, uy, uz = ux / norm, uy / norm, uz / norm
    wx, wy, wz = dy * uz - dz * uy, dz * ux - dx * uz, dx * uy - dy * ux
    c, s = strength * math.cos(phase), strength * math.sin(phase)
    return (c * ux + s * wx, c * uy + s * wy, c * uz + s * wz)


class ScriptedHand:
    """Hands :func:`hand_force` to ``apply`` every ``interval`` [s] on a thread of its own, until :meth:`close`.

    ``apply`` is, for example, a loop's ``set_host_force``; a call that
    raises ends the hand. Closing applies a zero force last.
    """

    def __init__(
        self,
        apply: Callable[[Vector], None],
        pattern: str = "press",
        *,
        strength: float = STRENGTH,
        period: float = PERIOD,
        direction: Sequence[float] = DIRECTION,
        interval: float = UPDATE_INTERVAL,
    ) -> None:
        self.pattern = _checked_pattern(pattern)
        self._apply = apply
        self._stopping = threading.Event()

        def run() -> None:
            began = time.monotonic()
            try:
                while not self._stopping.wait(interval):
                    apply(hand_force(pattern, time.monotonic() - began, strength, period, direction))
            except Exception:  # the other end has gone: nothing left to push
                return

        self._thread = threading.Thread(target=run, name="kivra-hand", daemon=True)
        self._thread.start()

    def close(self) -> None:
        """Stops the hand and lets go; closing again does nothing."""
        if self._stopping.is_set():
            return
        self._stopping.set()
        self._thread.join()
        try:
            self._apply((0.0, 0.0, 0.0))
        except Exception:
            pass

    def __enter__(self) -> "ScriptedHand":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


__all__ = ["DIRECTION", "PATTERNS", "PERIOD", "STRENGTH", "ScriptedHand", "hand_force"]
