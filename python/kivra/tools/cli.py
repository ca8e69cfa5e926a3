"""The ``kivra`` command: find, probe, watch and emulate devices, and check the machine.

::

    kivra list [--json]             devices on this machine's serial ports
    kivra probe PORT [-n N]         one device's identity, status and exchange latency
    kivra monitor [PORT]            a live view of the servo loop (the emulator without PORT)
    kivra record FILE [--port P]    every servo tick into an MCAP file (ROS 2 message types)
    kivra record --repair FILE      a recording cut short made whole
    kivra export FILE --csv [OUT]   a recording's ticks as CSV
    kivra replay FILE               a recording played back into the emulator, its forces compared
    kivra emulate arm|handle [...]  the device emulator shipped with the package
    kivra doctor [PORT]             permissions, port users, latency and real-time setup
    kivra bridge [--port P]         the arm's state on a ROS 2 network, force commands from it
    kivra teleop                    a leader and a follower arm coupled through the bridge
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
import sys
import uuid
from typing import Any, Callable, List, Optional, Sequence, TextIO, Tuple

from ..emulator import Emulator, emulator_path
from ..errors import KivraError
from ..hand import PATTERNS, STRENGTH
from .common import INTERRUPTED, _abandoned, _Interrupt, interruptible, measure_exchanges
from .monitor import add_effect_arguments, DEMO_DAMPING, DEMO_SPRING, DEMO_WALL, apply_demo, emulated_arm, run_monitor
from .record import add_export_arguments, add_record_arguments, add_replay_arguments, cmd_export, cmd_record, cmd_replay


def _ms(seconds: float) -> str:
    return "%.3f ms" % (seconds * 1e3)


# ---------------------------------------------------------------- version


def version_text() -> str:
    from .. import __version__

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
    from ..discovery import PROBE_TIMEOUT, find_devices

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
    from ..arm import Arm

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
    from ..handle import Handle

    print("kind:             handle")
    with Handle(port, timeout=args.timeout) as handle:
        handle.wakeup()
        print("info:             %s" % (handle.receive(),))
        handle.request_status()
        print("status:           %s" % (handle.receive(),))


def cmd_probe(args: argparse.Namespace) -> int:
    return interruptible(lambda: _probe(args))


def _probe(args: argparse.Namespace) -> int:
    from ..errors import ProtocolError

    port = args.port
    print("port:             %s" % os.path.realpath(port))
    try:
        _probe_arm(port, args)
    except ProtocolError:
        # A handle answers an arm's wakeup with a message of its own: the
        # probe, which knows the handle's replies, tells whether this one did.
        from .._kivra_ffi import lib
        from ..discovery import _probe as probe_ports

        if probe_ports([port], args.timeout)[0].kind != lib.KIVRA_DEVICE_HANDLE:
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


def cmd_monitor(args: argparse.Namespace) -> int:
    if args.web:
        from .web import run_web_monitor

        return run_web_monitor(args)
    apply_demo(args)
    with _Interrupt() as stop:
        if args.port:
            run_monitor(args.port, args, stop)
        else:
            with emulated_arm(args) as emulator:
                run_monitor(emulator.port, args, stop)
    return INTERRUPTED if stop.is_set() else 0


# ---------------------------------------------------------------- emulate


def _hand_options(options: Sequence[str]) -> Tuple[argparse.Namespace, List[str]]:
    """--hand and --hand-strength among the emulate options; the rest go to the emulator."""
    parser = argparse.ArgumentParser(prog="kivra emulate", add_help=False)
    parser.add_argument("--hand", choices=PATTERNS, default="none")
    parser.add_argument("--hand-strength", type=_positive, default=STRENGTH)
    return parser.parse_known_args(options)


def cmd_emulate(args: argparse.Namespace) -> int:
    hand, options = _hand_options(args.options)
    if hand.hand == "none":
        command = [emulator_path(), "--device", args.device, *options]
        sys.stdout.flush()
        # Replaced, not run as a child: signals and the exit status are the emulator's own.
        os.execv(command[0], command)
    # The hand is fed from here, so the emulator runs as a child until Ctrl-C or SIGTERM.
    pushed = Emulator(args.device, options, hand=hand.hand, hand_strength=hand.hand_strength)
    with _Interrupt() as stop, pushed as emulator:
        print(emulator.port)
        print("%s (%s, at most %g N)" % (emulator.description, hand.hand, hand.hand_strength), flush=True)
        while emulator.running and not stop.wait(0.1):
            pass
    return 0


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

    results = interruptible(lambda: run_checks(args.port, exchanges=args.exchanges, root=args.root))
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


def _examples(*lines: str) -> str:
    """An --help epilog: the commands given, each with what it does."""
    return "examples:\n" + "\n".join("  " + line for line in lines)


def _add_parser(commands: Any, name: str, examples: str, **options: Any) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        name, epilog=examples, formatter_class=argparse.RawDescriptionHelpFormatter, **options
    )
    return parser


def _add_list(commands: Any) -> None:
    p = _add_parser(
        commands,
        "list",
        _examples(
            "kivra list                     # a table: port, kind, model, ids, names",
            "kivra list --json | jq '.[0]'  # the same as JSON records",
        ),
        help="devices on this machine's serial ports",
    )
    p.add_argument("--json", action="store_true", help="one JSON list of records instead of a table")
    p.add_argument("--timeout", type=float, help="probe time-out per port [s]")
    # The folder whose tty names are probed; tests pass a folder of links.
    p.add_argument("--directory", default="/dev", help=argparse.SUPPRESS)
    p.set_defaults(run=cmd_list)


def _add_probe(commands: Any) -> None:
    p = _add_parser(
        commands,
        "probe",
        _examples(
            "kivra probe /dev/ttyACM0         # identity, status and the latency of 1000 exchanges",
            "kivra probe /dev/ttyACM0 -n 0    # identity and status only",
        ),
        help="one device's identity, status and exchange latency",
    )
    p.add_argument("port")
    p.add_argument("-n", "--exchanges", type=int, default=1000, help="exchanges to time (1000)")
    p.add_argument("--timeout", type=float, default=0.5, help="reply time-out [s] (0.5)")
    p.set_defaults(run=cmd_probe)


def _add_monitor(commands: Any) -> argparse.ArgumentParser:
    p = _add_parser(
        commands,
        "monitor",
        _examples(
            "kivra monitor --demo --web       # the emulated arm pressed into a wall by a scripted hand, in a browser",
            "kivra monitor /dev/ttyACM0 --spring 100 --damping 2",
            "kivra monitor --web --http-port 8080 --wall 0.02",
        ),
        help="a live view of the servo loop on an arm",
    )
    p.add_argument("port", nargs="?", help="the arm's port; without it the emulated arm")
    p.add_argument("--rate", type=float, default=1000.0, help="servo rate [Hz] (1000)")
    p.add_argument("--duration", type=float, default=0.0, help="stop after this many seconds (0: until Ctrl-C)")
    p.add_argument("--refresh", type=_positive, default=20.0, help="screen updates per second (20)")
    add_effect_arguments(p)
    p.add_argument(
        "--demo",
        action="store_true",
        help="the emulated arm, pressed down by a scripted hand into a wall %g cm below (with a %g N/m spring and "
        "%g N s/m damping unless given)" % (DEMO_WALL * 100, DEMO_SPRING, DEMO_DAMPING),
    )
    p.add_argument("--web", action="store_true", help="serve a live page with plots and effect controls instead")
    p.add_argument("--http-port", type=_port_number, default=0, metavar="N", help="the page's port (0: any free one)")
    p.add_argument("--host", default="127.0.0.1", help="the page's address (127.0.0.1: this machine only)")
    p.add_argument(
        "--no-token",
        action="store_true",
        help="serve the page without the token in its address "
        "(only on a loopback --host: anyone on this machine may then use it)",
    )
    p.add_argument("--record", metavar="FILE", help="record every tick into an MCAP file meanwhile")
    p.add_argument("--compression", choices=("zstd", "lz4", "none"), default="zstd", help="of --record (zstd)")
    p.add_argument("--record-dir", metavar="DIR",
                   help="where the page's Record button writes its recordings (the working directory)")
    p.set_defaults(run=cmd_monitor)
    return p


def _add_record(commands: Any) -> None:
    p = commands.add_parser(
        "record",
        help="record every servo tick into an MCAP file",
        description="Runs the servo loop on the arm at --port (the emulated arm without it) and records "
        "every tick into FILE with ROS 2 message types, until --duration or Ctrl-C.",
    )
    add_record_arguments(p)
    p.set_defaults(run=cmd_record)


def _add_export(commands: Any) -> None:
    p = _add_parser(
        commands,
        "export",
        _examples(
            "kivra export run.mcap --csv           # one row per tick into run.csv",
            "kivra export run.mcap --csv - | head  # the same on standard output",
        ),
        help="a recording's ticks as CSV",
        description="Reads the recording FILE (one cut short up to its last whole chunk) and writes one row per "
        "tick: time [s], position [m], velocity [m/s], force sent [N], host force [N], the exchange's outcome, "
        "wake-up lateness [s] and exchange time [s].",
    )
    add_export_arguments(p)
    p.set_defaults(run=cmd_export)


def _add_replay(commands: Any) -> None:
    p = _add_parser(
        commands,
        "replay",
        _examples(
            "kivra replay wall.mcap                        # exit status 0: every force as recorded",
            "kivra replay wall.mcap --wall-stiffness 3000  # what the recorded hand would have felt",
        ),
        help="a recording played back into the emulator, its forces compared",
        description="Plays the recorded positions and velocities of FILE back into the emulated arm, tick by "
        "tick, with the recorded effects and scenes, and compares the force the loop renders now with the "
        "recorded one (less the host's part). Prints the largest difference; exit status 1 when a tick differs.",
    )
    add_replay_arguments(p)
    p.set_defaults(run=cmd_replay)


def _add_emulate(commands: Any) -> None:
    p = _add_parser(
        commands,
        "emulate",
        _examples(
            "kivra emulate arm                          # prints the port, then serves until Ctrl-C",
            "kivra emulate arm --hand press             # a scripted hand presses the arm down and pulls it back",
            "kivra emulate arm --link /tmp/ttyACM9 --unique-id 00112233445566778899aabbccddeeff",
            "kivra emulate handle --device-id 5",
        ),
        help="play an arm or a handle on a new pseudo-terminal",
        description="Runs the emulator shipped with the package; it prints the port's path, then what it serves "
        "there, and serves until Ctrl-C. The options after the device go to it (--link PATH, --unique-id HEX, "
        "--delay S, --silent, --hang-up-after N, ...; 'kivra emulate arm --help' lists them), but for --hand "
        "press|circle|none and --hand-strength N: a scripted hand that pushes the arm from outside, at most N "
        "newtons (%g)." % STRENGTH,
    )
    p.add_argument("device", choices=("arm", "handle"))
    p.add_argument("options", nargs=argparse.REMAINDER, help="emulator options")
    p.set_defaults(run=cmd_emulate)


def _add_doctor(commands: Any) -> None:
    p = _add_parser(
        commands,
        "doctor",
        _examples(
            "kivra doctor                 # every serial port found, and the machine",
            "kivra doctor /dev/ttyACM0    # one port",
            "kivra doctor --json",
        ),
        help="check permissions, port users, latency and real-time setup",
    )
    p.add_argument("port", nargs="?", help="the port to check; without it every serial port found")
    p.add_argument("-n", "--exchanges", type=int, default=200, help="exchanges of the latency check (200)")
    p.add_argument("--json", action="store_true", help="the findings as JSON")
    # Where /proc and /sys are read; tests pass a folder of their own.
    p.add_argument("--root", default="/", help=argparse.SUPPRESS)
    p.set_defaults(run=cmd_doctor)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kivra",
        description="The Pendra3 arm and the Handle from the command line.",
        epilog=_examples(
            "kivra list                    # which devices answer, on which ports",
            "kivra monitor --demo --web    # the servo loop on the emulated arm, in a browser",
            "kivra doctor                  # what keeps this machine from a steady 1 kHz loop",
            "kivra COMMAND --help          # a command's options and examples",
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="store_true", help="print the versions and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    _add_list(commands)
    _add_probe(commands)
    _add_monitor(commands)
    _add_record(commands)
    _add_export(commands)
    _add_replay(commands)
    _add_emulate(commands)
    _add_doctor(commands)
    from .network import add_commands

    add_commands(commands)
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
