"""The servo loop: the arm's force exchange at a fixed rate on a thread of libkivra's own.

Python never runs inside a tick: it sets effects and a host force, and reads
the state, the trace and the statistics that the loop publishes.
"""

import json
import math
import os
import warnings
import weakref
from typing import Any, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

from ._kivra_ffi import ffi, lib
from ._safety import install_exit_handlers
from .arm import Arm, Vector
from .handle import Handle
from .errors import raise_for_status
from .recording import Recording
from .scene import CForceLaw, Part, SceneStatistics, _Builder

#: The most force [N] the library ever sends an arm; ``force_limit`` may only lower it.
MAX_FORCE: float = float(lib.KIVRA_MAX_FORCE)
#: The rates [Hz] a servo loop may run at.
LOWEST_RATE: float = float(lib.KIVRA_SERVO_LOWEST_RATE)
HIGHEST_RATE: float = float(lib.KIVRA_SERVO_HIGHEST_RATE)

_MAX_WALLS: int = lib.KIVRA_MAX_WALLS
_TRACE_BATCH = 1024


def _vector(values: Sequence[float], name: str) -> Vector:
    if len(values) != 3:
        raise ValueError("%s has 3 components, got %d" % (name, len(values)))
    result = (float(values[0]), float(values[1]), float(values[2]))
    if not all(math.isfinite(v) for v in result):
        raise ValueError("%s must be finite, got %r" % (name, tuple(values)))
    return result


class Spring(NamedTuple):
    """Pulls towards anchor [m]: F = -stiffness (x - anchor) - damping v."""

    anchor: Sequence[float] = (0.0, 0.0, 0.0)
    stiffness: float = 0.0  # [N/m]
    damping: float = 0.0  # [N s/m]


class Wall(NamedTuple):
    """Pushes out of the half-space behind the plane through point [m] with outward normal."""

    point: Sequence[float] = (0.0, 0.0, 0.0)
    normal: Sequence[float] = (0.0, 0.0, 1.0)
    stiffness: float = 0.0  # [N/m]
    damping: float = 0.0  # [N s/m] of the normal velocity


class Damping(NamedTuple):
    """Viscous damping everywhere: F = -coefficient v [N s/m]."""

    coefficient: float


class ConstantForce(NamedTuple):
    """A force [N] added everywhere, as (x, y, z)."""

    force: Sequence[float]  # [N]


#: One effect of :meth:`ServoLoop.set_effects`.
Effect = Union[Spring, Wall, Damping, ConstantForce]


class EffectSet(NamedTuple):
    """What a loop renders: ``effects``, and ``force_limit`` [N], the magnitude their sum is clamped to."""

    effects: Tuple[Effect, ...]
    force_limit: float


def _scene_description(parts: Sequence[Part]) -> str:
    """How a recording describes a scene: each part as Python writes it, which a replay makes again."""
    return json.dumps([repr(part) for part in parts])


class TickState(NamedTuple):
    """One tick of a servo loop.

    ``tick``: its index from 0; ``time`` [s] since the loop started, at the
    tick's deadline; ``position`` [m] and ``velocity`` [m/s] the arm replied;
    ``force`` [N] sent in the tick; ``host_force`` [N], the part of it set by
    :meth:`ServoLoop.set_host_force` after its hold and ramp; ``status``, the
    libkivra status of the tick's exchange (0: done; :attr:`status_name`
    names it).
    """

    tick: int
    time: float  # [s] since the start, at the tick's deadline
    position: Vector  # [m]
    velocity: Vector  # [m/s]
    force: Vector  # [N] sent in the tick
    host_force: Vector  # [N] after hold and ramp
    status: int  # libkivra status of the tick's exchange (0: done)
    wakeup_lateness: float = 0.0  # [s] from the deadline to the wake-up
    exchange_time: float = 0.0  # [s] the exchange took
    effects_changes: int = 0  # effects set or released before this tick
    scene_changes: int = 0  # scenes the loop has switched to

    @property
    def status_name(self) -> str:
        """The name of :attr:`status`, e.g. "KIVRA_OK" or "KIVRA_TIMED_OUT"."""
        return status_name(self.status)


class Percentiles(NamedTuple):
    """The median, 99th and 99.9th percentile and the largest of a duration [s]."""

    p50: float
    p99: float
    p999: float
    max: float  # [s]


class LoopStatistics(NamedTuple):
    """What a servo loop counted and measured since it started (:meth:`ServoLoop.stats`).

    - ``ticks``: exchanges attempted; ``missed_deadlines``: ticks skipped
      because their deadline had passed already (never caught up);
    - ``failed_exchanges``: exchanges without a full reply, of which
      ``timeouts`` (no reply), ``short_replies`` (cut short), ``wrong_codes``
      (another message came) and ``hang_ups`` (the port went away);
      ``late_replies_discarded``: late replies thrown away before an exchange;
    - ``refused_forces``: NaN or infinite forces, sent as zero;
      ``trace_dropped``: ticks lost before :meth:`ServoLoop.trace` took them;
    - ``wakeup_lateness``: how late the thread woke after each deadline,
      ``exchange_time``: how long each exchange took (:class:`Percentiles`, [s]);
      ``elapsed`` [s] since the start;
    - ``realtime_granted``, ``memory_locked``: whether SCHED_FIFO and locked
      memory were granted; ``realtime_errno``: why not (an errno, 0 when both
      were; :attr:`realtime_error` says it in words);
    - ``last_failure``: the libkivra status of the latest failed exchange (0
      for none; :attr:`last_failure_name` names it), ``last_failure_detail``
      its detail (an errno for a hang-up, the code that came instead for a
      wrong code, the bytes that came for a short reply).
    """

    ticks: int
    missed_deadlines: int
    failed_exchanges: int
    refused_forces: int
    timeouts: int  # failed exchanges by kind: no reply,
    short_replies: int  # a reply cut short,
    wrong_codes: int  # a foreign reply,
    hang_ups: int  # the port gone
    late_replies_discarded: int  # late replies thrown away before an exchange
    trace_dropped: int
    wakeup_lateness: Percentiles
    exchange_time: Percentiles
    elapsed: float
    realtime_granted: bool
    memory_locked: bool
    realtime_errno: int
    last_failure: int
    last_failure_detail: int

    @property
    def last_failure_name(self) -> str:
        """The name of :attr:`last_failure`, e.g. "KIVRA_TIMED_OUT"; "KIVRA_OK" when no exchange failed."""
        return status_name(self.last_failure)

    @property
    def realtime_error(self) -> str:
        """Why real-time scheduling or locked memory was refused, e.g. "Operation not permitted"; "" if neither was."""
        return os.strerror(self.realtime_errno) if self.realtime_errno else ""


def status_name(status: int) -> str:
    """The name of a libkivra status code, e.g. ``status_name(1) == "KIVRA_TIMED_OUT"``."""
    return str(ffi.string(lib.kivra_status_name(status)).decode())


def _tick(tick: Any) -> TickState:
    def v(values: Any) -> Vector:
        return (values[0], values[1], values[2])

    return TickState(
        tick.tick,
        tick.time,
        v(tick.position),
        v(tick.velocity),
        v(tick.force),
        v(tick.host_force),
        tick.outcome,
        tick.wakeup_lateness,
        tick.exchange_time,
        tick.effects_changes,
        tick.scene_changes,
    )


def _fill_effects(effects: Any, chosen: Sequence[Any], force_limit: float) -> None:
    walls = 0
    seen = set()
    for effect in chosen:
        kind = type(effect)
        if kind is not Wall and kind in seen:
            raise ValueError("at most one %s" % kind.__name__)
        seen.add(kind)
        if kind is Spring:
            effects.spring.enabled = 1
            effects.spring.anchor = _vector(effect.anchor, "spring anchor")
            effects.spring.stiffness = effect.stiffness
            effects.spring.damping = effect.damping
        elif kind is Wall:
            if walls == _MAX_WALLS:
                raise ValueError("at most %d walls" % _MAX_WALLS)
            wall = effects.walls[walls]
            wall.enabled = 1
            wall.point = _vector(effect.point, "wall point")
            wall.normal = _vector(effect.normal, "wall normal")
            wall.stiffness = effect.stiffness
            wall.damping = effect.damping
            walls += 1
        elif kind is Damping:
            effects.viscous_damping = effect.coefficient
        elif kind is ConstantForce:
            effects.constant_force = _vector(effect.force, "constant force")
        else:
            raise TypeError("not an effect: %r" % (effect,))
    effects.force_limit = force_limit
    problem = lib.kivra_effects_problem(effects)
    if problem != ffi.NULL:
        given = ", ".join([repr(effect) for effect in chosen] + ["force_limit=%r" % (force_limit,)])
        detail = " (%g N)" % MAX_FORCE if "force limit" in ffi.string(problem).decode() else ""
        raise ValueError("%s%s; got %s" % (ffi.string(problem).decode(), detail, given))


class ServoLoop:
    """Runs the force exchange of arm at rate [Hz] from construction until :meth:`stop`.

    While it runs the loop owns the arm: the arm's own exchanges raise
    :class:`~kivra.DeviceBusy` rather than slip commands in between its ticks.
    ``rate`` runs from :data:`LOWEST_RATE` to :data:`HIGHEST_RATE`.
    ``exchange_timeout`` [s] defaults to a little under the period (at most
    50 ms), so that a lost or truncated reply costs one tick. ``realtime``
    asks for SCHED_FIFO at ``realtime_priority`` (80 unless given) and locked
    memory, and runs without them when refused (see :meth:`stats`).
    ``host_force_hold`` [s] (0.05 unless given) is how long a host force
    holds after each :meth:`set_host_force`, ``host_force_ramp`` [s] (0.1)
    how long it then takes to ramp to zero; a longer hold suits a program
    that renews the force less often, a shorter one lets go sooner when the
    program stops. ``trace_capacity`` is how many ticks the loop keeps for
    :meth:`trace` (8192 unless given).

    A loop still running when the program ends (normally, by ``sys.exit``, an
    uncaught exception, SIGTERM or SIGHUP) is stopped and its arm sent zero
    force first. A program with its own SIGTERM or SIGHUP handler keeps it:
    that handler must stop its loops (``stop()``) before the program ends.
    """

    def __init__(
        self,
        arm: Arm,
        rate: float = 1000.0,
        *,
        exchange_timeout: Optional[float] = None,
        host_force_hold: Optional[float] = None,
        host_force_ramp: Optional[float] = None,
        realtime: bool = True,
        realtime_priority: Optional[int] = None,
        trace_capacity: Optional[int] = None,
    ) -> None:
        rate = float(rate)
        if not (LOWEST_RATE <= rate <= HIGHEST_RATE):
            raise ValueError("rate must be from %g to %g Hz, got %r" % (LOWEST_RATE, HIGHEST_RATE, rate))
        # What is not given stays as libkivra's defaults have it.
        options = ffi.new("kivra_servo_options*")
        lib.kivra_servo_default_options(options)
        if exchange_timeout is not None:
            if not (math.isfinite(exchange_timeout) and exchange_timeout > 0.0):
                raise ValueError(
                    "exchange_timeout must be a finite number of seconds above 0, got %r" % (exchange_timeout,)
                )
            options.exchange_timeout = exchange_timeout
        for name, value in (("host_force_hold", host_force_hold), ("host_force_ramp", host_force_ramp)):
            if value is None:
                continue
            if not (math.isfinite(value) and value >= 0.0):
                raise ValueError("%s must be a finite number of seconds, 0 or more, got %r" % (name, value))
            setattr(options, name, value)
        options.realtime = 1 if realtime else 0
        if realtime_priority is not None:
            options.realtime_priority = realtime_priority
        if trace_capacity is not None:
            if trace_capacity < 1:
                raise ValueError("trace_capacity must be at least 1, got %r" % (trace_capacity,))
            options.trace_capacity = trace_capacity
        self._arm = arm  # the arm outlives its loop
        install_exit_handlers()
        handle = ffi.new("kivra_servo**")
        detail = ffi.new("int32_t*")
        status = lib.kivra_servo_start(arm._handle, rate, options, handle, detail)
        if status != lib.KIVRA_OK:
            raise_for_status(status, detail[0], arm.port, options.exchange_timeout or arm.timeout)
        self._handle = ffi.gc(handle[0], lib.kivra_servo_destroy)
        self._force = ffi.new("float[3]")
        self._trace = ffi.new("kivra_tick[]", _TRACE_BATCH)
        self._scene: Tuple[Part, ...] = ()
        # What force laws of scenes point into stays referenced until the
        # loop stops: the servo thread may render a scene a little after the next is set.
        self._scene_objects: List[Any] = []
        self._recordings: "weakref.WeakSet[Recording]" = weakref.WeakSet()

    def _check(self, status: int) -> None:
        if status != lib.KIVRA_OK:
            raise_for_status(status, 0, self._arm.port, 0.0)

    def __del__(self) -> None:
        handle = getattr(self, "_handle", None)
        if handle is None or not lib.kivra_servo_is_running(handle):
            return
        # Stopped before the warning, which a filter may turn into an error.
        lib.kivra_servo_stop(handle)
        warnings.warn("ServoLoop on %s dropped while running: stop() it, or run it in a with block; "
                      "stopped now" % self._arm.port, ResourceWarning, source=self)

    @property
    def running(self) -> bool:
        """Whether the loop still runs: False after :meth:`stop`, and after the process began to exit."""
        return bool(lib.kivra_servo_is_running(self._handle))

    def stop(self) -> None:
        """Sends a zero force and stops; the arm is usable again afterwards."""
        self._check(lib.kivra_servo_stop(self._handle))
        self._scene_objects = [self._scene_objects[-1]] if self._scene_objects else []

    def set_scene(self, *parts: Part) -> None:
        """Replaces the scene as a whole between two ticks: solids, fields and
        force laws (see :mod:`kivra.scene`); no parts: no scene. Its force is
        added to the effects' before the force limit. Refused with ValueError,
        naming the part and the reason, before anything changes; a stiffness
        the loop's rate cannot keep passive is refused with the bound unless
        the solid says ``allow_active=True``."""
        builder = _Builder()
        for part in parts:
            builder.add(part)
        description = _scene_description(parts)
        for recording in list(self._recordings):
            recording._describe_scene(description)
        builder.check(lib.kivra_servo_set_scene(self._handle, builder.handle if parts else ffi.NULL), "scene")
        self._scene = tuple(parts)
        self._scene_objects.append(builder.kept)

    def record(
        self,
        path: str,
        compression: str = "zstd",
        *,
        identity: Optional[Mapping[str, str]] = None,
        handle: Optional[Handle] = None,
    ) -> Recording:
        """Records every tick from the next on into a new MCAP file at path (see
        :mod:`kivra.recording` for its topics), on a thread of libkivra's own,
        with chunks compressed as compression ("zstd", "lz4" or "none"), each
        written within half a second. identity: the arm's identity, written once
        (by default its port). Use it as a context manager or call ``stop()``;
        a file cut short by a killed process stays readable up to its last chunk.
        handle: an open :class:`~kivra.Handle` whose status frames are recorded
        too, read by the recording until it stops (the program's own reads
        of it meanwhile raise :class:`~kivra.DeviceBusy`).
        Raises :class:`~kivra.RecordingError` when the file cannot be made,
        DeviceBusy when a bridge or another recording reads the handle."""
        chosen = dict(identity) if identity is not None else {"port": str(self._arm.port)}
        recording = Recording(self._handle, self, path, compression, chosen)
        if handle is not None:
            try:
                recording._attach_handle(handle)
            except BaseException:
                recording.stop()
                raise
        if self._scene:
            # What the scene set before is, for the recording's first tick
            # (written at the recorder's first drain, well after this).
            recording._describe_scene(_scene_description(self._scene))
        self._recordings.add(recording)
        return recording

    def scene(self) -> Tuple[Part, ...]:
        """The parts of the scene last set."""
        return self._scene

    def add_c_effect(
        self, path: str, symbol: Optional[str] = None, context: Any = None, budget: float = 0.0
    ) -> None:
        """Adds a force law from the shared object at path (its function
        ``symbol``, by default ``kivra_force_law``) to the scene; see
        :class:`kivra.scene.CForceLaw`."""
        self.set_scene(*self._scene, CForceLaw(path=path, symbol=symbol, context=context, budget=budget))

    def scene_stats(self) -> SceneStatistics:
        """What the loop counted of its scenes: solids released, force-law ticks dropped."""
        s = ffi.new("kivra_scene_statistics*")
        self._check(lib.kivra_servo_get_scene_statistics(self._handle, s))
        return SceneStatistics(s.released_shapes, s.dropped_effect_ticks)

    def __enter__(self) -> "ServoLoop":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.stop()

    def set_effects(self, *effects: Effect, force_limit: float = 10.0) -> None:
        """Replaces every effect at once: at most one Spring, Damping and
        ConstantForce, up to four Walls; the sum is clamped to force_limit [N].

        Refused with ValueError before anything changes: a value that is not
        finite, a negative stiffness or damping (it would push energy into the
        hand), a zero wall normal, a force_limit of 0 or less or above
        :data:`MAX_FORCE`."""
        chosen = ffi.new("kivra_effects*")
        _fill_effects(chosen, effects, force_limit)
        self._check(lib.kivra_servo_set_effects(self._handle, chosen))

    def effects(self) -> EffectSet:
        """The effects the loop renders now, as set_effects was given them (disabled ones left out)."""
        c = ffi.new("kivra_effects*")
        self._check(lib.kivra_servo_get_effects(self._handle, c))

        def v(values: Any) -> Vector:
            return (values[0], values[1], values[2])

        chosen: List[Effect] = []
        if c.spring.enabled:
            chosen.append(Spring(v(c.spring.anchor), c.spring.stiffness, c.spring.damping))
        for wall in c.walls:
            if wall.enabled:
                chosen.append(Wall(v(wall.point), v(wall.normal), wall.stiffness, wall.damping))
        if c.viscous_damping != 0.0:
            chosen.append(Damping(c.viscous_damping))
        if any(c.constant_force):
            chosen.append(ConstantForce(v(c.constant_force)))
        return EffectSet(tuple(chosen), c.force_limit)

    def set_host_force(self, force: Sequence[float]) -> None:
        """Adds force [N] to the effects, from the next tick on.

        The force holds for the loop's ``host_force_hold`` (50 ms unless the
        loop was started with another) after each call, then ramps to zero
        over its ``host_force_ramp`` (100 ms): a program that stops renewing
        it, or hangs, leaves no force on the arm. To keep a force on, renew
        it more often than the hold: every 10 ms (100 Hz) keeps it steady
        with room to spare for a late update."""
        self._force[0:3] = _vector(force, "host force")
        self._check(lib.kivra_servo_set_host_force(self._handle, self._force))

    def release(self) -> None:
        """Ramps every force to zero until effects or a host force are set again."""
        self._check(lib.kivra_servo_release(self._handle))

    def state(self) -> TickState:
        """The latest tick."""
        tick = ffi.new("kivra_tick*")
        self._check(lib.kivra_servo_get_state(self._handle, tick))
        return _tick(tick)

    def trace(self) -> List[TickState]:
        """Takes every tick kept since the last call, oldest first."""
        ticks: List[TickState] = []
        count = ffi.new("size_t*")
        while True:
            self._check(lib.kivra_servo_drain_trace(self._handle, self._trace, _TRACE_BATCH, count))
            ticks.extend(_tick(self._trace[i]) for i in range(count[0]))
            if count[0] < _TRACE_BATCH:
                return ticks

    def started_at(self) -> int:
        """The system clock [ns since the epoch] at the loop's latest start: a
        tick's stamp for the world outside the process is this plus its ``time``."""
        nanoseconds = ffi.new("int64_t*")
        self._check(lib.kivra_servo_get_started_at(self._handle, nanoseconds))
        return int(nanoseconds[0])

    def stats(self) -> LoopStatistics:
        """The loop's counts and timings since it started (see :class:`LoopStatistics`); never blocks the loop."""
        s = ffi.new("kivra_servo_statistics*")
        self._check(lib.kivra_servo_get_statistics(self._handle, s))

        def p(value: Any) -> Percentiles:
            return Percentiles(value.p50, value.p99, value.p999, value.max)

        return LoopStatistics(
            s.ticks,
            s.missed_deadlines,
            s.failed_exchanges,
            s.refused_forces,
            s.timeouts,
            s.short_replies,
            s.wrong_codes,
            s.hang_ups,
            s.late_replies_discarded,
            s.trace_dropped,
            p(s.wakeup_lateness),
            p(s.exchange_time),
            s.elapsed,
            bool(s.realtime_granted),
            bool(s.memory_locked),
            s.realtime_errno,
            s.last_failure,
            s.last_failure_detail,
        )


__all__ = [
    "HIGHEST_RATE",
    "LOWEST_RATE",
    "MAX_FORCE",
    "ConstantForce",
    "Damping",
    "Effect",
    "EffectSet",
    "LoopStatistics",
    "Percentiles",
    "ServoLoop",
    "Spring",
    "TickState",
    "Wall",
    "status_name",
]
