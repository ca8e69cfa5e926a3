"""The Python clients of the benchmarks.

Round trips, one exchange at a time:

    python client.py module PORT     KivraHardwareAPI.Pendra3.end_effector_force
    python client.py kivra PORT      kivra.Arm.exchange_force into buffers of its own
    python client.py pyserial PORT   what a user would write with pyserial

Each line "run N" on standard input makes N exchanges and prints "<cpu ns>
<wall ns> <bad replies>" and then the N latencies in nanoseconds on one line,
as the C++ clients do.

Loops at a fixed rate, each "run SECONDS" answered with one line of
statistics (servo_line):

    python client.py servo PORT RATE         kivra.ServoLoop; the main thread
                                             allocates all the while
    python client.py pyloop PORT RATE        the loop in Python itself
    python client.py pyloop-alloc PORT RATE  the same with an allocating thread

The modules are imported from KIVRA_MODULE_DIR when set. "ready" is printed
once the port is open.
"""

import math
import os
import struct
import sys
import threading
import time

# The responder echoes the force as the position, so the loops' effects are
# mild: a weak spring the echo cannot set oscillating and a wall that is
# never reached, worked out every tick all the same (as bench/servo.cpp does).
SPRING_STIFFNESS = 0.5  # [N/m]
SPRING_DAMPING = 0.01  # [N s/m]
WALL_X = -100.0  # [m]
WALL_STIFFNESS = 800.0  # [N/m]
WALL_DAMPING = 4.0  # [N s/m]
FORCE_LIMIT = 10.0  # [N]
HOST_INTERVAL = 0.01  # [s]


def import_from_module_dir(name):
    module_dir = os.environ.get("KIVRA_MODULE_DIR")
    if module_dir and module_dir not in sys.path:
        sys.path.insert(0, module_dir)
    return __import__(name)


def hand(t):
    return -2.5 * math.sin(math.pi * t)


def make_garbage(keep):
    """Lists and dicts of floats, a few kept a while so that not all garbage dies young."""
    values = [i * 0.5 for i in range(1000)]
    table = {i: [v, v + 1.0] for i, v in enumerate(values[:200])}
    keep.append(table)
    if len(keep) > 64:
        del keep[:32]


class ModuleClient:
    """The library from Python, as the module's users call it."""

    def __init__(self, path):
        KivraHardwareAPI = import_from_module_dir("KivraHardwareAPI")

        # The arm only borrows the stream, so the stream is kept here too.
        self.stream = KivraHardwareAPI.SerialStream(path)
        self.arm = KivraHardwareAPI.Pendra3(self.stream)
        self.end_effector_force = self.arm.end_effector_force

    def prepare(self):
        pass


class KivraClient:
    """kivra's exchange in the form that allocates nothing: caller-owned C buffers in and out."""

    def __init__(self, path):
        kivra = import_from_module_dir("kivra")
        # Every client of the run shares the port.
        self.arm = kivra.Arm(path, timeout=5.0, exclusive=False)
        self.exchange_force = self.arm.exchange_force
        self.force = kivra.Arm.buffer()
        self.position = kivra.Arm.buffer()
        self.velocity = kivra.Arm.buffer()

    def prepare(self):
        pass

    def end_effector_force(self, force):
        command = self.force
        command[0] = force[0]
        command[1] = force[1]
        command[2] = force[2]
        self.exchange_force(command, self.position, self.velocity)
        return self.position, self.velocity


class PyserialClient:
    """The same exchange written with pyserial and struct."""

    def __init__(self, path):
        import serial

        self.port = serial.Serial(path, 115200, timeout=5.0)
        self.request = struct.Struct("<B3f")
        self.state = struct.Struct("<6f")

    def prepare(self):
        self.port.reset_input_buffer()

    def end_effector_force(self, force):
        self.port.write(self.request.pack(42, force[0], force[1], force[2]))
        reply = self.port.read(25)
        if len(reply) != 25 or reply[0] != 43:
            return [0.0, 0.0, 0.0], [0.0, 0.0, 0.0]
        values = self.state.unpack_from(reply, 1)
        return list(values[:3]), list(values[3:])


def nearest_rank(ordered, fraction):
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)] if ordered else 0


def servo_line(ticks, missed, failed, realtime, lateness, exchange):
    """ticks missed failed realtime, then p50 p99 p99.9 max of wake-up
    lateness and of exchange time [ns]: the line bench/servo.cpp prints."""
    return "%d %d %d %d %s %s\n" % (
        ticks, missed, failed, 1 if realtime else 0, " ".join("%d" % v for v in lateness),
        " ".join("%d" % v for v in exchange),
    )


def run_servo(kivra, arm, rate, seconds):
    """kivra.ServoLoop with the main thread allocating throughout, as a
    Python application beside the loop would."""
    loop = kivra.ServoLoop(arm, rate)
    loop.set_effects(
        kivra.Spring((0.0, 0.0, 0.0), SPRING_STIFFNESS, SPRING_DAMPING),
        kivra.Wall((WALL_X, 0.0, 0.0), (1.0, 0.0, 0.0), WALL_STIFFNESS, WALL_DAMPING),
        force_limit=FORCE_LIMIT,
    )
    keep = []
    began = time.monotonic()
    next_update = began
    while True:
        now = time.monotonic()
        if now >= began + seconds:
            break
        if now >= next_update:
            loop.set_host_force((hand(now - began), 0.0, 0.0))
            next_update += HOST_INTERVAL
        make_garbage(keep)
    loop.stop()
    s = loop.stats()

    def ns(percentiles):
        return [round(v * 1e9) for v in percentiles]

    return servo_line(s.ticks, s.missed_deadlines, s.failed_exchanges, s.realtime_granted, ns(s.wakeup_lateness),
                      ns(s.exchange_time))


class PythonLoop:
    """The same loop written in Python: sleep to each deadline, work out the
    effects, exchange into caller-owned buffers. The deadline rules are the
    servo loop's: a deadline already past is skipped and counted."""

    def __init__(self, kivra, arm, allocating):
        self.kivra = kivra
        self.arm = arm
        self.allocating = allocating
        try:
            # Whatever the servo loop gets, this thread gets too.
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(80))
            self.realtime = True
        except OSError:
            self.realtime = False

    def run(self, rate, seconds):
        kivra = self.kivra
        exchange_force = self.arm.exchange_force
        force, position, velocity = kivra.Arm.buffer(), kivra.Arm.buffer(), kivra.Arm.buffer()
        period = int(round(1e9 / rate))
        capacity = int(seconds * rate) + 2
        lateness = [0] * capacity
        exchange = [0] * capacity
        clock = time.monotonic_ns
        sleep = time.sleep
        stop = []
        thread = None
        if self.allocating:
            def allocate():
                # Threads inherit the real-time policy; this one must not have it.
                if self.realtime:
                    os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))
                keep = []
                while not stop:
                    make_garbage(keep)

            thread = threading.Thread(target=allocate, daemon=True)
            thread.start()
        ticks = missed = failed = 0
        start = clock()
        end = start + int(seconds * 1e9)
        deadline = start
        while deadline < end and ticks < capacity:
            remaining = deadline - clock()
            if remaining > 0:
                sleep(remaining * 1e-9)
            woke = clock()
            lateness[ticks] = woke - deadline
            x, v = position[0], velocity[0]
            fx = hand((woke - start) * 1e-9) - SPRING_STIFFNESS * x - SPRING_DAMPING * v
            depth = WALL_X - x
            if depth > 0.0:
                fx += max(0.0, WALL_STIFFNESS * depth - WALL_DAMPING * v)
            fy = -SPRING_STIFFNESS * position[1] - SPRING_DAMPING * velocity[1]
            fz = -SPRING_STIFFNESS * position[2] - SPRING_DAMPING * velocity[2]
            magnitude = math.sqrt(fx * fx + fy * fy + fz * fz)
            scale = FORCE_LIMIT / magnitude if magnitude > FORCE_LIMIT else 1.0
            force[0], force[1], force[2] = fx * scale, fy * scale, fz * scale
            before = clock()
            try:
                exchange_force(force, position, velocity)
            except kivra.KivraError:
                failed += 1
            exchange[ticks] = clock() - before
            ticks += 1
            deadline += period
            now = clock()
            if deadline <= now:
                skipped = (now - deadline) // period + 1
                deadline += skipped * period
                missed += skipped
        if thread is not None:
            stop.append(True)
            thread.join()
        exchange_force((0.0, 0.0, 0.0), position, velocity)

        def percentiles(values):
            ordered = sorted(values[:ticks])
            return [nearest_rank(ordered, f) for f in (0.50, 0.99, 0.999)] + [ordered[-1] if ordered else 0]

        return servo_line(ticks, missed, failed, self.realtime, percentiles(lateness), percentiles(exchange))


def loop_main(kind, path, rate):
    kivra = import_from_module_dir("kivra")
    arm = kivra.Arm(path, exclusive=False)
    python_loop = None if kind == "servo" else PythonLoop(kivra, arm, kind == "pyloop-alloc")
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    for line in sys.stdin:
        if not line.startswith("run "):
            continue
        seconds = float(line[4:])
        if python_loop is None:
            sys.stdout.write(run_servo(kivra, arm, rate, seconds))
        else:
            sys.stdout.write(python_loop.run(rate, seconds))
        sys.stdout.flush()
    return 0


ROUND_TRIP_CLIENTS = {"module": ModuleClient, "kivra": KivraClient, "pyserial": PyserialClient}
LOOP_CLIENTS = ("servo", "pyloop", "pyloop-alloc")


def main():
    kind = sys.argv[1] if len(sys.argv) > 1 else ""
    if kind in LOOP_CLIENTS and len(sys.argv) == 4:
        return loop_main(kind, sys.argv[2], float(sys.argv[3]))
    if kind not in ROUND_TRIP_CLIENTS or len(sys.argv) != 3:
        sys.stderr.write("usage: client.py module|kivra|pyserial PORT\n"
                         "       client.py servo|pyloop|pyloop-alloc PORT RATE\n")
        return 2
    client = ROUND_TRIP_CLIENTS[kind](sys.argv[2])
    end_effector_force = client.end_effector_force
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    clock = time.perf_counter_ns
    cpu_clock = time.process_time_ns
    sequence = 0
    for line in sys.stdin:
        if not line.startswith("run "):
            continue
        count = int(line[4:])
        latencies = [0] * count
        bad = 0
        client.prepare()
        cpu_start = cpu_clock()
        wall_start = clock()
        for i in range(count):
            sequence += 1
            fx = float(sequence % 4096)
            before = clock()
            position, _velocity = end_effector_force([fx, -1.5, 0.25])
            latencies[i] = clock() - before
            if position[0] != fx:
                if not bad:
                    sys.stderr.write("%s: reply %d of %d did not answer its request\n" % (sys.argv[1], i + 1, count))
                bad += 1
        wall = clock() - wall_start
        cpu = cpu_clock() - cpu_start
        sys.stdout.write("%d %d %d\n" % (cpu, wall, bad))
        sys.stdout.write(" ".join(map(str, latencies)) + "\n")
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
