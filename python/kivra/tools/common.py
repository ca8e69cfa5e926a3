"""What the command's tools share: Ctrl-C handling around device calls and exchange timing."""

import math
import signal
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, TypeVar


#: Exit status of a command ended by Ctrl-C, as a shell reports it.
INTERRUPTED = 130
_WAIT_SLICE = 0.05  # [s] between two looks for a Ctrl-C while a device call runs
_T = TypeVar("_T")
# Workers a Ctrl-C left inside a device call: the process ends without waiting for them.
_abandoned: List[threading.Thread] = []


# ---------------------------------------------------------------- helpers


class _Interrupt:
    """Turns SIGINT and SIGTERM into an event the command waits on, so a stop never lands mid-cleanup.

    SIGTERM (a time limit, a service manager) stops a command as Ctrl-C
    does: the loop ramps its force down and the emulator it started ends.
    """

    SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __init__(self) -> None:
        self.event = threading.Event()
        self._previous: List[Any] = []

    def __enter__(self) -> threading.Event:
        self._previous = [signal.signal(number, lambda *_: self.event.set()) for number in self.SIGNALS]
        return self.event

    def __exit__(self, *exc_info: Any) -> None:
        for number, previous in zip(self.SIGNALS, self._previous):
            signal.signal(number, previous)


def interruptible(work: Callable[[], _T], stop: Optional[threading.Event] = None) -> _T:
    """work()'s result, worked out on another thread while this one waits for it in short slices.

    A device call holds the thread that made it until its reply or its
    time-out, however long that is, and Python runs a signal handler only on
    the main thread, between two of its statements. So the main thread waits
    here instead: a Ctrl-C raises KeyboardInterrupt at once (or sets ``stop``,
    where a handler turns signals into it), and the worker is left to the end
    of the process.
    """
    outcome: List[Tuple[bool, Any]] = []

    def run() -> None:
        try:
            outcome.append((True, work()))
        except BaseException as error:  # handed to the waiting thread as it is
            outcome.append((False, error))

    worker = threading.Thread(target=run, name="kivra-device-call", daemon=True)
    worker.start()
    try:
        while worker.is_alive():
            if stop is not None and stop.is_set():
                raise KeyboardInterrupt
            worker.join(_WAIT_SLICE)
    except BaseException:
        if worker.is_alive():
            _abandoned.append(worker)
        raise
    succeeded, value = outcome[0]
    if not succeeded:
        raise value
    return value  # type: ignore[no-any-return]


def percentiles(samples: Sequence[float], points: Sequence[float] = (50.0, 99.0)) -> List[float]:
    """Nearest-rank percentiles of samples (which must not be empty)."""
    ordered = sorted(samples)
    return [ordered[min(len(ordered), max(1, math.ceil(p / 100.0 * len(ordered)))) - 1] for p in points]


def measure_exchanges(port: str, count: int, timeout: float = 0.05) -> Dict[str, float]:
    """Times count zero-force exchanges with the arm on port; seconds."""
    from ..arm import Arm

    if count < 1:
        raise ValueError("the number of exchanges must be at least 1, got %d" % count)
    with Arm(port, timeout=timeout) as arm:
        force, position, velocity = Arm.buffer(), Arm.buffer(), Arm.buffer()
        times = []
        clock = time.perf_counter
        for _ in range(count):
            start = clock()
            arm.exchange_force(force, position, velocity)
            times.append(clock() - start)
    p50, p99 = percentiles(times)
    return {"count": float(count), "p50": p50, "p99": p99, "max": max(times), "mean": sum(times) / len(times)}
