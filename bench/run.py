"""Round-trip and servo benchmarks of the arm's force exchange.

Starts one responder on a pseudo-terminal and every client next to it, then
runs them interleaved, in rounds, against that responder: first with replies
sent at once, then with replies sent a set delay after the request (a 1 kHz
device). Prints latency percentiles, calls per second and the CPU time of
the calling process per exchange. Then the loops take turns on the same
responder, each for a few seconds a round: the servo loop in a plain C++
process, the servo loop inside PyPy with the main thread allocating, and a
loop written in Python, alone and beside an allocating thread; for each, its
missed deadlines, how late it woke and how long its exchanges took. Last come
the ratios the library is held to.

Run it through bench/run.sh, which builds what is needed first.
"""

import argparse
import math
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# name, what it is
CLIENTS = [
    ("floor", "C++ write + blocking read"),
    ("library", "C++ Pendra3::end_effector_force"),
    ("spin", "C++ library framing, pure-spin wait"),
    ("module-pypy", "PyPy Pendra3.end_effector_force"),
    ("module-cpython", "CPython Pendra3.end_effector_force"),
    ("kivra-pypy", "PyPy kivra.Arm.exchange_force, own buffers"),
    ("kivra-cpython", "CPython kivra.Arm.exchange_force, own buffers"),
    ("pyserial-cpython", "CPython pyserial + struct"),
    ("pyserial-pypy", "PyPy pyserial + struct"),
]

# (label, numerator client, denominator client, what, delay phase, limit)
TARGETS = [
    ("library p50 / floor p50", "library", "floor", "p50", "zero", 1.10),
    ("library p99.9 / floor p99.9", "library", "floor", "p99.9", "zero", 1.5),
    ("library CPU / pure-spin CPU", "library", "spin", "cpu", "delay", 0.10),
    ("PyPy module p50 / library p50", "module-pypy", "library", "p50", "zero", 1.25),
    ("PyPy module p50 / pyserial CPython p50", "module-pypy", "pyserial-cpython", "p50", "zero", 0.85),
    ("PyPy kivra p99.9 / library p99.9", "kivra-pypy", "library", "p99.9", "zero", 1.2),
    ("PyPy kivra max / library max", "kivra-pypy", "library", "max", "zero", 1.5),
]

# name, what it is
LOOPS = [
    ("servo-cpp", "Servo::ServoLoop in a plain C++ process"),
    ("servo-cpp-busy", "the same with the main thread spinning"),
    ("servo-pypy-alloc", "kivra.ServoLoop in PyPy, main thread allocating"),
    ("pyloop-pypy", "loop in Python through kivra, PyPy"),
    ("pyloop-pypy-alloc", "the same beside an allocating thread"),
]

# (label, numerator loop, denominator loop, what, limit)
LOOP_TARGETS = [
    ("PyPy servo missed / C++ servo missed", "servo-pypy-alloc", "servo-cpp", "missed", 1.3),
    ("PyPy servo lateness p99.9 / C++ p99.9", "servo-pypy-alloc", "servo-cpp", "late p99.9", 1.3),
    # The same against a C++ process that takes a whole processor too: what
    # is Python's own part, apart from the processor time it takes.
    ("PyPy servo missed / busy C++ missed", "servo-pypy-alloc", "servo-cpp-busy", "missed", 1.3),
    ("PyPy servo lateness p99.9 / busy C++", "servo-pypy-alloc", "servo-cpp-busy", "late p99.9", 1.3),
]


class Responder:
    def __init__(self, executable):
        self.process = subprocess.Popen(
            [executable], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1
        )
        self.path = self.process.stdout.readline().strip()
        if not self.path:
            raise SystemExit("the responder did not start")

    def set_delay(self, nanoseconds):
        self.process.stdin.write("delay %d\n" % nanoseconds)
        self.process.stdin.flush()
        if self.process.stdout.readline().strip() != "ok":
            raise SystemExit("the responder refused the delay")

    def answer_first(self):
        """Puts the responder above every ordinary thread (a device answers on
        a processor of its own, whatever the host is doing); False without
        the right to."""
        try:
            os.sched_setscheduler(self.process.pid, os.SCHED_FIFO, os.sched_param(70))
            return True
        except OSError:
            return False

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)


class Client:
    def __init__(self, name, command, env=None):
        self.name = name
        self.process = subprocess.Popen(
            command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1, env=env
        )
        self.samples = {}
        self.cpu = {}
        self.wall = {}
        self.bad = {}

    def wait_ready(self):
        if self.process.stdout.readline().strip() != "ready":
            raise SystemExit("client %s did not start" % self.name)

    def run(self, count, phase=None):
        self.process.stdin.write("run %d\n" % count)
        self.process.stdin.flush()
        header = self.process.stdout.readline().split()
        latencies = self.process.stdout.readline().split()
        if len(header) != 3 or len(latencies) != count:
            raise SystemExit("client %s stopped answering" % self.name)
        if phase is None:
            return
        cpu, wall, bad = (int(v) for v in header)
        self.samples.setdefault(phase, []).extend(int(v) for v in latencies)
        self.cpu[phase] = self.cpu.get(phase, 0) + cpu
        self.wall[phase] = self.wall.get(phase, 0) + wall
        self.bad[phase] = self.bad.get(phase, 0) + bad

    def stats(self, phase):
        samples = sorted(self.samples[phase])
        n = len(samples)

        def rank(p):
            return samples[max(0, math.ceil(p * n) - 1)] / 1000.0

        return {
            "p50": rank(0.50),
            "p99": rank(0.99),
            "p99.9": rank(0.999),
            "max": samples[-1] / 1000.0,
            "calls": n * 1e9 / self.wall[phase],
            "cpu": self.cpu[phase] / n / 1000.0,
            "bad": self.bad[phase],
            "n": n,
        }

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)


class LoopClient:
    """A loop at a fixed rate; each run is a fresh loop for a number of seconds."""

    FIELDS = ("ticks", "missed", "failed", "realtime")
    PERCENTILES = ("p50", "p99", "p99.9", "max")

    def __init__(self, name, command, env=None):
        self.name = name
        self.process = subprocess.Popen(
            command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1, env=env
        )
        self.runs = []

    def wait_ready(self):
        if self.process.stdout.readline().strip() != "ready":
            raise SystemExit("loop %s did not start" % self.name)

    def run(self, seconds):
        self.process.stdin.write("run %g\n" % seconds)
        self.process.stdin.flush()
        values = [int(v) for v in self.process.stdout.readline().split()]
        if len(values) != len(self.FIELDS) + 2 * len(self.PERCENTILES):
            raise SystemExit("loop %s stopped answering" % self.name)
        self.runs.append(values)

    def stats(self):
        # Counts add up over the rounds; a percentile is the mean of the
        # rounds' (each round is a loop of its own), a maximum the largest.
        n = len(self.runs)
        columns = list(zip(*self.runs))
        result = {name: sum(columns[i]) for i, name in enumerate(self.FIELDS)}
        result["realtime"] = result["realtime"] == n
        for offset, kind in ((len(self.FIELDS), "late"), (len(self.FIELDS) + 4, "exchange")):
            for i, name in enumerate(self.PERCENTILES):
                values = columns[offset + i]
                value = max(values) if name == "max" else sum(values) / n
                result["%s %s" % (kind, name)] = value / 1000.0
        return result

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)


def module_has_pendra3(interpreter, module_dir):
    probe = "import sys; sys.path.insert(0, sys.argv[1]); import KivraHardwareAPI as k; k.Pendra3"
    result = subprocess.run([interpreter, "-c", probe, module_dir], capture_output=True)
    return result.returncode == 0


def has_kivra(interpreter, module_dir):
    probe = "import sys; sys.path.insert(0, sys.argv[1]); import kivra; kivra.Arm"
    return subprocess.run([interpreter, "-c", probe, module_dir], capture_output=True).returncode == 0


def has_pyserial(interpreter):
    return subprocess.run([interpreter, "-c", "import serial"], capture_output=True).returncode == 0


def start_clients(args, path):
    tool = os.path.join(args.build, "bench", "kivra_bench_client")
    script = os.path.join(HERE, "client.py")
    modules = {"pypy": os.path.join(args.build, "python"), "cpython": os.path.join(args.build_cpython, "python")}
    interpreters = {"pypy": "/usr/bin/pypy3", "cpython": "/usr/bin/python3"}
    clients, skipped = [], []
    for name, _ in CLIENTS:
        if args.only and name not in args.only:
            continue
        kind, _, flavour = name.partition("-")
        if not flavour:
            clients.append(Client(name, [tool, kind, path]))
            continue
        interpreter = interpreters[flavour]
        env = dict(os.environ)
        if kind == "module":
            env["KIVRA_MODULE_DIR"] = os.path.abspath(modules[flavour])
            if not module_has_pendra3(interpreter, env["KIVRA_MODULE_DIR"]):
                skipped.append((name, "no module with Pendra3 in " + modules[flavour]))
                continue
        elif kind == "kivra":
            env["KIVRA_MODULE_DIR"] = os.path.abspath(modules[flavour])
            if not has_kivra(interpreter, env["KIVRA_MODULE_DIR"]):
                skipped.append((name, "no kivra package in " + modules[flavour]))
                continue
        elif not has_pyserial(interpreter):
            skipped.append((name, "pyserial is not installed for " + interpreter))
            continue
        clients.append(Client(name, [interpreter, script, kind, path], env))
    return clients, skipped


def start_loops(args, path):
    loops, skipped = [], []
    module_dir = os.path.abspath(os.path.join(args.build, "python"))
    env = dict(os.environ, KIVRA_MODULE_DIR=module_dir)
    script = os.path.join(HERE, "client.py")
    pypy_ready = has_kivra("/usr/bin/pypy3", module_dir)
    for name, _ in LOOPS:
        if args.only and name not in args.only:
            continue
        if name.startswith("servo-cpp"):
            command = [os.path.join(args.build, "bench", "kivra_bench_servo"), path, str(args.servo_rate)]
            if name == "servo-cpp-busy":
                command.append("busy")
        elif not pypy_ready:
            skipped.append((name, "no kivra package in " + module_dir))
            continue
        else:
            kind = {"servo-pypy-alloc": "servo", "pyloop-pypy": "pyloop", "pyloop-pypy-alloc": "pyloop-alloc"}[name]
            command = ["/usr/bin/pypy3", script, kind, path, str(args.servo_rate)]
        loops.append(LoopClient(name, command, env))
    return loops, skipped


def print_table(title, clients, phase):
    print("\n" + title)
    columns = ("client", "p50 us", "p99 us", "p99.9 us", "max us", "calls/s", "CPU us/call", "bad")
    print("%-17s %9s %9s %9s %9s %10s %12s %5s" % columns)
    for client in clients:
        s = client.stats(phase)
        print(
            "%-17s %9.1f %9.1f %9.1f %9.1f %10.0f %12.1f %5d"
            % (client.name, s["p50"], s["p99"], s["p99.9"], s["max"], s["calls"], s["cpu"], s["bad"])
        )


def print_loop_table(loops, args):
    print(
        "\nLoops at %g Hz, %d rounds of %g s each (lateness: wake-up after the deadline)"
        % (args.servo_rate, args.servo_rounds, args.servo_seconds)
    )
    print(
        "%-17s %7s %6s %6s %3s %8s %8s %10s %8s %8s %8s %10s %8s"
        % ("loop", "ticks", "missed", "failed", "rt", "late p50", "late p99", "late p99.9", "late max",
           "exch p50", "exch p99", "exch p99.9", "exch max")
    )
    for loop in loops:
        s = loop.stats()
        print(
            "%-17s %7d %6d %6d %3s %8.1f %8.1f %10.1f %8.1f %8.1f %8.1f %10.1f %8.1f"
            % (loop.name, s["ticks"], s["missed"], s["failed"], "yes" if s["realtime"] else "no",
               s["late p50"], s["late p99"], s["late p99.9"], s["late max"], s["exchange p50"],
               s["exchange p99"], s["exchange p99.9"], s["exchange max"])
        )
    print("  (latency in us; rt: real-time priority granted in every round)")


def print_ratios(clients, delay_us):
    by_name = {c.name: c for c in clients}
    print("\nTargets (from this run)")
    missed = 0
    for label, top, bottom, what, phase, limit in TARGETS:
        where = "zero delay" if phase == "zero" else "%g ms delay" % (delay_us / 1000.0)
        if top not in by_name or bottom not in by_name:
            print("  %-40s %-12s not measured" % (label, where))
            continue
        ratio = by_name[top].stats(phase)[what] / by_name[bottom].stats(phase)[what]
        missed += print_ratio(label, where, ratio, limit)
    return missed


def print_ratio(label, where, ratio, limit):
    verdict = "met" if ratio <= limit else "MISSED"
    print("  %-40s %-12s %6.3f  (at most %.2f)  %s" % (label, where, ratio, limit, verdict))
    return ratio > limit


def print_loop_ratios(loops):
    by_name = {loop.name: loop for loop in loops}
    missed = 0
    for label, top, bottom, what, limit in LOOP_TARGETS:
        if top not in by_name or bottom not in by_name:
            print("  %-40s %-12s not measured" % (label, "loops"))
            continue
        above, below = by_name[top].stats()[what], by_name[bottom].stats()[what]
        if below == 0:
            # No misses on either side is a tie; some against none has no ratio.
            ratio = 1.0 if above == 0 else math.inf
        else:
            ratio = above / below
        missed += print_ratio(label, "%g / %g" % (above, below), ratio, limit)
    return missed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/pypy", help="PyPy build directory (tools and module)")
    parser.add_argument("--build-cpython", default="build/cpython", help="CPython build directory (module)")
    parser.add_argument("--rounds", type=int, default=10, help="interleaved rounds per delay")
    parser.add_argument("--calls", type=int, default=2000, help="calls per client and round, zero delay")
    parser.add_argument("--delay-calls", type=int, default=500, help="calls per client and round, with delay")
    parser.add_argument("--delay-us", type=float, default=1000.0, help="device delay of the second phase")
    parser.add_argument("--warmup", type=int, default=3000, help="calls per client before measuring")
    parser.add_argument("--servo-rate", type=float, default=1000.0, help="rate of the loops [Hz]")
    parser.add_argument("--servo-rounds", type=int, default=6, help="rounds of the loops")
    parser.add_argument("--servo-seconds", type=float, default=2.0, help="seconds per loop and round")
    parser.add_argument("--servo-delay-us", type=float, default=0.0, help="device delay while the loops run")
    parser.add_argument("--only", nargs="*", help="run only these clients and loops")
    args = parser.parse_args()

    responder = Responder(os.path.join(args.build, "bench", "kivra_bench_responder"))
    clients, skipped = start_clients(args, responder.path)
    loops, skipped_loops = start_loops(args, responder.path)
    for name, reason in skipped + skipped_loops:
        print("skipped %s: %s" % (name, reason))
    print(
        "%d clients, %d rounds; %d calls per round at zero delay, %d at %g us delay"
        % (len(clients), args.rounds, args.calls, args.delay_calls, args.delay_us)
    )
    print("%d loops, %d rounds of %g s at %g Hz"
          % (len(loops), args.servo_rounds, args.servo_seconds, args.servo_rate))
    started = time.monotonic()
    responder_first = False
    try:
        for client in clients + loops:
            client.wait_ready()
        responder.set_delay(0)
        for client in clients:
            client.run(args.warmup)
        phases = [("zero", 0, args.calls), ("delay", int(args.delay_us * 1000), args.delay_calls)]
        for phase, delay_ns, calls in phases if clients else []:
            responder.set_delay(delay_ns)
            for round_number in range(args.rounds):
                # A different client goes first each round, so none is
                # always the one that runs right after the others' start-up.
                shift = round_number % len(clients)
                for client in clients[shift:] + clients[:shift]:
                    client.run(calls, phase)
        responder.set_delay(int(args.servo_delay_us * 1000))
        # The loops' processes differ in how much processor time they leave
        # over (an allocating thread takes all of one); the responder must
        # not be what pays for it.
        responder_first = responder.answer_first()
        for round_number in range(args.servo_rounds):
            shift = round_number % max(len(loops), 1)
            for loop in loops[shift:] + loops[:shift]:
                loop.run(args.servo_seconds)
    finally:
        for client in clients + loops:
            client.close()
        responder.close()

    if clients:
        print_table("Zero device delay", clients, "zero")
        print_table("%g ms device delay" % (args.delay_us / 1000.0), clients, "delay")
    if loops:
        print_loop_table(loops, args)
        if not responder_first:
            print("  (the responder ran at normal priority: no right to SCHED_FIFO)")
    missed = print_ratios(clients, args.delay_us)
    missed += print_loop_ratios(loops)
    print("\nwall time %.0f s; %d of the targets missed" % (time.monotonic() - started, missed))
    bad = sum(sum(c.bad.values()) for c in clients)
    if bad:
        print("%d replies did not answer their request" % bad)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
