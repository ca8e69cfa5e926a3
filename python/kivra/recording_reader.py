"""Reading back the MCAP recordings of :meth:`kivra.ServoLoop.record`, and
making one cut short (its process killed) whole again.

libkivra reads the file from its start, chunk by chunk, without its summary:
a file cut short reads up to its last whole chunk.
"""

import json
import os
from typing import Any, Dict, Iterator, NamedTuple, Tuple

from ._kivra_ffi import ffi, lib
from .errors import RecordingError
from .servo import TickState, _tick

_PROBLEM_TEXT = 1024
_CHANGE_TEXT = 4096


class RecordedTick(NamedTuple):
    """One tick read back from a recording.

    ``state``: the tick as the loop's trace gave it (:class:`kivra.TickState`:
    ``time`` [s] since the loop started, ``position`` [m], ``velocity`` [m/s],
    ``force`` [N] sent, ``host_force`` [N], ``status``, ``wakeup_lateness`` [s],
    ``exchange_time`` [s]); ``stamp`` [ns since the epoch]; ``changes``: the
    effects and scene changes written with this tick, each the JSON object of
    /kivra/effects (``{"kind": "effects" or "scene", "tick", "time", ...}``).
    """

    state: TickState
    stamp: int  # [ns since the epoch]
    changes: Tuple[Dict[str, Any], ...]


class RepairResult(NamedTuple):
    repaired: bool  # False: the file was whole and was left as it was
    ticks: int  # ticks in the file (as kept, when repaired)


def _failed(status: int, detail: int, problem: Any, path: str) -> RecordingError:
    text = ffi.string(problem).decode(errors="replace")
    if status == lib.KIVRA_NOT_OPEN:
        return RecordingError(detail, os.strerror(detail), path)
    return RecordingError(text or "%s: %s" % (path, ffi.string(lib.kivra_status_name(status)).decode()))


def read_recording(path: str) -> Iterator[RecordedTick]:
    """The ticks of the recording at ``path``, oldest first (see :class:`RecordedTick`).

    Raises :class:`kivra.RecordingError` when the file cannot be read, is
    not a recording of kivra, or is damaged before its end (a file merely cut
    short yields the ticks of its whole chunks). The file is opened at once,
    before the first tick is asked for.
    """
    path = os.fspath(path)
    handle = ffi.new("kivra_recording_reader**")
    detail = ffi.new("int32_t*")
    problem = ffi.new("char[]", _PROBLEM_TEXT)
    status = lib.kivra_recording_open(path.encode(), handle, detail, problem, _PROBLEM_TEXT)
    if status != lib.KIVRA_OK:
        raise _failed(status, detail[0], problem, path)
    return _ticks(ffi.gc(handle[0], lib.kivra_recording_close), path, problem)


def _ticks(reader: Any, path: str, problem: Any) -> Iterator[RecordedTick]:
    tick = ffi.new("kivra_tick*")
    stamp = ffi.new("uint64_t*")
    changes = ffi.new("uint32_t*")
    more = ffi.new("int32_t*")
    length = ffi.new("size_t*")
    text = ffi.new("char[]", _CHANGE_TEXT)
    while True:
        status = lib.kivra_recording_next_tick(reader, tick, stamp, changes, more)
        if status != lib.KIVRA_OK:
            lib.kivra_recording_get_problem(reader, problem, _PROBLEM_TEXT)
            raise _failed(status, 0, problem, path)
        if not more[0]:
            return
        texts = []
        for index in range(changes[0]):
            lib.kivra_recording_get_change(reader, index, text, len(text), length)
            if length[0] >= len(text):
                text = ffi.new("char[]", length[0] + 1)
                lib.kivra_recording_get_change(reader, index, text, len(text), length)
            texts.append(json.loads(ffi.string(text).decode()))
        yield RecordedTick(_tick(tick), int(stamp[0]), tuple(texts))


def repair_recording(path: str) -> RepairResult:
    """Makes the recording at ``path`` whole again when it was cut short.

    Its whole chunks are rewritten with a new summary and footer into
    ``path + ".repair"``, which then replaces the file; a whole file is left
    as it is. Raises :class:`kivra.RecordingError` as :func:`read_recording` does.
    """
    path = os.fspath(path)
    ticks = ffi.new("uint64_t*")
    repaired = ffi.new("int32_t*")
    detail = ffi.new("int32_t*")
    problem = ffi.new("char[]", _PROBLEM_TEXT)
    status = lib.kivra_recording_repair(path.encode(), ticks, repaired, detail, problem, _PROBLEM_TEXT)
    if status != lib.KIVRA_OK:
        raise _failed(status, detail[0], problem, path)
    return RepairResult(bool(repaired[0]), int(ticks[0]))


__all__ = ["RecordedTick", "RepairResult", "read_recording", "repair_recording"]
