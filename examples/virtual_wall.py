"""A virtual wall on the Pendra3 arm, run by libkivra's servo loop.

The force loop runs on a thread of libkivra's own at the target rate: each
tick it sums a stiff wall (a plane across the first axis, a few centimetres
from where the end effector started) and a light spring towards the start,
sends that force and reads back position and velocity in one exchange.
Python never runs inside a tick. It sets the two effects once and then, about
a hundred times a second, hands the loop the push of a scripted hand that
drives the end effector into the wall and pulls it away again, so that the
loop has something to do without a person at the device. The live status
line comes from the loop's latest tick and statistics; the summary from its
statistics and from every tick of its trace: the rate achieved, missed
deadlines, how late the thread woke, how long the exchanges took, and where
the end effector went.

--scene shapes puts a scene in the wall's place: a sphere on one side of
the start, a box with friction on the other and a guide along the line
between them, rendered by the same loop through proxies that stay on the
surfaces, beside the same spring. The hand's push takes the end effector into each in turn; the
summary says, for each, how often and how deep it was inside and the
largest push back along its normal.

--allocating-thread runs a thread that builds and drops lists and dicts of
floats as fast as it can beside the loop, keeping the garbage collector busy
throughout: the servo thread wakes as punctually as without it.

Without --port it starts the emulator and runs against it; Ctrl-C ends the
run early, with the summary. --csv FILE writes the trace (plot it with
plot_trace.py).
"""

import argparse
import contextlib
import csv
import math
import signal
import sys
import threading
import time
import types
from typing import Dict, Iterable, List, NoReturn, Optional, Sequence, TextIO, Tuple

import kivra
from kivra.hand import UPDATE_INTERVAL, hand_force

from emulated_device import port_or_emulator

GUIDE_STIFFNESS = 60.0  # [N/m], towards the start
GUIDE_DAMPING = 2.0  # [N s/m]
WALL_DAMPING = 4.0  # [N s/m] of the velocity into the wall
FORCE_LIMIT = 10.0  # [N]
PUSH_PERIOD = 2.0  # [s], one push and one pull of the scripted hand
STATUS_INTERVAL = 0.25  # [s]
EMULATOR_PRIORITY = 70  # SCHED_FIFO, below the servo loop's 80
# --scene shapes, placed from the start along x, each --wall-distance from it.
SPHERE_RADIUS = 0.015  # [m]
BOX_HALF_EXTENTS = (0.01, 0.02, 0.02)  # [m]
BOX_FRICTION = (0.6, 0.4)  # static, dynamic
# [N s/m] along the contact normal: keeps 800 N/m passive down to a 300 Hz loop (2 (2 + 0.5) 300 = 1500 N/m).
SHAPE_DAMPING = 2.0
LINE_STIFFNESS = 150.0  # [N/m] of the guide, towards the line through the start along x
LINE_MAX_FORCE = 2.0  # [N]
LINE_REACH = 0.1  # [m] of the guide either side of the start
CSV_FIELDS = ["t", "x", "y", "z", "vx", "vy", "vz", "fx", "fy", "fz", "hand_fx", "hand_fy", "hand_fz", "status",
              "wall_x"]

Vector = Tuple[float, float, float]


def parse_arguments(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", help="serial port of the arm (default: start the emulator)")
    parser.add_argument("--rate", type=float, default=1000.0, help="servo loop rate [Hz] (1000)")
    parser.add_argument("--duration", type=float, default=4.0, help="how long to run [s] (4)")
    parser.add_argument("--csv", metavar="FILE", help="write every tick to FILE")
    parser.add_argument("--stiffness", type=float, default=800.0, help="wall stiffness [N/m] (800)")
    parser.add_argument("--wall-distance", type=float, default=0.02, help="wall distance from the start [m] (0.02)")
    parser.add_argument("--push", type=float, default=2.5, help="strongest push of the scripted hand [N] (2.5)")
    parser.add_argument(
        "--scene",
        choices=("wall", "shapes"),
        default="wall",
        help="what the hand meets: the wall, or shapes: a sphere, a box with friction and a guide (wall)",
    )
    parser.add_argument(
        "--allocating-thread",
        "--alloc-thread",
        action="store_true",
        help="build and drop lists and dicts of floats on a thread beside the loop",
    )
    parser.add_argument("--emulator", help="kivra-emulator program to start when no --port is given")
    arguments = parser.parse_args(argv)
    if not (arguments.rate > 0 and arguments.duration > 0):
        parser.error("--rate and --duration must be positive")
    return arguments


def percentile_text(percentiles: Sequence[float]) -> str:
    return "p50 %.0f us, p99 %.0f us, p99.9 %.0f us, max %.0f us" % tuple(v * 1e6 for v in percentiles)


def vector_text(values: Sequence[float], digits: int = 4) -> str:
    return "(" + ", ".join("%+.*f" % (digits, v) for v in values) + ")"


class StatusLine:
    """One line rewritten in place on a terminal, a line per update otherwise."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.in_place = stream.isatty()

    def show(self, text: str) -> None:
        if self.in_place:
            self.stream.write("\r" + text + "\033[K")
        else:
            self.stream.write(text + "\n")
        self.stream.flush()

    def end(self) -> None:
        if self.in_place:
            self.stream.write("\n")
            self.stream.flush()


class AllocatingThread(threading.Thread):
    """Builds and drops lists and dicts of floats until stopped: garbage for the collector."""

    LIST_LENGTH = 1000
    DICT_LENGTH = 200

    def __init__(self) -> None:
        threading.Thread.__init__(self, name="allocating", daemon=True)
        self.stopping = threading.Event()
        self.rounds = 0

    def run(self) -> None:
        keep: List[Dict[int, List[float]]] = []
        while not self.stopping.is_set():
            values = [i * 0.5 for i in range(self.LIST_LENGTH)]
            table = {i: [v, v + 1.0] for i, v in enumerate(values[: self.DICT_LENGTH])}
            # A few survive a while, so that some garbage is old, not all of it young.
            keep.append(table)
            if len(keep) > 64:
                del keep[:32]
            self.rounds += 1

    def stop(self) -> None:
        self.stopping.set()
        self.join()


class WallRecord:
    """What the ticks of the trace tell about the end effector and the wall."""

    def __init__(self, start: Vector, wall_x: float, stiffness: float, trace_file: Optional[TextIO]) -> None:
        self.start = start
        self.end = start
        self.wall_x = wall_x
        self.stiffness = stiffness
        self.lowest = list(start)
        self.highest = list(start)
        self.deepest = 0.0
        self.contact_ticks = 0
        self.peak_wall_force = 0.0
        self.ticks = 0
        self.trace = csv.writer(trace_file) if trace_file else None
        if self.trace:
            self.trace.writerow(CSV_FIELDS)

    def add(self, ticks: Iterable[kivra.TickState]) -> None:
        for tick in ticks:
            position, velocity = tick.position, tick.velocity
            self.ticks += 1
            self.end = position
            for axis in range(3):
                self.lowest[axis] = min(self.lowest[axis], position[axis])
                self.highest[axis] = max(self.highest[axis], position[axis])
            self.contact(tick)
            if self.trace:
                self.trace.writerow(
                    ["%.6f" % tick.time]
                    + ["%.6f" % v for v in position]
                    + ["%.5f" % v for v in velocity]
                    + ["%.4f" % f for f in tick.force]
                    + ["%.4f" % f for f in tick.host_force]
                    + [tick.status, "%.6f" % self.wall_x]
                )

    def contact(self, tick: kivra.TickState) -> None:
        depth = self.wall_x - tick.position[0]
        if depth > 0.0:
            self.contact_ticks += 1
            self.deepest = max(self.deepest, depth)
            push = self.stiffness * depth - WALL_DAMPING * tick.velocity[0]
            self.peak_wall_force = max(self.peak_wall_force, push)

    def where(self, position: Sequence[float]) -> str:
        depth = self.wall_x - position[0]
        return "wall %s" % ("in %4.1f mm" % (depth * 1e3) if depth > 0 else "clear    ")

    def summary(self) -> List[str]:
        return [
            "  wall      deepest %.2f mm, in contact %.0f%% of ticks, peak wall force %.2f N"
            % (self.deepest * 1e3, 100.0 * self.contact_ticks / max(self.ticks, 1), self.peak_wall_force)
        ]


def shapes_scene(start: Sequence[float], distance: float, stiffness: float) -> Tuple[kivra.scene.Part, ...]:
    """A sphere distance [m] from start along -x, a box with friction as far along +x, a guide along x through start."""
    x, y, z = start
    sphere = kivra.Sphere(SPHERE_RADIUS, kivra.Material(stiffness, SHAPE_DAMPING),
                          position=(x - distance - SPHERE_RADIUS, y, z))
    box = kivra.Box(BOX_HALF_EXTENTS, kivra.Material(stiffness, SHAPE_DAMPING, *BOX_FRICTION),
                    position=(x + distance + BOX_HALF_EXTENTS[0], y, z))
    line = kivra.Guide([(x - LINE_REACH, y, z), (x + LINE_REACH, y, z)], LINE_STIFFNESS, LINE_MAX_FORCE)
    return sphere, box, line


def inside(solid: kivra.scene.Part, position: Sequence[float]) -> Tuple[float, Vector]:
    """How deep [m] position is in an upright sphere or box, and the outward
    normal of the nearest surface; depth 0 or less outside."""
    assert isinstance(solid, (kivra.Sphere, kivra.Box))
    offset = [p - c for p, c in zip(position, solid.position)]
    if isinstance(solid, kivra.Sphere):
        distance = math.sqrt(sum(o * o for o in offset)) or 1e-12
        n = [o / distance for o in offset]
        return solid.radius - distance, (n[0], n[1], n[2])
    assert isinstance(solid, kivra.Box)
    depths = [h - abs(o) for h, o in zip(solid.half_extents, offset)]
    axis = depths.index(min(depths))
    normal = [0.0, 0.0, 0.0]
    normal[axis] = 1.0 if offset[axis] >= 0 else -1.0
    return depths[axis], (normal[0], normal[1], normal[2])


class ShapesRecord(WallRecord):
    """What the ticks tell about the end effector and each solid of the shapes scene."""

    def __init__(self, start: Vector, solids: Sequence[kivra.scene.Part], trace_file: Optional[TextIO]) -> None:
        WallRecord.__init__(self, start, math.nan, 0.0, trace_file)
        self.solids = list(solids)
        self.touched = [0] * len(self.solids)
        self.deepest_in = [0.0] * len(self.solids)
        self.peak_push = [0.0] * len(self.solids)

    def contact(self, tick: kivra.TickState) -> None:
        for i, solid in enumerate(self.solids):
            depth, normal = inside(solid, tick.position)
            if depth > 0.0:
                self.touched[i] += 1
                self.deepest_in[i] = max(self.deepest_in[i], depth)
                # What the scene pushed back with: the force sent less the hand's part.
                push = sum((f - h) * n for f, h, n in zip(tick.force, tick.host_force, normal))
                self.peak_push[i] = max(self.peak_push[i], push)

    def where(self, position: Sequence[float]) -> str:
        for solid in self.solids:
            depth, _ = inside(solid, position)
            if depth > 0.0:
                return "in %s %4.1f mm" % (type(solid).__name__.lower(), depth * 1e3)
        return "clear"

    def summary(self) -> List[str]:
        return [
            "  %-9s in contact %.0f%% of ticks, deepest %.2f mm, peak push %.2f N along its normal"
            % (type(solid).__name__.lower(), 100.0 * self.touched[i] / max(self.ticks, 1), self.deepest_in[i] * 1e3,
               self.peak_push[i])
            for i, solid in enumerate(self.solids)
        ]


def wait_until(deadline: float) -> None:
    remaining = deadline - time.monotonic()
    if remaining > 0.0:
        time.sleep(remaining)


def drive(loop: kivra.ServoLoop, arguments: argparse.Namespace, record: WallRecord, out: TextIO) -> Tuple[int, float]:
    """Feeds the scripted hand to the loop and shows its status until the
    duration has passed; returns the host update count and the longest gap
    between two updates [s]."""
    status = StatusLine(out)
    updates, longest_gap = 0, 0.0
    began = time.monotonic()
    last_update = began
    next_update = began
    next_status = began + STATUS_INTERVAL
    window_start, window_ticks = began, 0
    try:
        while True:
            now = time.monotonic()
            t = now - began
            if t >= arguments.duration:
                break
            # Half a period pushing towards the wall (along -x), half pulling away from it.
            loop.set_host_force(hand_force("press", t, arguments.push, PUSH_PERIOD, direction=(-1.0, 0.0, 0.0)))
            updates += 1
            longest_gap = max(longest_gap, now - last_update)
            last_update = now
            record.add(loop.trace())
            if now >= next_status:
                state, stats = loop.state(), loop.stats()
                rate = (stats.ticks - window_ticks) / max(now - window_start, 1e-9)
                window_start, window_ticks = now, stats.ticks
                next_status = now + STATUS_INTERVAL
                status.show(
                    "t %4.1f s  rate %6.0f Hz  missed %d  late p99.9 %4.0f us  position %s m  force %s N  %s"
                    % (
                        t,
                        rate,
                        stats.missed_deadlines,
                        stats.wakeup_lateness.p999 * 1e6,
                        vector_text(state.position),
                        vector_text(state.force, 2),
                        record.where(state.position),
                    )
                )
            next_update += UPDATE_INTERVAL
            if next_update < time.monotonic():
                next_update = time.monotonic()
            wait_until(next_update)
    except KeyboardInterrupt:
        status.end()
        print("interrupted: the run ends here", file=out)
    else:
        status.end()
    return updates, longest_gap


def print_summary(
    stats: kivra.LoopStatistics,
    arguments: argparse.Namespace,
    record: WallRecord,
    updates: int,
    longest_gap: float,
    allocating: Optional[AllocatingThread],
    out: TextIO,
) -> None:
    print("summary", file=out)
    elapsed = max(stats.elapsed, 1e-9)
    if stats.realtime_granted:
        priority = "real-time priority"
    else:
        priority = "no real-time priority (errno %d)" % stats.realtime_errno
    print(
        "  loop      %d ticks in %.2f s: %.1f Hz achieved (target %.0f Hz), %d missed deadlines, "
        "%d failed exchanges, %s"
        % (stats.ticks, elapsed, stats.ticks / elapsed, arguments.rate, stats.missed_deadlines,
           stats.failed_exchanges, priority),
        file=out,
    )
    print("  lateness  %s (wake-up after the deadline)" % percentile_text(stats.wakeup_lateness), file=out)
    print("  exchange  %s" % percentile_text(stats.exchange_time), file=out)
    print(
        "  host      %d hand updates from Python, %.0f per second, longest gap %.1f ms"
        % (updates, updates / elapsed, longest_gap * 1e3),
        file=out,
    )
    if allocating is not None:
        print(
            "  alloc     %d lists of %d floats and dicts of %d lists dropped beside the loop"
            % (allocating.rounds, AllocatingThread.LIST_LENGTH, AllocatingThread.DICT_LENGTH),
            file=out,
        )
    print("  start     %s m" % vector_text(record.start), file=out)
    print("  end       %s m" % vector_text(record.end), file=out)
    print(
        "  range     x [%+.4f, %+.4f]  y [%+.4f, %+.4f]  z [%+.4f, %+.4f] m"
        % (record.lowest[0], record.highest[0], record.lowest[1], record.highest[1], record.lowest[2],
           record.highest[2]),
        file=out,
    )
    for line in record.summary():
        print(line, file=out)
    if arguments.csv:
        dropped = " (%d ticks dropped from the trace)" % stats.trace_dropped if stats.trace_dropped else ""
        print("  trace     %s, %d ticks%s" % (arguments.csv, record.ticks, dropped), file=out)


def run(arm: kivra.Arm, arguments: argparse.Namespace, out: TextIO) -> int:
    info = arm.wakeup()
    if info.model_number != kivra.arm.MODEL_NUMBER:
        print("no arm device answered (model %d)" % info.model_number, file=sys.stderr)
        return 1
    print(
        "arm: device id %d, model %d, hardware %d, firmware %d, unique id %s"
        % (info.device_id, info.model_number, info.hardware_version, info.firmware_version, info.unique_id),
        file=out,
    )
    start, _ = arm.exchange_force((0.0, 0.0, 0.0))
    wall_x = start[0] - arguments.wall_distance
    beside = "; allocating thread beside it" if arguments.allocating_thread else ""
    if arguments.scene == "shapes":
        scene = shapes_scene(start, arguments.wall_distance, arguments.stiffness)
        print(
            "scene: a sphere, a box with friction and a guide around the start %s m, %.0f N/m; "
            "servo loop %.0f Hz for %.1f s%s"
            % (vector_text(start, 6), arguments.stiffness, arguments.rate, arguments.duration, beside),
            file=out,
        )
    else:
        print(
            "wall: x = %+.4f m, %.0f N/m; servo loop %.0f Hz for %.1f s%s"
            % (wall_x, arguments.stiffness, arguments.rate, arguments.duration, beside),
            file=out,
        )

    allocating = AllocatingThread() if arguments.allocating_thread else None
    with contextlib.ExitStack() as stack:
        trace_file = stack.enter_context(open(arguments.csv, "w", newline="")) if arguments.csv else None
        loop = stack.enter_context(kivra.ServoLoop(arm, arguments.rate))
        if arguments.scene == "shapes":
            record: WallRecord = ShapesRecord(start, scene[:2], trace_file)
            try:
                loop.set_scene(*scene)
            except ValueError as error:  # a stiffness the rate cannot keep passive
                print("scene refused: %s" % error, file=sys.stderr)
                return 2
        else:
            record = WallRecord(start, wall_x, arguments.stiffness, trace_file)
        spring = kivra.Spring(anchor=start, stiffness=GUIDE_STIFFNESS, damping=GUIDE_DAMPING)
        if arguments.scene == "shapes":
            loop.set_effects(spring, force_limit=FORCE_LIMIT)
        else:
            loop.set_effects(
                kivra.Wall(point=(wall_x, start[1], start[2]), normal=(1.0, 0.0, 0.0),
                           stiffness=arguments.stiffness, damping=WALL_DAMPING),
                spring,
                force_limit=FORCE_LIMIT,
            )
        if allocating is not None:
            # A thread that never blocks keeps the interpreter lock for the
            # whole switch interval (5 ms) each time it gets it; the hand's
            # updates come closer to their 10 ms with a shorter one.
            sys.setswitchinterval(0.001)
            allocating.start()
            stack.callback(allocating.stop)
        updates, longest_gap = drive(loop, arguments, record, out)
        loop.stop()
        record.add(loop.trace())
        stats = loop.stats()
        scene_stats = loop.scene_stats()
    print_summary(stats, arguments, record, updates, longest_gap, allocating, out)
    if arguments.scene == "shapes":
        print("  scene     %d solids released by the energy watch" % scene_stats.released_shapes, file=out)
    if stats.failed_exchanges > stats.ticks // 2:
        print(
            "the device stopped answering (%d of %d exchanges failed)" % (stats.failed_exchanges, stats.ticks),
            file=sys.stderr,
        )
        return 1
    return 0


def terminate(signal_number: int, frame: Optional[types.FrameType]) -> NoReturn:
    # Unwinds like Ctrl-C so that the loop stops and the emulator goes with it.
    raise SystemExit(128 + signal_number)


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = parse_arguments(sys.argv[1:] if argv is None else argv)
    signal.signal(signal.SIGTERM, terminate)
    with contextlib.ExitStack() as stack:
        port = port_or_emulator(stack, "arm", arguments.port, arguments.emulator,
                                realtime_priority=EMULATOR_PRIORITY)
        if port is None:
            return 1
        try:
            arm = stack.enter_context(kivra.Arm(port))
            return run(arm, arguments, sys.stdout)
        except kivra.KivraError as error:
            print("arm on %s: %s" % (port, error), file=sys.stderr)
            return 1
    # Only if a context swallowed an exception, which none of these does.
    return 1


if __name__ == "__main__":
    sys.exit(main())
