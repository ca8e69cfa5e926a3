"""``kivra record``: the servo loop on an arm (or the emulated one), every tick into an MCAP file."""

import argparse
import contextlib
import sys
import time

from ..emulator import Emulator
from .common import INTERRUPTED, _Interrupt
from .monitor import _start_arm, add_effect_arguments, monitor_effects, recording_line

_STATUS_INTERVAL = 1.0  # [s]


def add_record_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("file", help="the MCAP file to write (replaced if it exists)")
    p.add_argument("--port", help="the arm's port; without it the emulated arm")
    p.add_argument("--duration", type=float, default=0.0, help="stop after this many seconds (0: until Ctrl-C)")
    p.add_argument("--rate", type=float, default=1000.0, help="servo rate [Hz] (1000)")
    p.add_argument("--compression", choices=("zstd", "lz4", "none"), default="zstd", help="of the chunks (zstd)")
    add_effect_arguments(p)


def cmd_record(args: argparse.Namespace) -> int:
    from ..servo import ServoLoop

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


__all__ = ["add_record_arguments", "cmd_record"]
