"""The ``kivra`` command: find, probe, watch and emulate devices, and check the machine.

::

    kivra list [--json]             devices on this machine's serial ports
    kivra probe PORT [-n N]         one device's identity, status and exchange latency
    kivra monitor [PORT]            a live view of the servo loop (the emulator without PORT)
    kivra emulate arm|handle [...]  the device emulator shipped with the package
    kivra doctor [PORT]             permissions, port users, latency and real-time setup
    kivra --version

Every subcommand is a function ``(args) -> exit status`` registered in
:func:`build_parser`; a new option or subcommand is one more ``add_argument``
or one more ``_add_*`` function.
"""

import argparse
import dataclasses
import json
import math
import os
import signal
import sys
import threading
import time
import uuid
from typing import Any, Callable, Dict, List, Optional, Sequence, TextIO, Tuple, TypeVar

from .emulator import Emulator, emulator_path
from .errors import KivraError

#: Exit status of a command ended by Ctrl-C, as a shell reports it.
INTERRUPTED = 130
_WAIT_SLICE = 0.05  # [s] between two looks for a Ctrl-C while a device call runs
_T = TypeVar("_T")
# Workers a Ctrl-C left inside a device call: the process ends without waiting for them.
_abandoned: List[threading.Thread] = []


# ---------------------------------------------------------------- helpers


class _Interrupt:
    """Turns SIGINT and SIGTERM into an event the command waits on, so a stop never lands mid-cleanup.

    SIGTERM (a time limit, a service manager) stops a command as Ctrl-C
    does: the loop ramps its force down and the emulator it started ends.
    """

    SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __init__(self) -> None:
        self.event = threading.Event()
        self._previous: List[Any] = []

    def __enter__(self) -> threading.Event:
        self._previous = [signal.signal(number, lambda *_: self.event.set()) for number in self.SIGNALS]
        return self.event

    def __exit__(self, *exc_info: Any) -> None:
        for number, previous in zip(self.SIGNALS, self._previous):
            signal.signal(number, previous)


def interruptible(work: Callable[[], _T], stop: Optional[threading.Event] = None) -> _T:
    """work()'s result, worked out on another thread while this one waits for it in short slices.

    A device call holds the thread that made it until its reply or its
    time-out, however long that is, and Python runs a signal handler only on
    the main thread, between two of its statements. So the main thread waits
    here instead: a Ctrl-C raises KeyboardInterrupt at once (or sets ``stop``,
    where a handler turns signals into it), and the worker is left to the end
    of the process.
    """
    outcome: List[Tuple[bool, Any]] = []

    def run() -> None:
        try:
            outcome.append((True, work()))
        except BaseException as error:  # handed to the waiting thread as it is
            outcome.append((False, error))

    worker = threading.Thread(target=run, name="kivra-device-call", daemon=True)
    worker.start()
    try:
        while worker.is_alive():
            if stop is not None and stop.is_set():
                raise KeyboardInterrupt
            worker.join(_WAIT_SLICE)
    except BaseException:
        if worker.is_alive():
            _abandoned.append(worker)
        raise
    succeeded, value = outcome[0]
    if not succeeded:
        raise value
    return value  # type: ignore[no-any-return]


def percentiles(samples: Sequence[float], points: Sequence[float] = (50.0, 99.0)) -> List[float]:
    """Nearest-rank percentiles of samples (which must not be empty)."""
    ordered = sorted(samples)
    return [ordered[min(len(ordered), max(1, math.ceil(p / 100.0 * len(ordered)))) - 1] for p in points]


def measure_exchanges(port: str, count: int, timeout: float = 0.05) -> Dict[str, float]:
    """Times count zero-force exchanges with the arm on port; seconds."""
    from .arm import Arm

    if count < 1:
        raise ValueError("the number of exchanges must be at least 1, got %d" % count)
    with Arm(port, timeout=timeout) as arm:
        force, position, velocity = Arm.buffer(), Arm.buffer(), Arm.buffer()
        times = []
        clock = time.perf_counter
        for _ in range(count):
            start = clock()
            arm.exchange_force(force, position, velocity)
            times.append(clock() - start)
    p50, p99 = percentiles(times)
    return {"count": float(count), "p50": p50, "p99": p99, "max": max(times), "mean": sum(times) / len(times)}


def _ms(seconds: float) -> str:
    return "%.3f ms" % (seconds * 1e3)


# ---------------------------------------------------------------- version


def version_text() -> str:
    from . import __version__

    try:
        import KivraHardwareAPI

        interface = "KivraHardwareAPI interface %s" % KivraHardwareAPI.get_cpp_version()
    except ImportError as error:
        interface = "KivraHardwareAPI not importable: %s" % error
    return "kivra %s (%s)" % (__version__, interface)


# ---------------------------------------------------------------- list


def _jsonable(value: Any) -> Any:
    if isinstance(value, uuid.UUID):
        return str(value)
    if isinstance(value, dict):
        return {k: _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    return value


def _table(rows: List[List[str]], out: TextIO) -> None:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        out.write("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() + "\n")


def _text(value: Any) -> str:
    return "" if value is None else str(value)


def cmd_list(args: argparse.Namespace) -> int:
    from .discovery import PROBE_TIMEOUT, find_devices

    timeout = PROBE_TIMEOUT if args.timeout is None else args.timeout
    devices = interruptible(lambda: find_devices(timeout, directory=args.directory))
    if args.json:
        json.dump([_jsonable(dataclasses.asdict(d)) for d in devices], sys.stdout, indent=2)
        sys.stdout.write("\n")
        return 0
    if not devices:
        print("no devices found")
        return 0
    rows = [["PORT", "KIND", "MODEL", "DEVICE ID", "UNIQUE ID", "NAMES"]]
    for d in devices:
        kind = d.kind if d.kind in ("arm", "handle") else "in use" if d.in_use else "?"
        names = " ".join(d.links) + ("  (%s)" % d.error if d.error else "")
        rows.append([d.port, kind, _text(d.model), _text(d.device_id), _text(d.unique_id), names])
    _table(rows, sys.stdout)
    return 0


# ---------------------------------------------------------------- probe


def _probe_arm(port: str, args: argparse.Namespace) -> None:
    from .arm import Arm

    with Arm(port, timeout=args.timeout) as arm:
        info = arm.wakeup()
        print("kind:             arm")
        print("device id:        %d" % info.device_id)
        print("model:            %d" % info.model_number)
        print("hardware version: %d" % info.hardware_version)
        print("firmware version: %d" % info.firmware_version)
        print("unique id:        %s" % info.unique_id)
        print("firmware id:      %s" % arm.firmware_id())
        status = arm.status()
    print("motor currents:   %s" % ", ".join("%.3f" % c for c in status.motor_currents))
    print("temperature:      %.1f" % status.temperature)
    print("power:            %s" % ("on" if status.powered else "off"))
    print("orientation:      %s" % ", ".join("%.3f" % c for c in status.orientation))


def _probe_handle(port: str, args: argparse.Namespace) -> None:
    from .handle import Handle

    print("kind:             handle")
    with Handle(port, timeout=args.timeout) as handle:
        handle.wakeup()
        print("info:             %s" % (handle.receive(),))
        handle.request_status()
        print("status:           %s" % (handle.receive(),))


def cmd_probe(args: argparse.Namespace) -> int:
    return interruptible(lambda: _probe(args))


def _probe(args: argparse.Namespace) -> int:
    from .errors import ProtocolError

    port = args.port
    print("port:             %s" % os.path.realpath(port))
    try:
        _probe_arm(port, args)
    except ProtocolError as error:
        # A handle answers an arm's wakeup with its info or status message.
        if error.code not in (208, 218):
            raise
        _probe_handle(port, args)
        return 0
    n = args.exchanges
    if n > 0:
        timing = measure_exchanges(port, n, args.timeout)
        print(
            "exchange latency: p50 %s, p99 %s, max %s over %d exchanges"
            % (_ms(timing["p50"]), _ms(timing["p99"]), _ms(timing["max"]), n)
        )
    return 0


# ---------------------------------------------------------------- monitor


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


def monitor_effects(args: argparse.Namespace, start: Sequence[float]) -> List[Any]:
    """The effects chosen on the command line, placed relative to the start position."""
    from .servo import Damping, Spring, Wall

    effects: List[Any] = []
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
    from .arm import Arm

    def start() -> Tuple[Any, Any, Any]:
        arm = Arm(port, timeout=args.timeout)
        try:
            identity = None
            if identify:
                from .web import identity_fields

                identity = identity_fields(port, arm.wakeup(), arm.firmware_id())
            position, _ = arm.exchange_force((0.0, 0.0, 0.0)) or ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0))
        except BaseException:
            arm.close()
            raise
        return arm, position, identity

    return interruptible(start, stop)


def run_monitor(port: str, args: argparse.Namespace, stop: threading.Event) -> None:
    from .servo import ServoLoop

    arm, start, _ = _start_arm(port, args, stop)
    with arm:
        loop = ServoLoop(arm, args.rate)
        try:
            effects = monitor_effects(args, start)
            if effects:
                loop.set_effects(*effects, force_limit=args.force_limit)
            previous = (0, time.monotonic())
            deadline = time.monotonic() + args.duration if args.duration else None
            with MonitorView(sys.stdout) as view:
                while not stop.is_set() and (deadline is None or time.monotonic() < deadline):
                    lines, previous = monitor_lines(port, loop, previous, time.monotonic())
                    view.draw(lines)
                    stop.wait(1.0 / args.refresh)
        finally:
            loop.stop()


def cmd_monitor(args: argparse.Namespace) -> int:
    if args.web:
        from .web import run_web_monitor

        return run_web_monitor(args)
    with _Interrupt() as stop:
        if args.port:
            run_monitor(args.port, args, stop)
        else:
            with Emulator("arm") as emulator:
                run_monitor(emulator.port, args, stop)
    return INTERRUPTED if stop.is_set() else 0


# ---------------------------------------------------------------- emulate


def cmd_emulate(args: argparse.Namespace) -> int:
    command = [emulator_path(), "--device", args.device, *args.options]
    sys.stdout.flush()
    # Replaced, not run as a child: signals and the exit status are the emulator's own.
    os.execv(command[0], command)
    return 1  # not reached


def emulator_main() -> None:
    """The ``kivra-emulator`` command: the packaged emulator with the given arguments."""
    try:
        path = emulator_path()
        os.execv(path, [path, *sys.argv[1:]])
    except OSError as error:
        sys.exit("kivra-emulator: %s" % error)


# ---------------------------------------------------------------- doctor


def cmd_doctor(args: argparse.Namespace) -> int:
    from .doctor import report, run_checks

    results = interruptible(lambda: run_checks(args.port, exchanges=args.exchanges))
    return report(results, sys.stdout, as_json=args.json)


# ---------------------------------------------------------------- parser


def _positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0.0):
        raise argparse.ArgumentTypeError("must be a number above 0, got %r" % text)
    return value


def _port_number(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError("must be a TCP port number from 0 to 65535, got %r" % text)
    return value


def _add_list(commands: Any) -> None:
    p = commands.add_parser("list", help="devices on this machine's serial ports")
    p.add_argument("--json", action="store_true", help="one JSON list of records instead of a table")
    p.add_argument("--timeout", type=float, help="probe time-out per port [s]")
    # The folder whose tty names are probed; tests pass a folder of links.
    p.add_argument("--directory", default="/dev", help=argparse.SUPPRESS)
    p.set_defaults(run=cmd_list)


def _add_probe(commands: Any) -> None:
    p = commands.add_parser("probe", help="one device's identity, status and exchange latency")
    p.add_argument("port")
    p.add_argument("-n", "--exchanges", type=int, default=1000, help="exchanges to time (1000)")
    p.add_argument("--timeout", type=float, default=0.5, help="reply time-out [s] (0.5)")
    p.set_defaults(run=cmd_probe)


def _add_monitor(commands: Any) -> argparse.ArgumentParser:
    p: argparse.ArgumentParser = commands.add_parser("monitor", help="a live view of the servo loop on an arm")
    p.add_argument("port", nargs="?", help="the arm's port; without it the emulated arm")
    p.add_argument("--rate", type=float, default=1000.0, help="servo rate [Hz] (1000)")
    p.add_argument("--duration", type=float, default=0.0, help="stop after this many seconds (0: until Ctrl-C)")
    p.add_argument("--refresh", type=_positive, default=20.0, help="screen updates per second (20)")
    p.add_argument("--timeout", type=float, default=0.05, help="exchange time-out [s] (0.05)")
    p.add_argument("--spring", type=float, default=0.0, metavar="N/m", help="a spring towards the start position")
    p.add_argument("--damping", type=float, default=0.0, metavar="Ns/m", help="viscous damping")
    p.add_argument("--wall", type=float, metavar="M", help="a wall plane this far below the start (along -z)")
    p.add_argument("--wall-stiffness", type=float, default=2000.0, metavar="N/m", help="the wall's stiffness (2000)")
    p.add_argument("--force-limit", type=float, default=10.0, metavar="N", help="clamp of the summed force (10)")
    p.add_argument("--web", action="store_true", help="serve a live page with plots and effect controls instead")
    p.add_argument("--http-port", type=_port_number, default=0, metavar="N", help="the page's port (0: any free one)")
    p.add_argument("--host", default="127.0.0.1", help="the page's address (127.0.0.1: this machine only)")
    p.add_argument(
        "--no-token",
        action="store_true",
        help="serve the page without the token in its address "
        "(only on a loopback --host: anyone on this machine may then use it)",
    )
    p.set_defaults(run=cmd_monitor)
    return p


def _add_emulate(commands: Any) -> None:
    p = commands.add_parser(
        "emulate",
        help="play an arm or a handle on a new pseudo-terminal",
        description="Runs the emulator shipped with the package; the options after the device go to it "
        "(--link PATH, --unique-id HEX, --delay S, --silent, --hang-up-after N, ...; "
        "'kivra emulate arm --help' lists them).",
    )
    p.add_argument("device", choices=("arm", "handle"))
    p.add_argument("options", nargs=argparse.REMAINDER, help="emulator options")
    p.set_defaults(run=cmd_emulate)


def _add_doctor(commands: Any) -> None:
    p = commands.add_parser("doctor", help="check permissions, port users, latency and real-time setup")
    p.add_argument("port", nargs="?", help="the port to check; without it every serial port found")
    p.add_argument("-n", "--exchanges", type=int, default=200, help="exchanges of the latency check (200)")
    p.add_argument("--json", action="store_true", help="the findings as JSON")
    p.set_defaults(run=cmd_doctor)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="kivra", description="The Pendra3 arm and the Handle from the command line.")
    parser.add_argument("--version", action="store_true", help="print the versions and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    _add_list(commands)
    _add_probe(commands)
    _add_monitor(commands)
    _add_emulate(commands)
    _add_doctor(commands)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.version:
        print(version_text())
        return 0
    if args.command is None:
        parser.print_help()
        return 2
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except KeyboardInterrupt:
        print("kivra %s: interrupted" % args.command, file=sys.stderr)
        if any(worker.is_alive() for worker in _abandoned):
            # Still inside the library: the interpreter's exit would wait
            # for it, or tear the library down under it.
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(INTERRUPTED)
        return INTERRUPTED
    except BrokenPipeError:
        # The reader went away (kivra list --json | head): nothing more to say,
        # and nothing for the interpreter to flush at exit either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (KivraError, OSError, ValueError) as error:
        print("kivra %s: %s" % (args.command, error), file=sys.stderr)
        return 1
