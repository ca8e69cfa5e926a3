"""Exceptions of the kivra package and the mapping from libkivra's status codes.

Every failure derives from :class:`KivraError` and, where one fits, from the
matching built-in exception, so that ``except TimeoutError`` or ``except
FileNotFoundError`` work as they do for files and sockets.
"""

import errno as _errno
import logging
import os
from typing import List, NoReturn, Optional, Sequence, Tuple

from ._access import access_problem
from ._kivra_ffi import lib as _lib
from ._safety import after_interrupted_wait

log = logging.getLogger("kivra")
# The application decides where failures go; without its own handler they stay quiet.
log.addHandler(logging.NullHandler())


class KivraError(Exception):
    """Base of every error raised by kivra."""


class DeviceTimeout(KivraError, TimeoutError):
    """The device did not answer (in full) within the time-out."""


class Disconnected(KivraError, ConnectionError):
    """The port went away: the device was unplugged or the line hung up."""


class ProtocolError(KivraError):
    """The device answered with something other than the expected reply.

    ``code`` is the header code that came instead (or None), ``count`` the
    payload bytes that came of a short reply (or None).
    """

    def __init__(self, message: str, code: Optional[int] = None, count: Optional[int] = None) -> None:
        super().__init__(message)
        self.code = code
        self.count = count


class Interrupted(KivraError, InterruptedError):
    """A signal ended a wait for the device, and its handler raised nothing.

    Ctrl-C itself raises :class:`KeyboardInterrupt` as usual.
    """


class PortClosed(KivraError):
    """The device was closed by this program."""


class DeviceBusy(KivraError):
    """A servo loop owns the device, or a bridge its reads; they are refused until it stops."""


class RecordingError(KivraError, OSError):
    """A recording ended early (its file could not be written, a full disk); the loop ran on."""


class PortOpenError(KivraError, OSError):
    """A port could not be opened; ``errno`` and ``filename`` tell which and why."""

    def __str__(self) -> str:
        return "cannot open %s: %s" % (self.filename, self.strerror)


class PortNotFound(PortOpenError, FileNotFoundError):
    """No file at the port's path; the message lists the serial ports that are there."""


class PortPermissionError(PortOpenError, PermissionError):
    """This user may not open the port; the message names the port's group and the fix."""


class PortIsADirectory(PortOpenError, IsADirectoryError):
    """The path is a directory, not a port."""


class NotATerminal(PortOpenError):
    """The path is not a serial port (a regular file, a pipe, a device of another kind)."""


class PortInUse(PortOpenError, PermissionError):
    """Another opener holds the port exclusively."""


def _fail(error: BaseException) -> NoReturn:
    log.error("%s", error)
    raise error


def holders_of(path: str) -> List[Tuple[int, str]]:
    """Processes (pid, command name) with an open descriptor on the file at path."""
    try:
        target = os.stat(path)
    except OSError:
        return []
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        fd_dir = "/proc/%s/fd" % entry
        try:
            descriptors = os.listdir(fd_dir)
        except OSError:
            continue
        for descriptor in descriptors:
            try:
                held = os.stat(os.path.join(fd_dir, descriptor))
            except OSError:
                continue
            if (held.st_dev, held.st_ino) == (target.st_dev, target.st_ino):
                try:
                    with open("/proc/%s/comm" % entry) as comm:
                        name = comm.read().strip()
                except OSError:
                    name = "?"
                found.append((int(entry), name))
                break
    return found


def _in_use_text(path: str, open_here: Sequence[str] = ()) -> str:
    holders = holders_of(path)
    if not holders:
        return "the port is in use by another program"
    names = ", ".join(
        "this process (pid %d)" % pid if pid == os.getpid() else "pid %d (%s)" % (pid, name) for pid, name in holders
    )
    text = "the port is in use by %s" % names
    if open_here:
        text += ": %s still open; close() it first" % " and ".join(open_here)
    return text


def _not_found_text(port: str) -> str:
    from .discovery import port_names  # discovery builds on this module

    folder = os.path.dirname(port) or "."
    present = port_names(folder)
    if not present:
        return "no such port, and no serial port in %s: is the device plugged in? ('kivra list' shows the devices " \
            "that answer)" % folder
    return "no such port; the serial ports in %s are %s ('kivra list' shows which devices answer)" % (
        folder,
        ", ".join(present),
    )


def _permission_text(port: str) -> str:
    try:
        problem = access_problem(port, os.stat(port))
    except OSError:
        problem = None
    if problem is None:
        return "permission denied"
    return "permission denied: %s; fix: %s" % (problem.reason, problem.fix)


def raise_open_error(error_number: int, port: str, open_here: Sequence[str] = ()) -> NoReturn:
    """Raises the exception of a failed open; open_here names this process's devices still open on the port."""
    if error_number == _errno.ENOENT:
        _fail(PortNotFound(error_number, _not_found_text(port), port))
    if error_number in (_errno.EACCES, _errno.EPERM):
        _fail(PortPermissionError(error_number, _permission_text(port), port))
    if error_number == _errno.EISDIR:
        _fail(PortIsADirectory(error_number, "it is a directory, not a serial port", port))
    if error_number == _errno.ENOTTY:
        _fail(NotATerminal(error_number, "it is not a terminal, so not a serial port", port))
    if error_number == _errno.EBUSY:
        _fail(PortInUse(error_number, _in_use_text(port, open_here), port))
    _fail(PortOpenError(error_number, os.strerror(error_number) if error_number else "unknown error", port))


def raise_for_status(status: int, detail: int, port: str, timeout: float) -> NoReturn:
    """Raises the exception of a failed call on the device at port."""
    if status == _lib.KIVRA_INTERRUPTED:
        after_interrupted_wait()
        raise Interrupted("a signal ended the wait for %s" % port)
    if status == _lib.KIVRA_TIMED_OUT:
        _fail(DeviceTimeout("no reply from %s within %g s" % (port, timeout)))
    if status == _lib.KIVRA_HUNG_UP:
        cause = " (%s)" % os.strerror(detail) if detail > 0 else ""
        _fail(Disconnected("%s hung up%s" % (port, cause)))
    if status == _lib.KIVRA_WRONG_CODE:
        came, expected = detail & 0xFF, (detail >> 8) & 0xFF
        if expected and _lib.kivra_sender_of_code(came) == _lib.KIVRA_DEVICE_HANDLE:
            _fail(ProtocolError("%s is a handle, not an arm: open it with kivra.Handle" % port, code=came))
        wanted = " instead of %d" % expected if expected else ""
        _fail(ProtocolError("%s replied with code %d%s" % (port, came, wanted), code=came))
    if status == _lib.KIVRA_SHORT_PAYLOAD:
        _fail(ProtocolError("%s sent a short reply: %d payload bytes" % (port, detail), count=detail))
    if status == _lib.KIVRA_WRITE_FAILED:
        _fail(Disconnected(detail, "write to %s failed: %s" % (port, os.strerror(detail))))
    if status in (_lib.KIVRA_CLOSED, _lib.KIVRA_NOT_OPEN):
        _fail(PortClosed("%s is closed" % port))
    if status == _lib.KIVRA_BUSY:
        _fail(DeviceBusy("a servo loop owns the arm on %s; stop it first" % port))
    if status == _lib.KIVRA_OUT_OF_MEMORY:
        _fail(MemoryError("libkivra ran out of memory"))
    if status == _lib.KIVRA_INVALID_ARGUMENT:
        _fail(ValueError("libkivra refused an argument"))
    _fail(KivraError("libkivra failed with status %d" % status))
