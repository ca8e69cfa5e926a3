"""A browser view of a running servo loop: live plots, the workspace, the loop's figures, effect controls.

::

    server = kivra.web(loop)          # the loop keeps running; the page only watches and sets effects
    print(server.url)
    ...
    server.close()

One sampler thread reads the loop about 60 times a second (its trace, or its
latest tick) and encodes each sample once as a Server-Sent Event; every open
page has a bounded queue of them, so a tab that cannot keep up loses frames
instead of growing the server's memory. The controls are POST requests that
replace the loop's effects, which the loop applies between two ticks. The
loop's scene is described at /api/scene; the figures carry a number that
changes with it, and the page asks again when it does.

The server's threads run in the scheduler's idle class (SCHED_IDLE): any
ordinary thread that wakes takes their processor at once. The servo loop's
replies reach it through the kernel's worker threads, which are ordinary
ones; a server thread busy encoding a frame at nice 0 would make them wait
for the rest of its time slice, and the loop miss its deadline.

The server listens on 127.0.0.1 unless told otherwise. Whoever can reach its
port could otherwise move the arm, so it asks, as notebook servers do, for a
token drawn at start and printed in its address (``?token=``): the page's
requests and its event stream carry it (the page gets it as a cookie), and
a request without it is refused. It answers only requests addressed to a
name of this machine (a page of another site whose name was pointed at this
machine's address is refused) and takes changes only as JSON from its own
page, so that another site open in the same browser cannot move the arm.

A connection gets a thread only once its request starts to arrive, and at
most MAX_CONNECTIONS have one at once: an idle client costs a descriptor for
READ_TIMEOUT seconds at most, and a slow one its thread as long.
"""

import argparse
import collections
import hmac
import ipaddress
import json
import math
import os
import posixpath
import re
import secrets
import shutil
import selectors
import socket
import socketserver
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler
from typing import (
    Any,
    Callable,
    Deque,
    Dict,
    Iterator,
    List,
    Mapping,
    NamedTuple,
    Optional,
    Sequence,
    Set,
    Tuple,
    Union,
)

from .._kivra_ffi import ffi, lib
from ..arm import DeviceInfo
from ..errors import KivraError, log
from ..recording import Recording
from ..scene import describe
from ..servo import MAX_FORCE, ConstantForce, Damping, Effect, ServoLoop, Spring, TickState, Wall

STATIC_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "web_static")
SAMPLE_RATE = 60.0  # [Hz] of the sampler, and so of the page's updates
STATS_EVERY = 6  # samples between two reads of the loop's statistics (10 Hz)
PLOT_STRIDE = 8  # every 8th tick goes to the page: 125 points a second, two per pixel of a 10-second plot
WINDOW = 10.0  # [s] of history a page shows and a new page gets at once
CLIENT_QUEUE = 32  # frames a page may fall behind before it loses the oldest
KEEPALIVE = 15.0  # [s] between comments on an idle event stream
MAX_BODY = 4096  # [bytes] of a POST
DOWNLOAD_BLOCK = 1 << 16  # [bytes] read and sent at a time of a recording downloaded
DEFAULT_WALL_DISTANCE = 0.02  # [m] below the position at start, when the loop has no wall
SCHED_IDLE = getattr(os, "SCHED_IDLE", 5)  # PyPy 3.9's os lacks the name
MAX_CONNECTIONS = 32  # answered at once, each on a thread; every open page streams on one
MAX_WAITING = 64  # connections held without a thread: not sent their request yet, or waiting for a thread
QUEUE_WAIT = 1.0  # [s] a request may wait for a thread before it is told 503
READ_TIMEOUT = 5.0  # [s] a connection may take to send its request, or a stream to take a frame
ACCEPT_BACKLOG = 64  # connections the kernel holds until they are accepted
LINGER = 1.0  # [s] a closed connection is read for what the client still sends, so that it gets the answer
MAX_LINGERING = 64  # connections read so at once; beyond, they are closed at once

_LOCAL_NAMES = ("127.0.0.1", "localhost", "[::1]")
_TOKEN_CHARACTERS = re.compile(r"[A-Za-z0-9._~-]+")  # safe in a URL and in a cookie as they are
_LENGTH = re.compile(r"[0-9]{1,18}")  # a body's length; more digits than this are no length of ours
_CONTENT_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".png": "image/png",
    ".svg": "image/svg+xml",
}


class Control(NamedTuple):
    """One slider of the page: the setting's name, what the page calls it, its unit and its range."""

    name: str
    label: str
    unit: str
    maximum: float
    step: float


CONTROLS: Tuple[Control, ...] = (
    Control("wall_stiffness", "Wall stiffness", "N/m", float(lib.KIVRA_MAX_WALL_STIFFNESS), 50.0),
    Control("wall_damping", "Wall damping", "N s/m", float(lib.KIVRA_MAX_EFFECT_DAMPING), 0.5),
    Control("spring_stiffness", "Spring stiffness", "N/m", float(lib.KIVRA_MAX_SPRING_STIFFNESS), 10.0),
    Control("spring_damping", "Spring damping", "N s/m", float(lib.KIVRA_MAX_EFFECT_DAMPING), 0.5),
    Control("damping", "Viscous damping", "N s/m", float(lib.KIVRA_MAX_EFFECT_DAMPING), 0.5),
    Control("force_limit", "Force limit", "N", MAX_FORCE, 0.5),
)
_CONTROL_BY_NAME = {c.name: c for c in CONTROLS}


class Effects:
    """The loop's effects as the page sees them: the geometry stays, the controls change the gains.

    The loop has no setter per effect, so every change is applied by sending
    the whole set again, built from what is kept here.
    """

    def __init__(self, loop: ServoLoop, start: Sequence[float]) -> None:
        current = ffi.new("kivra_effects*")
        status = lib.kivra_servo_get_effects(loop._handle, current)
        if status != lib.KIVRA_OK:
            lib.kivra_effects_default(current)
        self.walls: List[Tuple[Tuple[float, ...], Tuple[float, ...]]] = []
        wall_gains = (0.0, 0.0)
        for i in range(4):
            wall = current.walls[i]
            if wall.enabled:
                if not self.walls:
                    wall_gains = (wall.stiffness, wall.damping)
                self.walls.append((tuple(wall.point), tuple(wall.normal)))
        if not self.walls:
            # A wall without stiffness pushes nothing until the page gives it some.
            self.walls.append(((start[0], start[1], start[2] - DEFAULT_WALL_DISTANCE), (0.0, 0.0, 1.0)))
        spring = current.spring
        self.anchor = tuple(spring.anchor) if spring.enabled else tuple(start)
        self.constant_force = tuple(current.constant_force)
        self.values: Dict[str, float] = {
            "wall_stiffness": wall_gains[0],
            "wall_damping": wall_gains[1],
            "spring_stiffness": spring.stiffness if spring.enabled else 0.0,
            "spring_damping": spring.damping if spring.enabled else 0.0,
            "damping": current.viscous_damping,
            "force_limit": current.force_limit,
        }
        self.released = False

    def update(self, changes: Mapping[str, Any]) -> Dict[str, float]:
        """The values after changes, checked; raises ValueError naming the first bad one."""
        values = dict(self.values)
        for name, value in changes.items():
            control = _CONTROL_BY_NAME.get(name)
            if control is None:
                raise ValueError("no control named %r" % (name,))
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise ValueError("%s must be a number, got %r" % (name, value))
            if not (math.isfinite(value) and 0.0 <= value <= control.maximum):
                raise ValueError(
                    "%s must be between 0 and %g %s, got %r" % (name, control.maximum, control.unit, value)
                )
            values[name] = float(value)
        return values

    def build(self, values: Mapping[str, float]) -> List[Effect]:
        chosen: List[Effect] = [
            Wall(point=point, normal=normal, stiffness=values["wall_stiffness"], damping=values["wall_damping"])
            for point, normal in self.walls
        ]
        if values["spring_stiffness"] > 0.0 or values["spring_damping"] > 0.0:
            chosen.append(Spring(self.anchor, values["spring_stiffness"], values["spring_damping"]))
        if values["damping"] > 0.0:
            chosen.append(Damping(values["damping"]))
        if any(self.constant_force):
            chosen.append(ConstantForce(self.constant_force))
        return chosen

    def describe(self) -> Dict[str, Any]:
        return {
            "values": self.values,
            "walls": [{"point": p, "normal": n} for p, n in self.walls],
            "anchor": self.anchor,
            "released": self.released,
        }


class _Client:
    """One open page: the frames it has yet to be sent, at most CLIENT_QUEUE of them."""

    def __init__(self) -> None:
        self.frames: Deque[bytes] = collections.deque(maxlen=CLIENT_QUEUE)
        self.ready = threading.Event()
        self.dropped = 0

    def push(self, frame: bytes) -> None:
        if len(self.frames) == CLIENT_QUEUE:
            self.dropped += 1
        self.frames.append(frame)
        self.ready.set()

    def take(self) -> List[bytes]:
        self.ready.clear()
        taken = []
        while self.frames:
            taken.append(self.frames.popleft())
        return taken


def _rounded(values: Sequence[float], digits: int) -> List[float]:
    return [round(v, digits) for v in values]


def _percentiles(p: Any) -> List[float]:
    return [p.p50, p.p99, p.p999, p.max]


def identity_fields(port: str, info: Any = None, firmware_id: Any = None) -> Dict[str, str]:
    """What the page shows of the device: its port and, when known, its wakeup answer."""
    fields = {"port": port}
    if info is not None:
        fields.update(
            {
                "device id": str(info.device_id),
                "model": str(info.model_number),
                "hardware version": str(info.hardware_version),
                "firmware version": str(info.firmware_version),
                "unique id": str(info.unique_id),
            }
        )
    if firmware_id is not None:
        fields["firmware id"] = str(firmware_id)
    return fields


def _json_bytes(value: Any) -> bytes:
    return json.dumps(value).encode()


_BUSY_BODY = _json_bytes({"error": "the server is busy: try again later"})
_BUSY = (
    b"HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nContent-Length: %d\r\n"
    b"Retry-After: 1\r\nConnection: close\r\n\r\n" % len(_BUSY_BODY)
) + _BUSY_BODY


def _is_loopback(host: str) -> bool:
    """Whether host names only this machine's loopback interface: 127.0.0.0/8, ::1 or localhost."""
    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def _bracketed(address: str) -> str:
    """An address as a Host header names it: IPv6 literals in brackets."""
    return "[%s]" % address if ":" in address and not address.startswith("[") else address


class _Server(socketserver.TCPServer):
    """An HTTP server that gives a connection a thread only once its request arrives, and a bounded number of them.

    The standard library's threading server starts a thread per accepted
    connection, which then waits on its client for ever: a few hundred idle
    connections are as many threads and megabytes. Here the accepting thread
    keeps new connections in its selector until their first bytes arrive,
    and closes those that send nothing within the read time-out. At most
    ``limit`` connections are answered at once, each on a thread; a request
    that arrives while all of them are busy waits QUEUE_WAIT for one (a page
    loading asks for five files at once), then is told 503. Without a thread,
    at most ``waiting`` connections are held: a new one beyond takes the
    place of the oldest idle one, which is told 503, or is told 503 itself.
    Every answer closes its connection, so no thread waits for a next request.
    """

    allow_reuse_address = True
    request_queue_size = ACCEPT_BACKLOG

    def __init__(
        self,
        address: Tuple[str, int],
        handler: Any,
        read_timeout: float,
        limit: int = MAX_CONNECTIONS,
        waiting: int = MAX_WAITING,
    ) -> None:
        self.address_family = socket.AF_INET6 if ":" in address[0] else socket.AF_INET
        self.read_timeout = read_timeout
        self.limit = limit
        self.waiting = waiting
        # Each by deadline, as each entry gets now plus the same delay in turn:
        self._idle: Dict[socket.socket, float] = {}  # nothing received yet
        self._queued: Dict[socket.socket, float] = {}  # a request arrived, no thread free
        self._lingering: Dict[socket.socket, float] = {}  # answered, read until the client closes
        self._answered: List[socket.socket] = []  # handed back by the threads
        self._answered_lock = threading.Lock()
        self._closed = False
        self._active = 0
        self._active_lock = threading.Lock()
        self._stop_requested = False
        self._stopped = threading.Event()
        self._wake_read, self._wake_write = socket.socketpair()
        self._wake_read.setblocking(False)
        self._wake_write.setblocking(False)
        super().__init__(address, handler)

    @property
    def active(self) -> int:
        """Connections being answered, each on a thread of its own."""
        return self._active

    def _wake(self) -> None:
        try:
            self._wake_write.send(b"x")
        except OSError:
            pass  # full: the loop has a wake-up to read already; or closed with the server

    def serve_forever(self, poll_interval: float = 0.5) -> None:
        self.socket.setblocking(False)
        selector = selectors.DefaultSelector()
        selector.register(self.socket, selectors.EVENT_READ, self._accept)
        selector.register(self._wake_read, selectors.EVENT_READ, self._woken)
        expiring = ((self._idle, self._forget), (self._queued, self._refuse), (self._lingering, self._forget))
        try:
            while not self._stop_requested:
                deadlines = [next(iter(pending.values())) for pending, _ in expiring if pending]
                timeout = max(0.0, min(deadlines) - time.monotonic()) if deadlines else None
                for key, _ in selector.select(timeout):
                    try:
                        key.data(selector, key.fileobj)
                    except Exception:  # one connection's fault: the others are served on
                        log.error("kivra web: serving a connection failed", exc_info=True)
                now = time.monotonic()
                for pending, end in expiring:
                    while pending:
                        connection, deadline = next(iter(pending.items()))
                        if deadline > now:
                            break
                        del pending[connection]
                        end(selector, connection)
        finally:
            with self._answered_lock:
                self._closed = True
                answered, self._answered = self._answered, []
            for connection in [*self._idle, *self._queued, *self._lingering, *answered]:
                self._forget(selector, connection)
            selector.close()
            self._stopped.set()

    def _forget(self, selector: selectors.BaseSelector, connection: socket.socket) -> None:
        for pending in (self._idle, self._queued, self._lingering):
            pending.pop(connection, None)
        try:
            selector.unregister(connection)
        except (KeyError, ValueError):
            pass
        connection.close()

    def _woken(self, selector: selectors.BaseSelector, _: Any) -> None:
        try:
            while self._wake_read.recv(4096):
                pass
        except OSError:
            pass
        with self._answered_lock:
            answered, self._answered = self._answered, []
        for connection in answered:
            self._linger(selector, connection)
        while self._queued and self._active < self.limit:
            connection = next(iter(self._queued))
            del self._queued[connection]
            self._dispatch(connection)

    def _accept(self, selector: selectors.BaseSelector, _: Any) -> None:
        for _turn in range(ACCEPT_BACKLOG):  # then the others' turn: a flood does not hold up the answers
            try:
                connection, _address = self.socket.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                time.sleep(0.05)  # out of descriptors (or the client gave up): the next round tries again
                return
            connection.setblocking(False)
            if len(self._idle) + len(self._queued) >= self.waiting:
                if not self._idle:
                    self._refuse(selector, connection)
                    continue
                oldest = next(iter(self._idle))
                del self._idle[oldest]
                selector.unregister(oldest)
                self._refuse(selector, oldest)
            self._idle[connection] = time.monotonic() + self.read_timeout
            selector.register(connection, selectors.EVENT_READ, self._arrived)

    def _arrived(self, selector: selectors.BaseSelector, connection: Any) -> None:
        if connection not in self._idle:
            return  # told 503 earlier in this round to make room
        del self._idle[connection]
        selector.unregister(connection)
        if self._active < self.limit:
            self._dispatch(connection)
        else:
            self._queued[connection] = time.monotonic() + QUEUE_WAIT

    def _dispatch(self, connection: socket.socket) -> None:
        connection.setblocking(True)
        with self._active_lock:
            self._active += 1
        try:
            address = connection.getpeername()
        except OSError:
            address = ("", 0)
        threading.Thread(target=self._answer, args=(connection, address), name="kivra-web-request", daemon=True).start()

    def _answer(self, connection: socket.socket, address: Any) -> None:
        try:
            self.finish_request(connection, address)
        except Exception:
            self.handle_error(connection, address)
        finally:
            with self._active_lock:
                self._active -= 1
            with self._answered_lock:
                if self._closed:  # an event stream that ended with the server
                    connection.close()
                else:
                    self._answered.append(connection)
            self._wake()

    def _refuse(self, selector: selectors.BaseSelector, connection: socket.socket) -> None:
        try:
            connection.send(_BUSY)  # nothing was sent on it yet: its send buffer takes this at once
        except OSError:
            connection.close()
            return
        self._linger(selector, connection)

    def _linger(self, selector: selectors.BaseSelector, connection: socket.socket) -> None:
        # Closed with unread bytes in its buffer, a socket sends a reset,
        # which may reach the client before it has read the answer. So it
        # is shut for writing and read until the client closes, a while at most.
        try:
            connection.shutdown(socket.SHUT_WR)
        except OSError:
            connection.close()
            return
        if len(self._lingering) >= MAX_LINGERING:
            connection.close()
            return
        connection.setblocking(False)
        self._lingering[connection] = time.monotonic() + LINGER
        selector.register(connection, selectors.EVENT_READ, self._drain)

    def _drain(self, selector: selectors.BaseSelector, connection: Any) -> None:
        if connection not in self._lingering:
            return
        try:
            if connection.recv(65536):
                return
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            pass
        self._forget(selector, connection)

    def shutdown(self) -> None:
        self._stop_requested = True
        self._wake()
        self._stopped.wait()

    def server_close(self) -> None:
        super().server_close()
        self._wake_read.close()
        self._wake_write.close()

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A client that goes away, stalls or resets is no fault of the
        # server's, and a terminal full of tracebacks would hide the one that is.
        if isinstance(sys.exc_info()[1], OSError):
            return
        log.error("kivra web: answering %s failed", client_address, exc_info=True)


class WebMonitor:
    """Serves a live page of loop at ``server.url`` (port 0: any free port) until ``server.close()``.

    ``url`` is the page's address with its token; ``token`` is the token
    alone, or None when the server asks for none.

    ``identity`` is what the page shows of the device: the
    :class:`~kivra.DeviceInfo` of ``arm.wakeup()`` read before the loop
    started, or a mapping of names to texts; without it, the port. The page takes the loop's trace: pass
    ``use_trace=False`` when the program reads :meth:`ServoLoop.trace`
    itself, and the page samples the latest tick instead.

    The server's threads run in the idle scheduling class so that they never
    hold up the loop's exchanges. While they run a Python statement they
    hold the interpreter lock, and on a machine whose processors are all busy
    the program's other Python threads may then wait for it longer: pass
    ``background=False`` to keep them at the program's own priority.

    The page's Record button records the loop (:meth:`ServoLoop.record`)
    into a new file in ``record_dir`` (by default the working directory),
    named by the time it began, and its Stop gives a link that downloads it.

    ``server.url`` carries a token drawn at random (``?token=...``) that
    every request for the loop's data or a change must bring; pass a string
    of your own, or ``token=None`` to ask for none, which only a server on a
    loopback address (127.0.0.1, ::1, localhost) may do. ``read_timeout`` [s]
    is how long a connection may take to send its request.
    """

    def __init__(
        self,
        loop: ServoLoop,
        port: int = 0,
        host: str = "127.0.0.1",
        *,
        identity: Union[DeviceInfo, Mapping[str, Any], None] = None,
        use_trace: bool = True,
        background: bool = True,
        token: Union[str, bool, None] = True,
        read_timeout: float = READ_TIMEOUT,
        record_dir: Union[str, "os.PathLike[str]", None] = None,
    ) -> None:
        self.token = _chosen_token(token, host)
        if not (isinstance(read_timeout, (int, float)) and math.isfinite(read_timeout) and read_timeout > 0):
            raise ValueError("read_timeout must be a finite number of seconds above 0, got %r" % (read_timeout,))
        self.loop = loop
        self.use_trace = use_trace
        self.background = background
        if identity is None or isinstance(identity, DeviceInfo):
            identity = identity_fields(loop._arm.port, identity)
        self.identity = {str(k): str(v) for k, v in identity.items()}
        state = loop.state()
        self.effects = Effects(loop, state.position)
        self._effects_lock = threading.Lock()
        self._clients: List[_Client] = []
        self._clients_lock = threading.Lock()
        self._history: Deque[bytes] = collections.deque(maxlen=int(WINDOW * SAMPLE_RATE))
        self._stopping = threading.Event()
        self._last_tick = -1
        self._last_stats: Dict[str, Any] = {}
        self._rate_base: Optional[Tuple[int, float]] = None
        self.frames_sent = 0
        # The scene the page was last told of: its parts (the loop's own
        # tuple, a new one for each scene set), a number that changes with
        # them, and its description once a page has asked for it.
        self._scene_lock = threading.Lock()
        self._scene_parts: Optional[Tuple[Any, ...]] = None
        self._scene_version = 0
        self._scene_described: Optional[Dict[str, Any]] = None
        # Recordings made from the page: one at a time, into record_dir, under
        # names the server chooses; only those are ever downloaded.
        self.record_dir = os.path.abspath(os.fspath(record_dir) if record_dir is not None else os.getcwd())
        self._record_lock = threading.Lock()
        self._recording: Optional[Recording] = None
        self._recording_name: Optional[str] = None
        self._recorded: Set[str] = set()
        self._last_recording: Dict[str, Any] = {"recording": False, "file": None}

        self._server = _Server((host, port), _Handler, read_timeout)
        setattr(self._server, "monitor", self)
        self.host = host
        self.port: int = self._server.server_address[1]
        self.cookie = "kivra-token-%d" % self.port  # one per port: two servers on one machine keep theirs apart
        wildcard = host in ("", "0.0.0.0", "::")
        # From another machine the wildcard address reaches nothing; this machine's name may.
        shown = _bracketed(socket.gethostname() if wildcard else host)
        self.url = "http://%s:%d/" % (shown, self.port)
        if self.token is not None:
            self.url += "?token=" + self.token
        self._allowed_hosts = self._host_names(host)

        self._sampler = threading.Thread(
            target=self._in_background(self._sample), name="kivra-web-sampler", daemon=True
        )
        # The threads of the requests inherit the class of the thread that starts them.
        self._serving = threading.Thread(
            target=self._in_background(self._server.serve_forever), name="kivra-web-server", daemon=True
        )
        self._sampler.start()
        self._serving.start()

    def _in_background(self, run: Callable[[], None]) -> Callable[[], None]:
        def background() -> None:
            if self.background:
                try:
                    os.sched_setscheduler(0, SCHED_IDLE, os.sched_param(0))  # 0: the calling thread
                except (OSError, AttributeError):
                    pass  # not Linux: the threads keep their class
            run()

        return background

    # ------------------------------------------------------------ sampling

    def _ticks(self) -> List[TickState]:
        if self.use_trace:
            return self.loop.trace()
        state = self.loop.state()
        return [state] if state.tick != self._last_tick else []

    def _stats(self) -> Dict[str, Any]:
        stats = self.loop.stats()
        now = time.monotonic()
        rate = None
        if self._rate_base is not None and now > self._rate_base[1]:
            rate = (stats.ticks - self._rate_base[0]) / (now - self._rate_base[1])
        self._rate_base = (stats.ticks, now)
        return {
            "ticks": stats.ticks,
            "rate": rate,
            "misses": stats.missed_deadlines,
            "failed": stats.failed_exchanges,
            "refused": stats.refused_forces,
            "trace_dropped": stats.trace_dropped,
            "lateness": _percentiles(stats.wakeup_lateness),
            "exchange": _percentiles(stats.exchange_time),
            "elapsed": stats.elapsed,
            "realtime": stats.realtime_granted,
            "memory_locked": stats.memory_locked,
            "running": self.loop.running,
            "scene": self._scene_now()[0],
        }

    def _scene_now(self) -> Tuple[int, Tuple[Any, ...]]:
        with self._scene_lock:
            parts = self.loop.scene()
            if parts is not self._scene_parts:
                self._scene_parts, self._scene_described = parts, None
                self._scene_version += 1
            return self._scene_version, parts

    def scene(self) -> Dict[str, Any]:
        """The loop's scene as the page draws it: ``{"version": n, "parts":
        [...]}``, each part as :func:`kivra.scene.describe` gives it; n
        changes when the loop is given another scene, and the page's figures carry it."""
        version, parts = self._scene_now()
        with self._scene_lock:
            if self._scene_described is not None and self._scene_version == version:
                return self._scene_described
        # Outside the lock: a mesh's file is read again to tell its bounds.
        described = {"version": version, "parts": [describe(part) for part in parts]}
        with self._scene_lock:
            if self._scene_version == version:
                self._scene_described = described
        return described

    def sample(self, with_stats: bool) -> Optional[bytes]:
        """One frame: the ticks since the last one and, now and then, the loop's figures."""
        ticks = [t for t in self._ticks() if t.tick > self._last_tick]
        frame: Dict[str, Any] = {}
        if ticks:
            self._last_tick = ticks[-1].tick
            ticks = [t for t in ticks if t.tick % PLOT_STRIDE == 0] or ticks[-1:]
            frame["t"] = [round(t.time, 4) for t in ticks]
            frame["p"] = [_rounded([t.position[axis] for t in ticks], 6) for axis in range(3)]
            frame["v"] = [_rounded([t.velocity[axis] for t in ticks], 5) for axis in range(3)]
            frame["f"] = [_rounded([t.force[axis] for t in ticks], 4) for axis in range(3)]
        if with_stats:
            self._last_stats = self._stats()
            frame["stats"] = self._last_stats
        if not frame:
            return None
        return b"data: " + json.dumps(frame, separators=(",", ":")).encode() + b"\n\n"

    def _sample(self) -> None:
        period = 1.0 / SAMPLE_RATE
        count = 0
        failed = False
        deadline = time.monotonic()
        while not self._stopping.is_set():
            try:
                frame = self.sample(count % STATS_EVERY == 0)
            except Exception as error:  # the page keeps its last frame; the log says why, once
                if not failed:
                    log.warning("kivra web: reading the servo loop failed: %r", error)
                failed = True
                frame = None
            count += 1
            if frame is not None:
                self._history.append(frame)
                with self._clients_lock:
                    clients = list(self._clients)
                for client in clients:
                    client.push(frame)
                self.frames_sent += 1
            deadline += period
            delay = deadline - time.monotonic()
            if delay < 0:
                deadline = time.monotonic()
                delay = 0
            self._stopping.wait(delay)

    # ------------------------------------------------------------ clients

    def attach(self) -> Tuple[_Client, List[bytes]]:
        client = _Client()
        with self._clients_lock:
            self._clients.append(client)
            history = list(self._history)
        return client, history

    def detach(self, client: _Client) -> None:
        with self._clients_lock:
            if client in self._clients:
                self._clients.remove(client)

    @property
    def clients(self) -> int:
        with self._clients_lock:
            return len(self._clients)

    @property
    def stopping(self) -> threading.Event:
        return self._stopping

    def _host_names(self, host: str) -> Set[str]:
        # A page of another site whose name has been pointed at this machine
        # (DNS rebinding) reaches the server with that name in its Host
        # header: only this machine's own names and addresses are answered.
        names = set(_LOCAL_NAMES) | {_bracketed(host.lower()), _bracketed(str(self._server.server_address[0]))}
        if not _is_loopback(host):
            names |= {socket.gethostname().lower(), socket.getfqdn().lower()}
        allowed = {"%s:%d" % (name, self.port) for name in names if name}
        if self.port == 80:  # the port a browser leaves out
            allowed |= names
        return allowed

    def host_allowed(self, host_header: Optional[str], local_address: str = "") -> bool:
        """Whether a request's Host names this machine: a name of it, or the address the request came in on."""
        host = (host_header or "").lower()
        if host in self._allowed_hosts:
            return True
        try:
            address = ipaddress.ip_address(local_address)
        except ValueError:
            return False
        # Listening on every address, a request may name any of this machine's
        # addresses; the one it came in on is one, and no site's name.
        if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped is not None:
            address = address.ipv4_mapped
        named = _bracketed(str(address))
        return host == "%s:%d" % (named, self.port) or (self.port == 80 and host == named)

    def token_valid(self, offered: Iterator[str]) -> bool:
        """Whether one of the tokens offered is this server's (any, when it asks for none)."""
        if self.token is None:
            return True
        expected = self.token.encode()
        # Compared in constant time: the time taken tells nothing of how much of it was right.
        return any([hmac.compare_digest(t.encode("utf-8", "surrogatepass"), expected) for t in offered])

    # ------------------------------------------------------------ controls

    def set_effects(self, changes: Mapping[str, Any]) -> Dict[str, Any]:
        with self._effects_lock:
            values = self.effects.update(changes)
            self.loop.set_effects(*self.effects.build(values), force_limit=values["force_limit"])
            self.effects.values = values
            self.effects.released = False
            return self.effects.describe()

    def release(self) -> Dict[str, Any]:
        with self._effects_lock:
            self.loop.release()
            self.effects.released = True
            return self.effects.describe()

    def status(self) -> Dict[str, Any]:
        state = self.loop.state()
        with self._effects_lock:
            effects = self.effects.describe()
        with self._clients_lock:
            dropped = sum(c.dropped for c in self._clients)
        return {
            "identity": self.identity,
            "controls": [c._asdict() for c in CONTROLS],
            "effects": effects,
            "state": {
                "tick": state.tick,
                "time": state.time,
                "position": state.position,
                "velocity": state.velocity,
                "force": state.force,
            },
            "stats": self._last_stats,
            "clients": self.clients,
            "frames_sent": self.frames_sent,
            "frames_dropped": dropped,
            "window": WINDOW,
            "recording": self.recording_status(),
        }

    # ------------------------------------------------------------ recording

    def start_recording(self) -> Dict[str, Any]:
        """Records the loop into a new file of record_dir; refused with ValueError while one records."""
        with self._record_lock:
            if self._recording is not None and self._recording_status()["recording"]:
                raise ValueError("already recording into %s: stop it first" % self._recording_name)
            stem = time.strftime("kivra-%Y%m%d-%H%M%S")
            name, number = stem + ".mcap", 1
            while os.path.exists(os.path.join(self.record_dir, name)):
                number += 1
                name = "%s-%d.mcap" % (stem, number)
            try:
                self._recording = self.loop.record(os.path.join(self.record_dir, name), identity=self.identity)
            except (KivraError, OSError) as error:
                raise ValueError("not recording: %s" % error)
            self._recording_name = name
            return self._recording_status()

    def stop_recording(self) -> Dict[str, Any]:
        """Ends the recording under way, if any; its file may then be downloaded."""
        with self._record_lock:
            if self._recording is not None:
                try:
                    self._recording.stop()
                except KivraError:
                    pass  # a write had failed: the status tells why
            return self._recording_status()

    def _recording_status(self) -> Dict[str, Any]:
        recording, name = self._recording, self._recording_name
        if recording is None or name is None:
            return dict(self._last_recording)
        answer: Dict[str, Any] = {"recording": True, "file": name, "error": None, "download": None}
        try:
            s = recording.status()
            answer.update(ticks=s.ticks_written, dropped=s.ticks_dropped, bytes=s.bytes)
            ended = not s.recording
        except KivraError as error:
            answer["error"] = str(error)
            ended = True
        if ended:
            # Stopped, or ended by a failed write: readable up to its last chunk either way.
            self._recorded.add(name)
            answer.update(recording=False, download="/recordings/" + urllib.parse.quote(name))
            self._recording = None
            self._last_recording = answer
        return answer

    def recording_status(self) -> Dict[str, Any]:
        """The recording under way or the last one: its file, ticks, bytes [B], error and download address."""
        with self._record_lock:
            return self._recording_status()

    def recorded_file(self, name: str) -> Optional[str]:
        """The path of a finished recording the page made, by its name; None for any other name."""
        with self._record_lock:
            return os.path.join(self.record_dir, name) if name in self._recorded else None

    # ------------------------------------------------------------ life

    def close(self) -> None:
        """Stops serving and any recording the page began; the loop goes on as it was."""
        if self._stopping.is_set():
            return
        self.stop_recording()
        self._stopping.set()
        with self._clients_lock:
            for client in self._clients:
                client.ready.set()
        self._server.shutdown()
        self._server.server_close()
        self._sampler.join()
        self._serving.join()

    def __enter__(self) -> "WebMonitor":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()


def _chosen_token(token: Union[str, bool, None], host: str) -> Optional[str]:
    if token is True:
        return secrets.token_urlsafe(32)
    if token is None or token is False:
        if not _is_loopback(host):
            raise ValueError(
                "a server on %s is open to other machines: it needs a token (only a loopback address may go without)"
                % host
            )
        return None
    if not isinstance(token, str) or not _TOKEN_CHARACTERS.fullmatch(token):
        raise ValueError("a token is letters, digits and ._~- only, got %r" % (token,))
    return token


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "kivra-web"

    @property
    def monitor(self) -> WebMonitor:
        return getattr(self.server, "monitor")  # type: ignore[no-any-return]

    def setup(self) -> None:
        super().setup()
        # Every read and write of the connection: a client that stops halfway
        # through its request frees the thread after this, as does a page
        # that stops taking its event stream.
        self.connection.settimeout(getattr(self.server, "read_timeout"))

    def log_message(self, format: str, *args: Any) -> None:
        pass  # a page polls and streams; a line per request would bury the terminal

    def _send(self, status: int, body: bytes, content_type: str, extra: Sequence[Tuple[str, str]] = ()) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        # One request a connection: a thread never waits on an idle one for the next.
        self.send_header("Connection", "close")
        self.close_connection = True
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def _json(self, status: int, value: Any) -> None:
        self._send(status, _json_bytes(value), "application/json")

    def _error(self, status: int, message: str) -> None:
        self._json(status, {"error": message})

    def _query_tokens(self) -> List[str]:
        return urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query).get("token", [])

    def _offered_tokens(self) -> Iterator[str]:
        yield from self.headers.get_all("X-Kivra-Token") or []
        yield from self._query_tokens()
        for line in self.headers.get_all("Cookie") or []:
            for pair in line.split(";"):
                name, _, value = pair.strip().partition("=")
                if name == self.monitor.cookie:
                    yield value

    def _refused(self, needs_token: bool = True) -> bool:
        host = self.headers.get("Host")
        if not self.monitor.host_allowed(host, self.connection.getsockname()[0]):
            self._error(403, "unknown host %r" % (host,))
            return True
        if needs_token and not self.monitor.token_valid(self._offered_tokens()):
            self._error(403, "no valid token: open the address the server printed, with its ?token=")
            return True
        return False

    def do_GET(self) -> None:
        path = urllib.parse.urlsplit(self.path).path
        # The page and its files are no secret: served to anyone who asks the
        # right host, so that the page can take the token from its address.
        if self._refused(needs_token=path not in ("/", "/index.html") and not path.startswith("/static/")):
            return
        if path in ("/", "/index.html"):
            self._static("index.html", self._token_cookie())
        elif path.startswith("/static/"):
            self._static(path[len("/static/") :])
        elif path == "/events":
            self._events()
        elif path == "/api/status":
            self._json(200, self.monitor.status())
        elif path == "/api/scene":
            self._json(200, self.monitor.scene())
        elif path.startswith("/recordings/"):
            self._download(urllib.parse.unquote(path[len("/recordings/") :]))
        else:
            self._error(404, "no page %s" % path)

    def _token_cookie(self) -> Sequence[Tuple[str, str]]:
        # The page's own requests and its event stream carry the token as a
        # cookie, which a browser sends to this host and port only, and never
        # with a request another site's page makes (SameSite).
        monitor = self.monitor
        if monitor.token is None or not monitor.token_valid(iter(self._query_tokens())):
            return ()
        return (("Set-Cookie", "%s=%s; Path=/; HttpOnly; SameSite=Strict" % (monitor.cookie, monitor.token)),)

    def _static(self, name: str, extra: Sequence[Tuple[str, str]] = ()) -> None:
        # Only plain file names of the folder: no way up or out of it.
        if name != posixpath.basename(name) or name.startswith("."):
            self._error(404, "no file %s" % name)
            return
        path = os.path.join(STATIC_DIR, name)
        try:
            with open(path, "rb") as f:
                body = f.read()
        except OSError:
            hint = " (run scripts/setup.sh, then build again)" if name.startswith("uPlot") else ""
            self._error(404, "no file %s%s" % (name, hint))
            return
        content_type = _CONTENT_TYPES.get(os.path.splitext(name)[1], "application/octet-stream")
        self._send(200, body, content_type, extra)

    def _download(self, name: str) -> None:
        path = self.monitor.recorded_file(name)
        try:
            if path is None:
                raise FileNotFoundError(name)
            f = open(path, "rb")
        except OSError:
            self._error(404, "no recording %s" % name)
            return
        with f:
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(os.fstat(f.fileno()).st_size))
            self.send_header("Content-Disposition", 'attachment; filename="%s"' % name)
            self.send_header("Cache-Control", "no-store")
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True
            try:
                shutil.copyfileobj(f, self.wfile, DOWNLOAD_BLOCK)
            except OSError:
                pass  # the browser went away

    def _events(self) -> None:
        monitor = self.monitor
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-store")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        client, history = monitor.attach()
        try:
            self.wfile.write(b"".join(history) or b": start\n\n")
            self.wfile.flush()
            while not monitor.stopping.is_set():
                if not client.ready.wait(KEEPALIVE):
                    self.wfile.write(b": idle\n\n")
                else:
                    frames = client.take()
                    if not frames:
                        continue
                    self.wfile.write(b"".join(frames))
                self.wfile.flush()
        except OSError:
            pass  # the page went away, or stopped taking its frames
        finally:
            monitor.detach(client)

    def _body_length(self) -> Optional[int]:
        """The request body's length, or None after answering a request whose body cannot be read."""
        if self.headers.get("Transfer-Encoding") is not None:
            self._error(400, "a change is sent with a Content-Length")
            return None
        given = self.headers.get_all("Content-Length") or ["0"]
        text = given[0].strip()
        if len(set(given)) > 1 or not _LENGTH.fullmatch(text):
            shown = text if len(text) <= 24 else text[:20] + "..."
            self._error(400, "Content-Length must be a number of bytes, got %r" % (shown,))
            return None
        length = int(text)
        if length > MAX_BODY:
            self._error(413, "a change is at most %d bytes" % MAX_BODY)
            return None
        return length

    def do_POST(self) -> None:
        if self._refused():
            return
        origin = self.headers.get("Origin")
        if origin is not None and urllib.parse.urlsplit(origin).netloc != self.headers.get("Host"):
            self._error(403, "changes are taken only from this server's own page")
            return
        if self.headers.get_content_type() != "application/json":
            self._error(415, "changes are taken as application/json only")
            return
        length = self._body_length()
        if length is None:
            return
        body = self.rfile.read(length)
        if len(body) < length:
            self.close_connection = True
            return  # the client closed before its body ended: nobody to answer
        path = urllib.parse.urlsplit(self.path).path
        try:
            changes = json.loads(body.decode() or "{}")
            if not isinstance(changes, dict):
                raise ValueError("a JSON object of control names and values, got %r" % (changes,))
            if path == "/api/effects":
                self._json(200, self.monitor.set_effects(changes))
            elif path == "/api/release":
                self._json(200, self.monitor.release())
            elif path == "/api/record":
                action = changes.get("action")
                if action not in ("start", "stop"):
                    raise ValueError("a recording's action is \"start\" or \"stop\", got %r" % (action,))
                answer = self.monitor.start_recording() if action == "start" else self.monitor.stop_recording()
                self._json(200, answer)
            else:
                self._error(404, "no page %s" % path)
        except ValueError as error:
            self._error(400, str(error))


#: Serves a live page of a loop: ``kivra.web(loop)`` starts a :class:`WebMonitor`.
web = WebMonitor


def _raise_emulator_priority(pid: int) -> None:
    # Below the servo loop's own priority, above the page and everything else:
    # the emulated arm must answer in time for the loop's figures to mean anything.
    try:
        os.sched_setscheduler(pid, os.SCHED_FIFO, os.sched_param(70))
    except (OSError, AttributeError):
        pass


def run_web_monitor(args: argparse.Namespace) -> int:
    """``kivra monitor --web``: the servo loop on the arm at args.port (or the emulator) behind the page."""
    import contextlib

    from .common import INTERRUPTED, _Interrupt
    from .monitor import _start_arm, apply_demo, emulated_arm, monitor_effects

    # Before anything starts: a --no-token that cannot be costs nothing.
    token = _chosen_token(not getattr(args, "no_token", False), args.host)
    apply_demo(args)
    with contextlib.ExitStack() as stack:
        stop = stack.enter_context(_Interrupt())
        port = args.port
        if not port:
            emulator = stack.enter_context(emulated_arm(args))
            _raise_emulator_priority(emulator.process.pid)
            port = emulator.port
        arm, start, identity = _start_arm(port, args, stop, identify=True)
        stack.enter_context(arm)
        loop = ServoLoop(arm, args.rate)
        stack.callback(loop.stop)
        effects = monitor_effects(args, start)
        if effects:
            loop.set_effects(*effects, force_limit=args.force_limit)
        if getattr(args, "record", None):
            stack.enter_context(loop.record(args.record, args.compression, identity=identity))
        server = stack.enter_context(web(loop, args.http_port, args.host, identity=identity, token=token,
                                         record_dir=getattr(args, "record_dir", None)))
        print("kivra monitor: %s  (Ctrl-C to stop)" % server.url, flush=True)
        deadline = time.monotonic() + args.duration if args.duration else math.inf
        # Short waits: a signal handler runs only between them.
        while not stop.is_set() and time.monotonic() < deadline:
            stop.wait(min(0.1, max(0.0, deadline - time.monotonic())))
    return INTERRUPTED if stop.is_set() else 0


__all__ = ["CONTROLS", "Control", "WebMonitor", "identity_fields", "run_web_monitor", "web"]
