"""Playing a recording back into the emulated arm: a regression test for a haptic scene.

The emulator answers the replay's n-th exchange with the n-th recorded
position and velocity, so the loop renders each tick from the very state the
recorded loop rendered it from, however the host's timing differs. The
recorded effects and scenes are set again at the ticks they took effect
(to within a few ticks: ticks that do not have the recorded ones are not
compared), and the force the loop renders now is compared with the recorded
force less the host's part::

    result = kivra.replay_recording("wall.mcap")
    assert result.differing == 0, result

A replay needs no arm: it runs on the emulator shipped with the package.
"""

import ast
import math
import os
import statistics
import tempfile
import time
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

from . import scene as _scene
from .arm import Arm, Vector
from .emulator import Emulator
from .errors import KivraError, RecordingError
from .recording_reader import RecordedTick, read_recording
from .servo import HIGHEST_RATE, LOWEST_RATE, ConstantForce, Damping, Effect, ServoLoop, Spring, Wall

#: A recorded tick's force and the one rendered now differ when they are
#: further apart than this share of the recorded one, and than FLOOR.
TOLERANCE = 0.05
FLOOR = 0.01  # [N]: below what a hand feels
_POLL = 0.001  # [s] between two looks at the loop's tick
_DRAIN = 0.02  # [s] between two drains of the loop's trace
_TRACE_CAPACITY = 1 << 16  # ticks the trace holds between two drains
_STALLED = 5.0  # [s] without a tick: the replay gives up
_EXCHANGE_TIMEOUT = 0.05  # [s], the arm's default
# The parts of a scene a recording's description may name; a force law from
# a shared object is code the recording cannot carry.
_SCENE_PARTS = {
    name: getattr(_scene, name)
    for name in ("Material", "Plane", "Sphere", "Box", "Capsule", "Cylinder", "Mesh", "Guide", "Detents",
                 "ViscousBox", "Texture", "Vibration")
}


class ReplayResult(NamedTuple):
    """What :func:`replay_recording` found.

    ``ticks`` in the recording; ``compared``: ticks whose force was compared
    (not compared: the first, those before the replay had the recorded effects
    or scene, those after a failed exchange, and those where the force limit
    clipped a host force); ``differing``: compared ticks further apart than
    the tolerance; ``largest`` [N]: the largest difference, at the recording's
    tick ``tick`` (its index from 0, -1 when none was compared) and ``time``
    [s], where it ``recorded`` a force (without the host's part) and the loop
    rendered ``replayed``.
    """

    ticks: int
    rate: float  # [Hz] the replay ran at, the recording's
    compared: int
    differing: int
    largest: float  # [N]
    tick: int
    time: float  # [s]
    recorded: Vector  # [N]
    replayed: Vector  # [N]


def _vector(values: Sequence[Any], what: str) -> Vector:
    if len(values) != 3 or not all(isinstance(v, (int, float)) for v in values):
        raise RecordingError("the recording's %s is not three numbers: %r" % (what, values))
    return (float(values[0]), float(values[1]), float(values[2]))


def effects_from_json(recorded: Dict[str, Any]) -> Tuple[List[Effect], float]:
    """The effects and force limit [N] that a recording's effects change (its ``"effects"``) describes."""
    try:
        effects: List[Effect] = []
        spring = recorded["spring"]
        if spring is not None:
            effects.append(Spring(_vector(spring["anchor"], "spring anchor"), spring["stiffness"], spring["damping"]))
        for wall in recorded["walls"]:
            effects.append(Wall(_vector(wall["point"], "wall point"), _vector(wall["normal"], "wall normal"),
                                wall["stiffness"], wall["damping"]))
        if recorded["viscous_damping"]:
            effects.append(Damping(recorded["viscous_damping"]))
        constant = _vector(recorded["constant_force"], "constant force")
        if any(constant):
            effects.append(ConstantForce(constant))
        return effects, float(recorded["force_limit"])
    except (KeyError, TypeError) as error:
        raise RecordingError("the recording's effects are not as kivra writes them: %r (%s)" % (recorded, error))


def _literal_part(node: ast.AST) -> Any:
    if isinstance(node, ast.Call):
        if not isinstance(node.func, ast.Name) or node.func.id not in _SCENE_PARTS:
            raise ValueError("names a part that a replay cannot make: %s" % ast.dump(node.func))
        arguments = [_literal_part(argument) for argument in node.args]
        keywords = {keyword.arg: _literal_part(keyword.value) for keyword in node.keywords if keyword.arg}
        return _SCENE_PARTS[node.func.id](*arguments, **keywords)
    if isinstance(node, (ast.Tuple, ast.List)):
        values = [_literal_part(element) for element in node.elts]
        return tuple(values) if isinstance(node, ast.Tuple) else values
    return ast.literal_eval(node)


def scene_from_json(recorded: Optional[List[str]]) -> Tuple[Any, ...]:
    """The parts of a recording's scene change (its ``"scene"``: each part as Python writes it).

    Only the parts of :mod:`kivra.scene` are made, from literal values;
    anything else (a force law from a shared object, an expression) is refused
    with :class:`kivra.RecordingError`.
    """
    if recorded is None:
        raise RecordingError("the recording does not say which scene the loop rendered")
    parts = []
    for text in recorded:
        try:
            parts.append(_literal_part(ast.parse(str(text), mode="eval").body))
        except (SyntaxError, ValueError, TypeError) as error:
            raise RecordingError("the recording's scene part %s cannot be replayed: %s" % (text, error))
    return tuple(parts)


class _Change(NamedTuple):
    at: int  # the recording's tick (its index) from which it holds
    kind: str  # "effects" or "scene"
    value: Any


def _changes(ticks: List[RecordedTick], effects: Optional[Sequence[Effect]]) -> List[_Change]:
    changes = []
    for index, recorded in enumerate(ticks):
        for change in recorded.changes:
            if change.get("kind") == "effects" and effects is None:
                changes.append(_Change(index, "effects", effects_from_json(change.get("effects") or {})))
            elif change.get("kind") == "scene":
                changes.append(_Change(index, "scene", scene_from_json(change.get("scene"))))
    return changes


def _generations(ticks: List[RecordedTick], changes: List[_Change], kind: str) -> List[int]:
    """For each recorded tick, how many changes of kind had taken effect by then, less one."""
    at = [change.at for change in changes if change.kind == kind]
    generations, seen = [], -1
    for index in range(len(ticks)):
        while seen + 1 < len(at) and at[seen + 1] <= index:
            seen += 1
        generations.append(seen)
    return generations


def _recorded_rate(ticks: List[RecordedTick]) -> float:
    periods = [b.state.time - a.state.time for a, b in zip(ticks, ticks[1:])
               if b.state.tick == a.state.tick + 1 and b.state.time > a.state.time]
    if not periods:
        raise RecordingError("the recording has no two ticks in a row to tell its rate from")
    return min(HIGHEST_RATE, max(LOWEST_RATE, round(1.0 / statistics.median(periods))))


def _states_file(ticks: List[RecordedTick]) -> str:
    descriptor, path = tempfile.mkstemp(prefix="kivra-replay-", suffix=".txt")
    with os.fdopen(descriptor, "w") as rows:
        for recorded in ticks:
            # Nine significant digits bring back each recorded float exactly.
            rows.write(" ".join("%.9g" % v for v in recorded.state.position + recorded.state.velocity) + "\n")
    return path


def _replay(port: str, rate: float, ticks: int, changes: List[_Change],
            effects: Optional[Tuple[List[Effect], float]]) -> Dict[int, Any]:
    """The replay's trace by tick. Its n-th set of effects (or scene) shows in
    its ticks' counters as n: the recording's change n - 1."""
    trace: Dict[int, Any] = {}
    pending = list(changes)
    # A late reply costs the replay its tick; a late tick costs it nothing.
    with Arm(port) as arm, ServoLoop(arm, rate, exchange_timeout=_EXCHANGE_TIMEOUT,
                                     trace_capacity=_TRACE_CAPACITY) as loop:
        if effects is not None:
            loop.set_effects(*effects[0], force_limit=effects[1])
        next_drain = time.monotonic()
        progress = (-1, time.monotonic())
        while True:
            tick = loop.state().tick
            # Each change is set a tick ahead: the loop takes it at its next tick.
            while pending and pending[0].at <= tick + 1:
                change = pending.pop(0)
                if change.kind == "effects":
                    loop.set_effects(*change.value[0], force_limit=change.value[1])
                else:
                    loop.set_scene(*change.value)
            now = time.monotonic()
            if now >= next_drain or tick >= ticks:
                trace.update((state.tick, state) for state in loop.trace())
                next_drain = now + _DRAIN
            if tick >= ticks:
                return trace
            if tick != progress[0]:
                progress = (tick, now)
            elif now - progress[1] > _STALLED:
                raise KivraError("the replay's loop stalled at tick %d of %d" % (tick, ticks))
            time.sleep(_POLL)


def first_effects(ticks: Sequence[RecordedTick]) -> Optional[Tuple[List[Effect], float]]:
    """The effects and force limit [N] the recording set first, or None when it set none."""
    first = next((c for t in ticks for c in t.changes if c.get("kind") == "effects"), None)
    return effects_from_json(first.get("effects") or {}) if first else None


def replay_recording(
    recording: Union[str, Sequence[RecordedTick]],
    *,
    effects: Optional[Sequence[Effect]] = None,
    force_limit: Optional[float] = None,
    tolerance: float = TOLERANCE,
    floor: float = FLOOR,
) -> ReplayResult:
    """Plays a recording back into the emulated arm and compares the forces (see :class:`ReplayResult`).

    ``recording`` is the recording's path, or its ticks already read
    (:func:`kivra.read_recording`).

    ``effects`` (with ``force_limit`` [N], by default the recording's first)
    replace the recorded effects for the whole replay: what the recorded hand
    would have felt with them. A tick differs when its force and the recorded
    one are further apart than ``tolerance`` of the recorded one and ``floor``
    [N]. Raises :class:`kivra.RecordingError` for a recording that cannot be
    replayed (fewer than two ticks, a scene with a force law from a shared
    object) or of which no tick could be compared.
    """
    if not (math.isfinite(tolerance) and tolerance >= 0.0 and math.isfinite(floor) and floor >= 0.0):
        raise ValueError("tolerance and floor must be finite and 0 or more, got %r and %r" % (tolerance, floor))
    ticks = list(read_recording(recording) if isinstance(recording, str) else recording)
    name = recording if isinstance(recording, str) else "the recording"
    if len(ticks) < 2:
        raise RecordingError("%s has %d ticks: a replay needs two at least" % (name, len(ticks)))
    changes = _changes(ticks, effects)
    override = None
    if effects is not None:
        first = first_effects(ticks)
        limit = force_limit if force_limit is not None else (first[1] if first else 10.0)
        override = (list(effects), limit)
    recorded_effects = _generations(ticks, changes, "effects") if effects is None else [0] * len(ticks)
    recorded_scenes = _generations(ticks, changes, "scene")
    limits = _limits(ticks, changes, override)
    rate = _recorded_rate(ticks)
    states = _states_file(ticks)
    try:
        with Emulator("arm", ("--replay-states", states)) as emulator:
            trace = _replay(emulator.port, rate, len(ticks), changes, override)
    finally:
        os.unlink(states)

    compared = differing = 0
    largest, at = -1.0, -1
    worst: Tuple[Sequence[float], Sequence[float]] = ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0))
    for index in range(1, len(ticks)):
        before, now = ticks[index - 1].state, ticks[index].state
        replayed_before, replayed = trace.get(index - 1), trace.get(index)
        if replayed is None or replayed_before is None or now.tick != before.tick + 1:
            continue
        # The same state to render from (the arm's reply to the tick before),
        # and the same effects and scene: the n-th set in the replay is the
        # recording's change n - 1.
        if replayed_before.status != 0 or (replayed_before.position, replayed_before.velocity) != (
            before.position,
            before.velocity,
        ):
            continue
        generations = (replayed.effects_changes - 1, replayed.scene_changes - 1)
        if generations != (recorded_effects[index], recorded_scenes[index]):
            continue
        recorded = tuple(f - h for f, h in zip(now.force, now.host_force))
        if any(now.host_force) and math.sqrt(sum(f * f for f in now.force)) >= limits[index] * (1.0 - 1e-6):
            continue  # clipped with the host's part in it: the recorded effects' part is not known
        difference = math.sqrt(sum((a - b) ** 2 for a, b in zip(replayed.force, recorded)))
        compared += 1
        if difference > max(tolerance * math.sqrt(sum(f * f for f in recorded)), floor):
            differing += 1
        if difference > largest:
            largest, at, worst = difference, index, (recorded, replayed.force)
    if compared == 0:
        raise RecordingError("no tick of %s could be compared: the replay never had its recorded state and effects"
                             % name)
    return ReplayResult(len(ticks), rate, compared, differing, largest, at, ticks[at].state.time,
                        _vector(worst[0], "force"), _vector(worst[1], "force"))


def _limits(ticks: List[RecordedTick], changes: List[_Change], override: Optional[Tuple[Any, float]]) -> List[float]:
    """The force limit [N] at each recorded tick."""
    limit = override[1] if override else float("inf")
    pending = [c for c in changes if c.kind == "effects"]
    limits = []
    for index in range(len(ticks)):
        while pending and pending[0].at <= index:
            limit = pending.pop(0).value[1]
        limits.append(limit)
    return limits


__all__ = ["FLOOR", "TOLERANCE", "ReplayResult", "effects_from_json", "first_effects", "replay_recording",
           "scene_from_json"]
