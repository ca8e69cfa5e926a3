"""A virtual wall on the Pendra3 arm: a haptic force loop.

Each cycle sends one end-effector force and gets the new position and
velocity in the same exchange. The force is the sum of the wall's
spring-damper push whenever the end effector is inside the wall (beyond a
plane across the first axis, a few centimetres from where it started), a
light guide spring that holds the end effector near its start, and a
scripted hand that pushes it into the wall and pulls it away again, so that
the loop has something to do without a person at the device.

Without --port it starts the emulator and runs against it. It shows a live
status line and ends with a summary: the rate achieved, the latency of the
exchanges, and where the end effector went. --csv FILE writes the trace
(plot it with plot_trace.py).
"""

import argparse
import contextlib
import csv
import math
import sys
import time

import KivraHardwareAPI as kivra

from emulated_device import port_or_emulator

ARM_MODEL_NUMBER = 4
GUIDE_STIFFNESS = 60.0  # [N/m], towards the start
GUIDE_DAMPING = 2.0  # [N s/m]
WALL_DAMPING = 4.0  # [N s/m], only while inside the wall
PUSH_PERIOD = 2.0  # [s], one push and one pull of the scripted hand
STATUS_INTERVAL = 0.25  # [s]
CSV_FIELDS = ["t", "x", "y", "z", "vx", "vy", "vz", "fx", "fy", "fz", "latency_us", "wall_x"]


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", help="serial port of the arm (default: start the emulator)")
    parser.add_argument("--rate", type=float, default=1000.0, help="target loop rate [Hz] (1000)")
    parser.add_argument("--duration", type=float, default=4.0, help="how long to run [s] (4)")
    parser.add_argument("--csv", metavar="FILE", help="write the trace to FILE")
    parser.add_argument("--stiffness", type=float, default=800.0, help="wall stiffness [N/m] (800)")
    parser.add_argument("--wall-distance", type=float, default=0.02, help="wall distance from the start [m] (0.02)")
    parser.add_argument("--push", type=float, default=2.5, help="strongest push of the scripted hand [N] (2.5)")
    parser.add_argument("--emulator", help="kivra-emulator program to start when no --port is given")
    arguments = parser.parse_args(argv)
    if arguments.rate <= 0 or arguments.duration <= 0:
        parser.error("--rate and --duration must be positive")
    return arguments


class Wall:
    """The force law: wall, guide springs and the scripted hand."""

    def __init__(self, start, distance, stiffness, push):
        self.start = start
        self.wall_x = start[0] - distance
        self.stiffness = stiffness
        self.push = push

    def hand(self, t):
        # Half a period pushing towards the wall, half pulling away from it.
        return [-self.push * math.sin(2.0 * math.pi * t / PUSH_PERIOD), 0.0, 0.0]

    def wall_force(self, position, velocity):
        depth = self.wall_x - position[0]
        if depth <= 0.0:
            return 0.0
        # The wall pushes out, never pulls in.
        return max(0.0, self.stiffness * depth - WALL_DAMPING * velocity[0])

    def force(self, t, position, velocity):
        hand = self.hand(t)
        force = [
            hand[axis] - GUIDE_STIFFNESS * (position[axis] - self.start[axis]) - GUIDE_DAMPING * velocity[axis]
            for axis in range(3)
        ]
        force[0] += self.wall_force(position, velocity)
        return force


def percentile(sorted_values, fraction):
    if not sorted_values:
        return float("nan")
    index = min(len(sorted_values) - 1, max(0, int(math.ceil(fraction * len(sorted_values))) - 1))
    return sorted_values[index]


def vector_text(values, digits=4):
    return "(" + ", ".join("%+.*f" % (digits, v) for v in values) + ")"


class StatusLine:
    """One line rewritten in place on a terminal, a line per update otherwise."""

    def __init__(self, stream):
        self.stream = stream
        self.in_place = stream.isatty()

    def show(self, text):
        if self.in_place:
            self.stream.write("\r" + text + "\033[K")
        else:
            self.stream.write(text + "\n")
        self.stream.flush()

    def end(self):
        if self.in_place:
            self.stream.write("\n")
            self.stream.flush()


def wait_until(deadline):
    # Sleep through most of the gap, then spin: sleeps overshoot by tens of
    # microseconds, which is a tenth of a cycle at 1 kHz.
    remaining = deadline - time.perf_counter()
    if remaining > 0.0003:
        time.sleep(remaining - 0.0002)
    while time.perf_counter() < deadline:
        pass


def run(arm, arguments, out):
    info = arm.device_wakeup_dict()
    if info["device_model_number"] != ARM_MODEL_NUMBER:
        print("no arm device answered (model %d)" % info["device_model_number"], file=sys.stderr)
        return 1
    print(
        "arm: device id %d, model %d, hardware %d, firmware %d, unique id %s"
        % (
            info["device_id"],
            info["device_model_number"],
            info["hardware_version"],
            info["firmware_version"],
            info["device_id_ext"],
        ),
        file=out,
    )
    position, velocity = arm.end_effector_force([0.0, 0.0, 0.0])
    wall = Wall(position, arguments.wall_distance, arguments.stiffness, arguments.push)
    print(
        "wall: x = %+.4f m, %.0f N/m; loop %.0f Hz for %.1f s"
        % (wall.wall_x, arguments.stiffness, arguments.rate, arguments.duration),
        file=out,
    )

    trace_file = open(arguments.csv, "w", newline="") if arguments.csv else None
    trace = csv.writer(trace_file) if trace_file else None
    if trace:
        trace.writerow(CSV_FIELDS)

    status = StatusLine(out)
    period = 1.0 / arguments.rate
    latencies = []
    late_cycles = 0
    silent_cycles = 0
    start_position = list(position)
    lowest = list(position)
    highest = list(position)
    deepest = 0.0
    contact_cycles = 0
    peak_wall_force = 0.0

    began = time.perf_counter()
    next_cycle = began
    next_status = began + STATUS_INTERVAL
    window_start, window_cycles = began, 0
    cycles = 0
    try:
        while True:
            now = time.perf_counter()
            t = now - began
            if t >= arguments.duration:
                break
            force = wall.force(t, position, velocity)
            wall_force = wall.wall_force(position, velocity)
            sent = time.perf_counter()
            position, velocity = arm.end_effector_force(force)
            latency = time.perf_counter() - sent
            latencies.append(latency)
            cycles += 1
            window_cycles += 1
            if position == [0.0, 0.0, 0.0]:
                # The neutral answer of a reply that did not come.
                silent_cycles += 1
            peak_wall_force = max(peak_wall_force, wall_force)
            depth = wall.wall_x - position[0]
            if depth > 0.0:
                contact_cycles += 1
                deepest = max(deepest, depth)
            for axis in range(3):
                lowest[axis] = min(lowest[axis], position[axis])
                highest[axis] = max(highest[axis], position[axis])
            if trace:
                trace.writerow(
                    ["%.6f" % t]
                    + ["%.6f" % v for v in position]
                    + ["%.5f" % v for v in velocity]
                    + ["%.4f" % f for f in force]
                    + ["%.1f" % (latency * 1e6), "%.6f" % wall.wall_x]
                )
            if now >= next_status:
                rate = window_cycles / max(now - window_start, 1e-9)
                window_start, window_cycles = now, 0
                next_status = now + STATUS_INTERVAL
                status.show(
                    "t %4.1f s  rate %6.0f Hz  position %s m  force %s N  wall %s"
                    % (
                        t,
                        rate,
                        vector_text(position),
                        vector_text(force, 2),
                        "in %4.1f mm" % (depth * 1e3) if depth > 0 else "clear    ",
                    )
                )
            next_cycle += period
            if next_cycle < time.perf_counter():
                late_cycles += 1
                next_cycle = time.perf_counter()
            else:
                wait_until(next_cycle)
    finally:
        status.end()
        arm.end_effector_force([0.0, 0.0, 0.0])
        if trace_file:
            trace_file.close()
    elapsed = time.perf_counter() - began

    ordered = sorted(latencies)
    print("summary", file=out)
    print(
        "  loop      %d cycles in %.2f s: %.1f Hz achieved (target %.0f Hz), %d late"
        % (cycles, elapsed, cycles / elapsed, arguments.rate, late_cycles),
        file=out,
    )
    print(
        "  latency   p50 %.0f us, p99 %.0f us, max %.0f us"
        % (percentile(ordered, 0.50) * 1e6, percentile(ordered, 0.99) * 1e6, ordered[-1] * 1e6),
        file=out,
    )
    print("  start     %s m" % vector_text(start_position), file=out)
    print("  end       %s m" % vector_text(position), file=out)
    print(
        "  range     x [%+.4f, %+.4f]  y [%+.4f, %+.4f]  z [%+.4f, %+.4f] m"
        % (lowest[0], highest[0], lowest[1], highest[1], lowest[2], highest[2]),
        file=out,
    )
    print(
        "  wall      deepest %.2f mm, in contact %.0f%% of cycles, peak wall force %.2f N"
        % (deepest * 1e3, 100.0 * contact_cycles / max(cycles, 1), peak_wall_force),
        file=out,
    )
    if arguments.csv:
        print("  trace     %s" % arguments.csv, file=out)
    if silent_cycles > cycles // 2:
        print("the device stopped answering (%d of %d cycles)" % (silent_cycles, cycles), file=sys.stderr)
        return 1
    return 0


def main(argv=None):
    arguments = parse_arguments(sys.argv[1:] if argv is None else argv)
    with contextlib.ExitStack() as stack:
        port = port_or_emulator(stack, "arm", arguments.port, arguments.emulator)
        if port is None:
            return 1
        stream = kivra.SerialStream(port)
        arm = kivra.Pendra3(stream)
        return run(arm, arguments, sys.stdout)


if __name__ == "__main__":
    sys.exit(main())
