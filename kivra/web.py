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
replace the loop's effects, which the loop applies between two ticks.

The server's threads run in the scheduler's idle class (SCHED_IDLE): any
ordinary thread that wakes takes their processor at once. The servo loop's
replies reach it through the kernel's worker threads, which are ordinary
ones; a server thread busy encoding a frame at nice 0 would make them wait
for the rest of its time slice, and the loop miss its deadline.

The server listens on 127.0.0.1 unless told otherwise, answers only requests
addressed to the name it listens on, and takes changes only as JSON, so that
another site open in the same browser cannot move the arm.
"""

import argparse
import collections
import json
import math
import os
import posixpath
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Deque, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

from ._kivra_ffi import ffi, lib
from .arm import DeviceInfo
from .errors import log
from .servo import ConstantForce, Damping, ServoLoop, Spring, TickState, Wall

STATIC_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "web_static")
SAMPLE_RATE = 60.0  # [Hz] of the sampler, and so of the page's updates
STATS_EVERY = 6  # samples between two reads of the loop's statistics (10 Hz)
PLOT_STRIDE = 8  # every 8th tick goes to the page: 125 points a second, two per pixel of a 10-second plot
WINDOW = 10.0  # [s] of history a page shows and a new page gets at once
CLIENT_QUEUE = 32  # frames a page may fall behind before it loses the oldest
KEEPALIVE = 15.0  # [s] between comments on an idle event stream
MAX_BODY = 4096  # [bytes] of a POST
DEFAULT_WALL_DISTANCE = 0.02  # [m] below the position at start, when the loop has no wall
SCHED_IDLE = getattr(os, "SCHED_IDLE", 5)  # PyPy 3.9's os lacks the name

_LOCAL_NAMES = ("127.0.0.1", "localhost", "::1")
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
    Control("wall_stiffness", "Wall stiffness", "N/m", 5000.0, 50.0),
    Control("wall_damping", "Wall damping", "N s/m", 20.0, 0.5),
    Control("spring_stiffness", "Spring stiffness", "N/m", 1000.0, 10.0),
    Control("spring_damping", "Spring damping", "N s/m", 20.0, 0.5),
    Control("damping", "Viscous damping", "N s/m", 20.0, 0.5),
    Control("force_limit", "Force limit", "N", 20.0, 0.5),
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
                raise ValueError("%s must be between 0 and %g %s, got %r" % (name, control.maximum, control.unit, value))
            values[name] = float(value)
        return values

    def build(self, values: Mapping[str, float]) -> List[Any]:
        chosen: List[Any] = [
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


class WebMonitor:
    """Serves the page of one servo loop until :meth:`close`; :func:`web` starts one."""

    def __init__(
        self,
        loop: ServoLoop,
        port: int = 0,
        host: str = "127.0.0.1",
        *,
        identity: Union[DeviceInfo, Mapping[str, Any], None] = None,
        use_trace: bool = True,
        background: bool = True,
    ) -> None:
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

        self._server = ThreadingHTTPServer((host, port), _Handler)
        self._server.daemon_threads = True
        setattr(self._server, "monitor", self)
        self.host = host
        self.port: int = self._server.server_address[1]
        shown = "[%s]" % host if ":" in host else host
        self.url = "http://%s:%d/" % (shown, self.port)
        self._allowed_hosts = None
        if host in _LOCAL_NAMES:
            self._allowed_hosts = {"%s:%d" % (name, self.port) for name in ("127.0.0.1", "localhost", "[::1]")}

        self._sampler = threading.Thread(target=self._in_background(self._sample), name="kivra-web-sampler", daemon=True)
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
        }

    def sample(self, with_stats: bool) -> Optional[bytes]:
        """One frame: the ticks since the last one and, now and then, the loop's figures."""
        ticks = [t for t in self._ticks() if t.tick > self._last_tick]
        frame: Dict[str, Any] = {}
        if ticks:
            self._last_tick = ticks[-1].tick
            ticks = [t for t in ticks if t.tick % PLOT_STRIDE == 0] or ticks[-1:]
            frame["t"] = [round(t.time, 4) for t in ticks]
            frame["p"] = [_rounded([t.position[axis] for t in ticks], 6) for axis in range(3)]
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

    def host_allowed(self, host_header: Optional[str]) -> bool:
        return self._allowed_hosts is None or (host_header or "") in self._allowed_hosts

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
        }

    # ------------------------------------------------------------ life

    def close(self) -> None:
        """Stops serving; the loop goes on as it was."""
        if self._stopping.is_set():
            return
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


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "kivra-web"

    @property
    def monitor(self) -> WebMonitor:
        return getattr(self.server, "monitor")  # type: ignore[no-any-return]

    def log_message(self, format: str, *args: Any) -> None:
        pass  # a page polls and streams; a line per request would bury the terminal

    def _send(self, status: int, body: bytes, content_type: str, extra: Sequence[Tuple[str, str]] = ()) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def _json(self, status: int, value: Any) -> None:
        self._send(status, json.dumps(value).encode(), "application/json")

    def _error(self, status: int, message: str) -> None:
        self._json(status, {"error": message})

    def _refused(self) -> bool:
        if not self.monitor.host_allowed(self.headers.get("Host")):
            self._error(403, "unknown host %r" % (self.headers.get("Host"),))
            return True
        return False

    def do_GET(self) -> None:
        if self._refused():
            return
        path = urllib.parse.urlsplit(self.path).path
        if path == "/":
            self._static("index.html")
        elif path.startswith("/static/"):
            self._static(path[len("/static/") :])
        elif path == "/events":
            self._events()
        elif path == "/api/status":
            self._json(200, self.monitor.status())
        else:
            self._error(404, "no page %s" % path)

    def _static(self, name: str) -> None:
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
        self._send(200, body, content_type)

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
        except (BrokenPipeError, ConnectionResetError, ConnectionAbortedError, TimeoutError):
            pass  # the page went away
        finally:
            monitor.detach(client)

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
        length = int(self.headers.get("Content-Length") or 0)
        if length > MAX_BODY:
            self._error(413, "a change is at most %d bytes" % MAX_BODY)
            return
        body = self.rfile.read(length) if length > 0 else b""
        path = urllib.parse.urlsplit(self.path).path
        try:
            changes = json.loads(body.decode() or "{}")
            if not isinstance(changes, dict):
                raise ValueError("a JSON object of control names and values, got %r" % (changes,))
            if path == "/api/effects":
                self._json(200, self.monitor.set_effects(changes))
            elif path == "/api/release":
                self._json(200, self.monitor.release())
            else:
                self._error(404, "no page %s" % path)
        except ValueError as error:
            self._error(400, str(error))


def web(
    loop: ServoLoop,
    port: int = 0,
    host: str = "127.0.0.1",
    *,
    identity: Union[DeviceInfo, Mapping[str, Any], None] = None,
    use_trace: bool = True,
    background: bool = True,
) -> WebMonitor:
    """Serves a live page of loop at ``server.url`` (port 0: any free port) until ``server.close()``.

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
    """
    return WebMonitor(loop, port, host, identity=identity, use_trace=use_trace, background=background)


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

    from .arm import Arm
    from .cli import INTERRUPTED, Emulator, _Interrupt, monitor_effects

    with contextlib.ExitStack() as stack:
        stop = stack.enter_context(_Interrupt())
        port = args.port
        if not port:
            emulator = stack.enter_context(Emulator("arm"))
            _raise_emulator_priority(emulator.process.pid)
            port = emulator.port
        arm = stack.enter_context(Arm(port, timeout=args.timeout))
        identity = identity_fields(port, arm.wakeup(), arm.firmware_id())
        start, _ = arm.exchange_force((0.0, 0.0, 0.0)) or ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0))
        loop = ServoLoop(arm, args.rate)
        stack.callback(loop.stop)
        effects = monitor_effects(args, start)
        if effects:
            loop.set_effects(*effects, force_limit=args.force_limit)
        server = stack.enter_context(web(loop, args.http_port, args.host, identity=identity))
        print("kivra monitor: %s  (Ctrl-C to stop)" % server.url, flush=True)
        deadline = time.monotonic() + args.duration if args.duration else math.inf
        # Short waits: a signal handler runs only between them.
        while not stop.is_set() and time.monotonic() < deadline:
            stop.wait(min(0.1, max(0.0, deadline - time.monotonic())))
    return INTERRUPTED if stop.is_set() else 0


__all__ = ["CONTROLS", "Control", "WebMonitor", "identity_fields", "run_web_monitor", "web"]
