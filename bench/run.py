"""Round-trip benchmark of the arm's force exchange.

Starts one responder on a pseudo-terminal and every client next to it, then
runs them interleaved, in rounds, against that responder: first with replies
sent at once, then with replies sent a set delay after the request (a 1 kHz
device). Prints latency percentiles, calls per second and the CPU time of
the calling process per exchange, and the ratios the library is held to.

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
            "calls": n * 1e9 / self.wall[phase],
            "cpu": self.cpu[phase] / n / 1000.0,
            "bad": self.bad[phase],
            "n": n,
        }

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)


def module_has_pendra3(interpreter, module_dir):
    probe = "import sys; sys.path.insert(0, sys.argv[1]); import KivraHardwareAPI as k; k.Pendra3"
    result = subprocess.run([interpreter, "-c", probe, module_dir], capture_output=True)
    return result.returncode == 0


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
        elif not has_pyserial(interpreter):
            skipped.append((name, "pyserial is not installed for " + interpreter))
            continue
        clients.append(Client(name, [interpreter, script, kind, path], env))
    return clients, skipped


def print_table(title, clients, phase):
    print("\n" + title)
    columns = ("client", "p50 us", "p99 us", "p99.9 us", "calls/s", "CPU us/call", "bad")
    print("%-17s %9s %9s %9s %10s %12s %5s" % columns)
    for client in clients:
        s = client.stats(phase)
        print(
            "%-17s %9.1f %9.1f %9.1f %10.0f %12.1f %5d"
            % (client.name, s["p50"], s["p99"], s["p99.9"], s["calls"], s["cpu"], s["bad"])
        )


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
        verdict = "met" if ratio <= limit else "MISSED"
        missed += ratio > limit
        print("  %-40s %-12s %6.3f  (at most %.2f)  %s" % (label, where, ratio, limit, verdict))
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
    parser.add_argument("--only", nargs="*", help="run only these clients")
    args = parser.parse_args()

    responder = Responder(os.path.join(args.build, "bench", "kivra_bench_responder"))
    clients, skipped = start_clients(args, responder.path)
    for name, reason in skipped:
        print("skipped %s: %s" % (name, reason))
    print(
        "%d clients, %d rounds; %d calls per round at zero delay, %d at %g us delay"
        % (len(clients), args.rounds, args.calls, args.delay_calls, args.delay_us)
    )
    started = time.monotonic()
    try:
        for client in clients:
            client.wait_ready()
        responder.set_delay(0)
        for client in clients:
            client.run(args.warmup)
        phases = [("zero", 0, args.calls), ("delay", int(args.delay_us * 1000), args.delay_calls)]
        for phase, delay_ns, calls in phases:
            responder.set_delay(delay_ns)
            for round_number in range(args.rounds):
                # A different client goes first each round, so none is
                # always the one that runs right after the others' start-up.
                shift = round_number % len(clients)
                for client in clients[shift:] + clients[:shift]:
                    client.run(calls, phase)
    finally:
        for client in clients:
            client.close()
        responder.close()

    print_table("Zero device delay", clients, "zero")
    print_table("%g ms device delay" % (args.delay_us / 1000.0), clients, "delay")
    missed = print_ratios(clients, args.delay_us)
    print("\nwall time %.0f s; %d of the targets missed" % (time.monotonic() - started, missed))
    bad = sum(sum(c.bad.values()) for c in clients)
    if bad:
        print("%d replies did not answer their request" % bad)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
