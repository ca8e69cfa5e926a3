"""What recording costs a 1 kHz servo loop on the emulated arm (or --port).

Alternates windows of --window seconds without and with a recording beside the
loop, --rounds times, and prints for each kind of window the loop's missed
deadlines (median per window, and the ratio of the medians), and for the
recordings their file size per second and the CPU time of the recorder's
thread (named "kivra-record") per second. Not part of the tests: run it as

    PYTHONPATH=build/pypy/python pypy3 bench/record_bench.py [--window 10] [--rounds 3] [--compression zstd]
"""

import argparse
import os
import statistics
import sys
import tempfile
import time
from typing import List, Optional

import kivra


def recorder_cpu() -> Optional[float]:
    """CPU time [s] of this process's thread named kivra-record, or None when there is none."""
    ticks = os.sysconf("SC_CLK_TCK")
    for task in os.listdir("/proc/self/task"):
        try:
            with open("/proc/self/task/%s/comm" % task) as comm:
                if comm.read().strip() != "kivra-record":
                    continue
            with open("/proc/self/task/%s/stat" % task) as stat:
                fields = stat.read().rpartition(")")[2].split()
            return (int(fields[11]) + int(fields[12])) / ticks  # utime, stime
        except OSError:
            continue
    return None


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", help="the arm's port; without it the emulated arm")
    parser.add_argument("--window", type=float, default=10.0, help="seconds per window (10)")
    parser.add_argument("--rounds", type=int, default=3, help="pairs of windows (3)")
    parser.add_argument("--rate", type=float, default=1000.0, help="servo rate [Hz] (1000)")
    parser.add_argument("--compression", choices=("zstd", "lz4", "none"), default="zstd")
    args = parser.parse_args(argv)

    emulator = None if args.port else kivra.Emulator("arm")
    port = args.port or emulator.port  # type: ignore[union-attr]
    misses: dict = {False: [], True: []}
    sizes: List[float] = []
    cpu: List[float] = []
    try:
        with kivra.Arm(port) as arm, kivra.ServoLoop(arm, args.rate) as loop, tempfile.TemporaryDirectory() as folder:
            for round_number in range(args.rounds):
                for recorded in (False, True):
                    before = loop.stats().missed_deadlines
                    if not recorded:
                        time.sleep(args.window)
                    else:
                        path = os.path.join(folder, "%d.mcap" % round_number)
                        started = time.monotonic()
                        with loop.record(path, args.compression):
                            time.sleep(args.window)
                            used = recorder_cpu()
                        took = time.monotonic() - started
                        sizes.append(os.path.getsize(path) / took)
                        if used is not None:
                            cpu.append(used / took)
                        os.remove(path)
                    misses[recorded].append(loop.stats().missed_deadlines - before)
    finally:
        if emulator is not None:
            emulator.close()
    without, within = statistics.median(misses[False]), statistics.median(misses[True])
    print("windows of %g s at %g Hz, %d rounds, %s chunks" % (args.window, args.rate, args.rounds, args.compression))
    print("missed deadlines per window: without %s, with %s (medians %g and %g, ratio %s)" % (
        misses[False], misses[True], without, within, "%.2f" % (within / without) if without else "-"))
    print("file size: %.1f kB/s (median)" % (statistics.median(sizes) / 1e3))
    if cpu:
        print("recorder CPU: %.2f ms/s (median)" % (statistics.median(cpu) * 1e3))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
