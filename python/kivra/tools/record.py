"""``kivra record``: the servo loop on an arm (or the emulated one), every tick into an MCAP file;
``kivra record --repair``: a recording cut short made whole; ``kivra export``: a recording's ticks as CSV;
``kivra replay``: a recording played back into the emulated arm, its forces compared."""

import argparse
import contextlib
import csv
import os
import sys
import time
from typing import TextIO, Tuple

from ..emulator import Emulator
from .common import INTERRUPTED, _Interrupt
from .monitor import _start_arm, add_effect_arguments, monitor_effects, recording_line

_STATUS_INTERVAL = 1.0  # [s]


def add_record_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("file", help="the MCAP file to write (replaced if it exists), or to repair with --repair")
    p.add_argument(
        "--repair",
        action="store_true",
        help="instead of recording: make FILE whole again if its recording was cut short (its whole chunks "
        "kept, a new summary and footer), in place; a whole FILE is left as it is",
    )
    p.add_argument("--port", help="the arm's port; without it the emulated arm")
    p.add_argument("--duration", type=float, default=0.0, help="stop after this many seconds (0: until Ctrl-C)")
    p.add_argument("--rate", type=float, default=1000.0, help="servo rate [Hz] (1000)")
    p.add_argument("--compression", choices=("zstd", "lz4", "none"), default="zstd", help="of the chunks (zstd)")
    add_effect_arguments(p)


def cmd_record(args: argparse.Namespace) -> int:
    from ..servo import ServoLoop

    if args.repair:
        return _repair(args.file)
    if args.duration < 0:
        raise ValueError("--duration must be 0 or more seconds, got %r" % args.duration)
    with contextlib.ExitStack() as stack:
        stop = stack.enter_context(_Interrupt())
        port = args.port
        if not port:
            port = stack.enter_context(Emulator("arm")).port
        arm, start, identity = _start_arm(port, args, stop, identify=True)
        stack.enter_context(arm)
        loop = ServoLoop(arm, args.rate)
        stack.callback(loop.stop)
        effects = monitor_effects(args, start)
        if effects:
            loop.set_effects(*effects, force_limit=args.force_limit)
        recording = loop.record(args.file, args.compression, identity=identity)
        stack.callback(recording.stop)
        print("kivra record: %s from %s  (Ctrl-C to stop)" % (args.file, port), flush=True)
        deadline = time.monotonic() + args.duration if args.duration else None
        next_status = time.monotonic() + _STATUS_INTERVAL
        while not stop.is_set() and (deadline is None or time.monotonic() < deadline):
            left = _STATUS_INTERVAL if deadline is None else deadline - time.monotonic()
            stop.wait(max(0.0, min(0.1, left)))
            if time.monotonic() >= next_status:
                print(recording_line(recording), flush=True)
                next_status += _STATUS_INTERVAL
        recording.stop()
        print(recording_line(recording), file=sys.stdout, flush=True)
    return INTERRUPTED if stop.is_set() else 0


def _repair(path: str) -> int:
    from ..recording_reader import repair_recording

    result = repair_recording(path)
    if result.repaired:
        print("kivra record: repaired %s: %d ticks kept" % (path, result.ticks), flush=True)
    else:
        print("kivra record: %s is whole (%d ticks); left as it is" % (path, result.ticks), flush=True)
    return 0


#: The columns of ``kivra export --csv``: time [s], position [m], velocity
#: [m/s], force sent [N], host force [N], outcome, lateness [s], exchange time [s].
CSV_COLUMNS = ("t", "x", "y", "z", "vx", "vy", "vz", "fx", "fy", "fz", "hx", "hy", "hz", "outcome", "lateness",
               "exchange")


def add_export_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("file", help="the MCAP recording to read")
    p.add_argument(
        "--csv",
        nargs="?",
        const="",
        required=True,
        metavar="OUT",
        help="one row per tick into OUT (without it: FILE with .csv; '-': standard output); columns "
        + ", ".join(CSV_COLUMNS),
    )


def _write_csv(path: str, out: TextIO) -> int:
    from ..recording_reader import read_recording

    ticks = read_recording(path)
    rows = csv.writer(out, lineterminator="\n")
    rows.writerow(CSV_COLUMNS)
    count = 0
    for recorded in ticks:
        t = recorded.state
        rows.writerow(
            (repr(t.time),) + tuple(repr(v) for v in t.position + t.velocity + t.force + t.host_force)
            + (t.status, repr(t.wakeup_lateness), repr(t.exchange_time))
        )
        count += 1
    return count


def cmd_export(args: argparse.Namespace) -> int:
    out_path = args.csv or os.path.splitext(args.file)[0] + ".csv"
    if out_path == "-":
        _write_csv(args.file, sys.stdout)
        return 0
    if os.path.abspath(out_path) == os.path.abspath(args.file):
        raise ValueError("the CSV would replace the recording %s: give another OUT" % args.file)
    temporary = out_path + ".part"
    try:
        with open(temporary, "w", encoding="utf-8", newline="") as out:
            count = _write_csv(args.file, out)
        os.replace(temporary, out_path)
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)
    print("kivra export: %d ticks into %s" % (count, out_path), flush=True)
    return 0


def add_replay_arguments(p: argparse.ArgumentParser) -> None:
    from ..replay import FLOOR, TOLERANCE

    p.add_argument("file", help="the MCAP recording to play back")
    p.add_argument("--wall-stiffness", type=float, metavar="N/m",
                   help="replay with every recorded wall this stiff instead (the first recorded effects, changed)")
    p.add_argument("--tolerance", type=float, default=TOLERANCE,
                   help="a tick differs when its force is further than this share of the recorded one (%g)"
                   % TOLERANCE)
    p.add_argument("--floor", type=float, default=FLOOR, metavar="N",
                   help="... and further than this many newtons (%g)" % FLOOR)


def _vector_text(values: Tuple[float, float, float]) -> str:
    return "(%s)" % ", ".join("%.3f" % v for v in values)


def cmd_replay(args: argparse.Namespace) -> int:
    from ..recording_reader import read_recording
    from ..replay import first_effects, replay_recording
    from ..servo import Wall

    ticks = list(read_recording(args.file))
    effects = force_limit = None
    if args.wall_stiffness is not None:
        first = first_effects(ticks)
        if first is None:
            raise ValueError("%s records no effects whose walls --wall-stiffness could change" % args.file)
        recorded, force_limit = first
        if not any(isinstance(e, Wall) for e in recorded):
            raise ValueError("%s records no wall for --wall-stiffness to change" % args.file)
        effects = [e._replace(stiffness=args.wall_stiffness) if isinstance(e, Wall) else e for e in recorded]
    print("kivra replay: %s into the emulated arm" % args.file, flush=True)
    r = replay_recording(ticks, effects=effects, force_limit=force_limit, tolerance=args.tolerance,
                         floor=args.floor)
    print("%d ticks at %g Hz, %d compared (not compared: the first, and those before the replay had the recorded "
          "effects or after a failed exchange)" % (r.ticks, r.rate, r.compared))
    print("largest difference %.4f N at tick %d (%.3f s): recorded %s N, now %s N"
          % (r.largest, r.tick, r.time, _vector_text(r.recorded), _vector_text(r.replayed)))
    if r.differing:
        print("DIFFERENT: %d of %d ticks differ by more than %g%% and %g N"
              % (r.differing, r.compared, 100 * args.tolerance, args.floor), flush=True)
        return 1
    print("the same: no tick differs by more than %g%% (or %g N)" % (100 * args.tolerance, args.floor), flush=True)
    return 0


__all__ = ["CSV_COLUMNS", "add_export_arguments", "add_record_arguments", "add_replay_arguments", "cmd_export",
           "cmd_record", "cmd_replay"]
