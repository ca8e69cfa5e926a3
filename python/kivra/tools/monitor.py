"""The terminal view of a servo loop, and what it shares with the web view: effects from options, the arm's start."""

import argparse
import sys
import threading
import time
from typing import TYPE_CHECKING, Any, List, Sequence, TextIO, Tuple


from .common import interruptible

if TYPE_CHECKING:
    from ..servo import Effect


def _ms(seconds: float) -> str:
    return "%.3f ms" % (seconds * 1e3)


def _vector_text(values: Sequence[float], scale: float, digits: int) -> str:
    return " ".join("%+*.*f" % (digits + 5, digits, v * scale) for v in values)


class MonitorView:
    """Redraws a fixed block of lines in place with ANSI cursor movements.

    Into a file or a pipe it writes each block after the last instead.
    """

    def __init__(self, out: TextIO) -> None:
        self.out = out
        self.lines = 0
        self.terminal = out.isatty()

    def draw(self, lines: List[str]) -> None:
        if not self.terminal:
            self.out.write("\n".join(lines) + "\n\n")
            self.out.flush()
            return
        up = "\x1b[%dF" % self.lines if self.lines else ""
        body = "".join("\x1b[2K%s\n" % line for line in lines)
        self.out.write(up + body)
        self.out.flush()
        self.lines = len(lines)

    def __enter__(self) -> "MonitorView":
        if self.terminal:
            self.out.write("\x1b[?25l")  # hide the cursor while redrawing
        return self

    def __exit__(self, *exc_info: Any) -> None:
        if self.terminal:
            self.out.write("\x1b[?25h")
            self.out.flush()


#: What ``--demo`` sets where the command line does not: a wall below the start for the hand to press into,
#: a spring back to the start, a little damping.
DEMO_WALL = 0.02  # [m]
DEMO_SPRING = 60.0  # [N/m]
DEMO_DAMPING = 2.0  # [N s/m]


def apply_demo(args: argparse.Namespace) -> None:
    """Fills in the effects of ``--demo`` that the command line left out; refuses a port with it."""
    if not getattr(args, "demo", False):
        return
    if args.port:
        raise ValueError("--demo runs on the emulated arm and its hand: leave out the port %s" % args.port)
    if args.wall is None:
        args.wall = DEMO_WALL
    args.spring = args.spring or DEMO_SPRING
    args.damping = args.damping or DEMO_DAMPING


def emulated_arm(args: argparse.Namespace) -> Any:
    """The emulated arm a monitor without a port runs on; with ``--demo``, a scripted hand presses it down."""
    from ..emulator import Emulator

    return Emulator("arm", hand="press" if getattr(args, "demo", False) else "none")


def add_effect_arguments(p: argparse.ArgumentParser) -> None:
    """The exchange time-out and the effects that monitor_effects reads."""
    p.add_argument("--timeout", type=float, default=0.05, help="exchange time-out [s] (0.05)")
    p.add_argument("--spring", type=float, default=0.0, metavar="N/m", help="a spring towards the start position")
    p.add_argument("--damping", type=float, default=0.0, metavar="Ns/m", help="viscous damping")
    p.add_argument("--wall", type=float, metavar="M", help="a wall plane this far below the start (along -z)")
    p.add_argument("--wall-stiffness", type=float, default=2000.0, metavar="N/m", help="the wall's stiffness (2000)")
    p.add_argument("--force-limit", type=float, default=10.0, metavar="N", help="clamp of the summed force (10)")


def monitor_effects(args: argparse.Namespace, start: Sequence[float]) -> List["Effect"]:
    """The effects chosen on the command line, placed relative to the start position."""
    from ..servo import Damping, Effect, Spring, Wall

    effects: List[Effect] = []
    if args.spring:
        effects.append(Spring(anchor=tuple(start), stiffness=args.spring, damping=0.0))
    if args.damping:
        effects.append(Damping(args.damping))
    if args.wall is not None:
        point = (start[0], start[1], start[2] - args.wall)
        effects.append(Wall(point=point, normal=(0.0, 0.0, 1.0), stiffness=args.wall_stiffness, damping=0.0))
    return effects


def monitor_lines(port: str, loop: Any, previous: Tuple[int, float], now: float) -> Tuple[List[str], Tuple[int, float]]:
    state = loop.state()
    stats = loop.stats()
    ticks, then = previous
    rate = (stats.ticks - ticks) / (now - then) if now > then else 0.0
    lines = [
        "kivra monitor  %s  (Ctrl-C to stop)" % port,
        "time      %10.3f s   tick %d" % (state.time, state.tick),
        "position  %s mm" % _vector_text(state.position, 1e3, 2),
        "velocity  %s mm/s" % _vector_text(state.velocity, 1e3, 1),
        "force     %s N" % _vector_text(state.force, 1.0, 3),
        "loop rate %10.1f Hz   misses %d   failed exchanges %d"
        % (rate, stats.missed_deadlines, stats.failed_exchanges),
        "lateness  p99 %s  max %s   exchange p99 %s  max %s"
        % (
            _ms(stats.wakeup_lateness.p99),
            _ms(stats.wakeup_lateness.max),
            _ms(stats.exchange_time.p99),
            _ms(stats.exchange_time.max),
        ),
        "real-time %s   memory locked %s"
        % ("yes" if stats.realtime_granted else "no", "yes" if stats.memory_locked else "no"),
    ]
    return lines, (stats.ticks, now)


def _start_arm(
    port: str, args: argparse.Namespace, stop: threading.Event, identify: bool = False
) -> Tuple[Any, Any, Any]:
    """(the arm on port, its position, its identity fields or None), asked for so that a Ctrl-C ends the wait."""
    from ..arm import Arm

    def start() -> Tuple[Any, Any, Any]:
        arm = Arm(port, timeout=args.timeout)
        try:
            identity = None
            if identify:
                from .web import identity_fields

                identity = identity_fields(port, arm.wakeup(), arm.firmware_id())
            position, _ = arm.exchange_force((0.0, 0.0, 0.0))
        except BaseException:
            arm.close()
            raise
        return arm, position, identity

    return interruptible(start, stop)


def recording_line(recording: Any) -> str:
    """The state of a recording in one line; raises RecordingError once it failed."""
    status = recording.status()
    return "recording %s: %d ticks, %.1f kB, %d dropped" % (
        recording.path,
        status.ticks_written,
        status.bytes / 1e3,
        status.ticks_dropped,
    )


def run_monitor(port: str, args: argparse.Namespace, stop: threading.Event) -> None:
    from ..servo import ServoLoop

    record = getattr(args, "record", None)
    arm, start, identity = _start_arm(port, args, stop, identify=bool(record))
    with arm:
        loop = ServoLoop(arm, args.rate)
        try:
            effects = monitor_effects(args, start)
            if effects:
                loop.set_effects(*effects, force_limit=args.force_limit)
            recording = loop.record(record, args.compression, identity=identity) if record else None
            previous = (0, time.monotonic())
            deadline = time.monotonic() + args.duration if args.duration else None
            with MonitorView(sys.stdout) as view:
                while not stop.is_set() and (deadline is None or time.monotonic() < deadline):
                    lines, previous = monitor_lines(port, loop, previous, time.monotonic())
                    if recording is not None:
                        lines.append(recording_line(recording))
                    view.draw(lines)
                    stop.wait(1.0 / args.refresh)
            if recording is not None:
                recording.stop()
                print(recording_line(recording))
        finally:
            loop.stop()
