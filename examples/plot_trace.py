"""Turns a trace of virtual_wall.py --csv into a PNG.

Runs under Debian's CPython with python3-matplotlib:

    /usr/bin/python3 examples/plot_trace.py wall.csv [--out wall.png]

Three panels: the end effector's first coordinate against the wall, the
forces sent, and the latency of each exchange (or, in a servo loop's trace,
the scripted hand's push).
"""

import argparse
import csv
import os
import sys


def read_trace(path):
    columns = {}
    with open(path, newline="") as trace:
        for row in csv.DictReader(trace):
            for name, value in row.items():
                columns.setdefault(name, []).append(float(value))
    if not columns.get("t"):
        raise ValueError("%s holds no trace rows" % path)
    return columns


def plot(columns, out_path, title):
    import matplotlib

    matplotlib.use("Agg")  # no display needed
    import matplotlib.pyplot as plt

    t = columns["t"]
    figure, (position_axes, force_axes, latency_axes) = plt.subplots(3, 1, figsize=(10, 9), sharex=True)
    figure.suptitle(title)

    position_axes.plot(t, [x * 1e3 for x in columns["x"]], label="end effector x")
    position_axes.plot(t, [w * 1e3 for w in columns["wall_x"]], "k--", label="wall")
    position_axes.set_ylabel("x [mm]")
    position_axes.legend(loc="upper right")
    position_axes.grid(True, alpha=0.3)

    for name in ("fx", "fy", "fz"):
        force_axes.plot(t, columns[name], label=name)
    force_axes.set_ylabel("force [N]")
    force_axes.legend(loc="upper right")
    force_axes.grid(True, alpha=0.3)

    if "latency_us" in columns:
        latency_axes.plot(t, columns["latency_us"], ".", markersize=1)
        latency_axes.set_yscale("log")
        latency_axes.set_ylabel("latency [us]")
    else:
        # Servo loop traces: the hand's push from Python in place of the latency.
        latency_axes.plot(t, columns["hand_fx"], label="hand fx")
        latency_axes.set_ylabel("hand [N]")
        latency_axes.legend(loc="upper right")
    latency_axes.set_xlabel("time [s]")
    latency_axes.grid(True, alpha=0.3)

    figure.tight_layout()
    figure.savefig(out_path, dpi=100)
    plt.close(figure)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Plot a virtual_wall.py trace.")
    parser.add_argument("trace", help="CSV file written by virtual_wall.py --csv")
    parser.add_argument("--out", help="PNG to write (default: the trace's name with .png)")
    arguments = parser.parse_args(argv)
    out_path = arguments.out or os.path.splitext(arguments.trace)[0] + ".png"
    try:
        columns = read_trace(arguments.trace)
    except (OSError, ValueError, KeyError) as error:
        print("cannot read the trace: %s" % error, file=sys.stderr)
        return 1
    plot(columns, out_path, os.path.basename(arguments.trace))
    print(out_path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
