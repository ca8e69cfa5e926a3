"""What keeps force off the arm when the program ends, and waits short when Ctrl-C comes.

Two process-wide arrangements, both made only where the program has not made
its own:

- Waits that a signal ends. libkivra's waits on the main thread also watch a
  pipe that the interpreter writes to when a signal arrives
  (:func:`signal.set_wakeup_fd`), so Ctrl-C ends an exchange, a probe or a
  discovery at once instead of after its time-out. A program (or asyncio)
  that sets a wake-up descriptor of its own takes this over; its waits then
  last until their time-out, as before.
- Loops stopped at every exit the process sees. Normal exit, ``sys.exit`` and
  an uncaught exception run :mod:`atexit` handlers under both interpreters;
  SIGTERM and SIGHUP, whose default would end the process without them, get
  a handler that stops every loop and then dies of the same signal. libkivra
  also stops its loops in its own C exit handler. SIGKILL, a power cut or a
  kernel panic leave only the device's own watchdog.
"""

import atexit
import os
import signal
import threading
from types import FrameType
from typing import Optional

from ._kivra_ffi import lib

_lock = threading.Lock()
_interrupt_fd: Optional[int] = None  # read end of the wake-up pipe, -1 when the program has its own
_exit_handler_installed = False
_signal_handlers_installed = False
_TERMINATING_SIGNALS = (signal.SIGTERM, signal.SIGHUP)


def _on_main_thread() -> bool:
    return threading.current_thread() is threading.main_thread()


def drain_interrupts() -> None:
    """Empties the wake-up pipe, so that a signal already handled ends no later wait."""
    fd = _interrupt_fd
    if fd is None or fd < 0:
        return
    try:
        while os.read(fd, 256):
            pass
    except OSError:  # BlockingIOError once empty
        pass


def _on_interrupt(signum: int, frame: Optional[FrameType]) -> None:
    drain_interrupts()
    raise KeyboardInterrupt


def enable_interrupts() -> None:
    """Lets signals end this thread's waits in libkivra; does nothing off the main thread."""
    global _interrupt_fd
    if not _on_main_thread():
        return
    with _lock:
        if _interrupt_fd is not None:
            if _interrupt_fd >= 0:
                lib.kivra_set_interrupt_fd(_interrupt_fd)
            return
        read_end, write_end = os.pipe()
        os.set_blocking(read_end, False)
        os.set_blocking(write_end, False)
        try:
            try:
                previous = signal.set_wakeup_fd(write_end, warn_on_full_buffer=False)
            except TypeError:  # an interpreter without the keyword
                previous = signal.set_wakeup_fd(write_end)
        except ValueError:
            previous = -2
        if previous != -1:
            # Someone else's descriptor: leave it in place.
            if previous >= 0:
                signal.set_wakeup_fd(previous)
            os.close(read_end)
            os.close(write_end)
            _interrupt_fd = -1
            return
        _interrupt_fd = read_end
        lib.kivra_set_interrupt_fd(read_end)
        # The default handler raises KeyboardInterrupt but would leave the
        # pipe full, and every later wait would end at once.
        if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
            signal.signal(signal.SIGINT, _on_interrupt)


def after_interrupted_wait() -> None:
    """Runs what a signal asked for (Ctrl-C raises here) after a wait it ended."""
    drain_interrupts()
    # Calling into Python lets the interpreter run pending signal handlers.
    _run_pending_handlers()


def _run_pending_handlers() -> None:
    for _ in range(2):
        pass


def stop_every_loop() -> None:
    lib.kivra_servo_stop_all()


def _on_terminate(signum: int, frame: Optional[FrameType]) -> None:
    stop_every_loop()
    drain_interrupts()
    # Die of the signal as the default would, so the parent sees why.
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)


def install_exit_handlers() -> None:
    """Makes every exit the process can see stop the running loops first."""
    global _exit_handler_installed, _signal_handlers_installed
    with _lock:
        if not _exit_handler_installed:
            _exit_handler_installed = True
            atexit.register(stop_every_loop)
        if _signal_handlers_installed or not _on_main_thread():
            return
        _signal_handlers_installed = True
    for signum in _TERMINATING_SIGNALS:
        # A program's own handler is its business: it must stop its loops.
        if signal.getsignal(signum) is signal.SIG_DFL:
            signal.signal(signum, _on_terminate)
