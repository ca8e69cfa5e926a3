"""How fast the safety paths act, on the emulator: stop() and new effects at
1 Hz and 10 kHz, Ctrl-C during a long wait, and the loop's rate with one
truncated reply in a hundred against a clean line, in alternating windows.

    PYTHONPATH=build/pypy/python pypy3 bench/safety.py
"""

import os
import signal
import statistics
import sys
import threading
import time

import kivra


def median_ms(samples):
    return "%.2f ms" % (1e3 * statistics.median(samples))


def stop_and_effects(rate, rounds=5):
    stops, applied = [], []
    with kivra.Emulator() as emulator, kivra.Arm(emulator.port, timeout=1.0) as arm:
        for _ in range(rounds):
            loop = kivra.ServoLoop(arm, rate=rate, realtime=False)
            while loop.stats().ticks < 1:
                time.sleep(0.001)
            time.sleep(0.02)
            started = time.monotonic()
            loop.set_effects(kivra.ConstantForce((0.0, 0.0, 1.0)))
            while loop.state().force[2] < 0.999:
                time.sleep(0.0001)
            applied.append(time.monotonic() - started)
            started = time.monotonic()
            loop.stop()
            stops.append(time.monotonic() - started)
    return median_ms(stops), median_ms(applied)


def ctrl_c(rounds=5):
    """SIGINT during a 30 s wait on a silent port, to KeyboardInterrupt."""
    latencies = []
    master, slave = os.openpty()
    arm = kivra.Arm(os.ttyname(slave), timeout=30.0)
    for _ in range(rounds):
        sent = []

        def interrupt():
            time.sleep(0.2)
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)

        threading.Thread(target=interrupt).start()
        try:
            arm.exchange_force((0.0, 0.0, 0.0))
        except KeyboardInterrupt:
            latencies.append(time.monotonic() - sent[0])
    arm.close()
    os.close(master)
    os.close(slave)
    return median_ms(latencies)


def truncation(windows=6, seconds=2.0):
    rates = {"clean": [], "truncated": []}
    for i in range(windows):
        case = "truncated" if i % 2 else "clean"
        options = ("--truncate-every", "100") if i % 2 else ()
        with kivra.Emulator("arm", options) as emulator, kivra.Arm(emulator.port, timeout=1.0) as arm:
            with kivra.ServoLoop(arm, realtime=False) as loop:
                time.sleep(seconds)
                s = loop.stats()
        rates[case].append(s.ticks / s.elapsed)
    return {case: "%.0f ticks/s" % statistics.median(r) for case, r in rates.items()}


if __name__ == "__main__":
    for rate in (1.0, 10000.0):
        stop, applied = stop_and_effects(rate)
        print("%8g Hz: stop() %s, new effects %s (medians)" % (rate, stop, applied))
    print("Ctrl-C during a 30 s wait: KeyboardInterrupt after %s (median)" % ctrl_c())
    print("1 kHz loop, medians of alternating 2 s windows: %s" % truncation())
    sys.exit(0)
