"""The servo loop on a ROS 2 network: libkivra_bridge over Cyclone DDS, with ROS 2's conventions.

A :class:`Bridge` publishes the loop's state under ``/<namespace>/``
(``joint_states``, ``pose``, ``twist``, ``wrench`` at up to the loop's rate,
``diagnostics`` at 1 Hz) and takes ``force_command`` (added as the loop's
host force: held, then ramped out, like :meth:`ServoLoop.set_host_force`)
and ``effects`` (range-checked; refused ones are counted, never applied).
Given an open :class:`~kivra.Handle`, it publishes the handle's status
frames too, on ``buttons`` and ``orientation``.
Everything runs on a thread of libkivra_bridge's own; Python only starts,
reads and stops it.

The bridge is built only where Cyclone DDS was found; elsewhere
:class:`Bridge` raises :class:`BridgeUnavailable` and ``import kivra`` works
as ever.
"""

import atexit
import math
import threading
import weakref
from typing import Any, NamedTuple, Optional, Tuple

from ._kivra_ffi import ffi as _kivra_ffi, lib as _kivra_lib
from .errors import DeviceBusy, KivraError, PortClosed
from .handle import Handle
from .servo import ServoLoop

try:
    from ._kivra_bridge_ffi import ffi, lib
except ImportError as missing:  # built without Cyclone DDS
    ffi = lib = None
    _missing: Optional[ImportError] = missing
else:
    _missing = None


class BridgeUnavailable(KivraError, ImportError):
    """This build of kivra has no ROS 2 bridge (Cyclone DDS was not found when it was built)."""


class BridgeError(KivraError, RuntimeError):
    """DDS refused to start the bridge; the message says which call and why."""


class BridgeStatistics(NamedTuple):
    published_states: int  # ticks published, each on every state topic
    published_diagnostics: int
    trace_dropped: int  # ticks lost before the bridge drained them
    force_commands: int  # applied
    refused_force_commands: int  # not finite or in a foreign frame: never applied
    effects_applied: int
    refused_effects: int  # out of range or not finite: never applied
    received_peer_states: int
    lost_messages: int  # dropped by receive_loss
    last_refusal: str  # why the latest command was refused ("" when none)
    handle_frames: int  # the handle's status frames published
    handle_timeouts: int  # reads of the handle that found no frame in time
    handle_reading: bool  # an attached handle is still read
    handle_failure: str  # the status that ended the handle's reading ("KIVRA_CLOSED", ...; "" when none)


class CouplingState(NamedTuple):
    coupled: bool
    energy_in: float  # [J] the local arm put into the coupling
    energy_out: float  # [J] the coupling put into the local arm
    peer_energy_in: float  # [J] the peer's arm put in, as last heard
    observed_energy: float  # [J] energy_out - peer_energy_in - dissipated: above 0, the coupling made energy
    passivity_damping: float  # [N s/m] the passivity controller adds now
    dissipated: float  # [J] the passivity controller took out
    error: float  # [m] distance to the peer's position as last heard
    longest_positive: float  # [s] the longest observed_energy stayed above zero


def available() -> bool:
    """Whether this build has the bridge."""
    return lib is not None


# Bridges still running when the program ends are stopped first, while DDS is still whole.
_running: "weakref.WeakSet[Bridge]" = weakref.WeakSet()
_exit_lock = threading.Lock()
_exit_handler_installed = False


def _stop_all() -> None:
    for bridge in list(_running):
        bridge.stop()


class Bridge:
    """Publishes loop's state under ``/<namespace>/`` and takes its commands, until :meth:`stop`.

    ``state_rate`` [Hz] paces joint_states, pose, twist and wrench (every tick
    at the loop's rate or above); ``diagnostics_rate`` [Hz] the diagnostics.
    ``domain`` is the DDS domain (None: ``CYCLONEDDS_URI``'s, else 0).

    ``receive_delay`` [s] and ``receive_loss`` (0 to 1) are test aids: every
    message taken is dropped with that probability (drawn from ``loss_seed``)
    and otherwise applied that long after it arrived, as over a slow and
    lossy network.

    ``peer`` couples this loop to the arm behind the bridge under that
    namespace (teleoperation): the loop's scene becomes a spring of
    ``coupling_stiffness`` [N/m] and ``coupling_damping`` [N s/m] towards the
    peer's position, kept passive by a time-domain passivity controller
    (``passivity_control``) that adds up to ``max_passivity_damping``
    [N s/m]. The scene is taken off again by :meth:`stop`.

    ``handle``, an open :class:`~kivra.Handle`, has its status frames
    published as they come: ``buttons`` (``sensor_msgs/msg/Joy``: the three
    buttons as 0 or 1, axes the hall-effect sensor level from 0 to 1) and
    ``orientation`` (``geometry_msgs/msg/QuaternionStamped``). Until
    :meth:`stop` the bridge reads them on a thread of its own: the handle's
    :meth:`~kivra.Handle.receive` and :meth:`~kivra.Handle.read_status_frame`
    raise :class:`~kivra.DeviceBusy`, while requests and
    :meth:`~kivra.Handle.close` work as ever. A handle closed or failing
    ends only the reading: its topics go quiet and :meth:`stats` tells why.

    Raises ValueError for bad options, :class:`BridgeUnavailable` without
    the bridge, :class:`BridgeError` when DDS refuses, TypeError for a handle
    that is no :class:`~kivra.Handle`, :class:`~kivra.PortClosed` for a closed
    one and :class:`~kivra.DeviceBusy` for one another bridge reads.
    """

    def __init__(
        self,
        loop: ServoLoop,
        namespace: str = "kivra",
        *,
        domain: Optional[int] = None,
        state_rate: float = 1000.0,
        diagnostics_rate: float = 1.0,
        receive_delay: float = 0.0,
        receive_loss: float = 0.0,
        loss_seed: int = 1,
        peer: Optional[str] = None,
        coupling_stiffness: float = 200.0,
        coupling_damping: float = 10.0,
        passivity_control: bool = True,
        max_passivity_damping: float = 200.0,
        handle: Optional[Handle] = None,
    ) -> None:
        if lib is None:
            raise BridgeUnavailable("kivra was built without the ROS 2 bridge (no Cyclone DDS): %s" % (_missing,))
        if handle is not None and not isinstance(handle, Handle):
            raise TypeError("handle must be a kivra.Handle, got %r" % (handle,))
        if handle is not None and not handle.is_open:
            raise PortClosed("the handle on %s is closed" % handle.port)
        options = ffi.new("kivra_bridge_options*")
        lib.kivra_bridge_default_options(options)
        # The texts stay referenced for as long as the options are read.
        self._texts = [ffi.new("char[]", namespace.encode()), ffi.new("char[]", (peer or "").encode())]
        options.name_space, options.peer = self._texts
        options.domain = -1 if domain is None else domain
        for name, value in (
            ("state_rate", state_rate),
            ("diagnostics_rate", diagnostics_rate),
            ("receive_delay", receive_delay),
            ("receive_loss", receive_loss),
            ("coupling_stiffness", coupling_stiffness),
            ("coupling_damping", coupling_damping),
            ("max_passivity_damping", max_passivity_damping),
        ):
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
                raise ValueError("%s must be a finite number, got %r" % (name, value))
            setattr(options, name, float(value))
        options.loss_seed = loss_seed & 0xFFFFFFFF
        options.passivity_control = 1 if passivity_control else 0
        problem = lib.kivra_bridge_options_problem(options)
        if problem != ffi.NULL:
            given = "namespace=%r, peer=%r, domain=%r" % (namespace, peer, domain)
            raise ValueError("%s; got %s" % (ffi.string(problem).decode(), given))
        self.namespace = namespace
        self.loop = loop  # the loop outlives its bridge
        servo = ffi.cast("kivra_servo*", int(_kivra_ffi.cast("uintptr_t", loop._handle)))
        started = ffi.new("kivra_bridge**")
        detail = ffi.new("int32_t*")
        status = lib.kivra_bridge_start(servo, options, started, detail)
        if status != lib.KIVRA_OK:
            raise BridgeError("the bridge could not start: %s" % ffi.string(lib.kivra_bridge_last_error()).decode())
        self._handle = ffi.gc(started[0], lib.kivra_bridge_destroy)
        self._refusal = ffi.new("char[]", 256)
        self.handle = handle  # the program's again once the bridge has stopped
        if handle is not None:
            self._attach(handle)
        global _exit_handler_installed
        with _exit_lock:
            if not _exit_handler_installed:
                atexit.register(_stop_all)
                _exit_handler_installed = True
            _running.add(self)

    def _attach(self, device: Handle) -> None:
        status = lib.kivra_bridge_attach_handle(
            self._handle, ffi.cast("kivra_handle*", int(_kivra_ffi.cast("uintptr_t", device._handle)))
        )
        if status == lib.KIVRA_OK:
            return
        lib.kivra_bridge_stop(self._handle)
        if status == lib.KIVRA_BUSY:
            raise DeviceBusy("another bridge or a recording reads the handle on %s; stop it first" % device.port)
        if status == lib.KIVRA_CLOSED:
            raise PortClosed("the handle on %s is closed" % device.port)
        raise BridgeError("the bridge could not read the handle on %s (status %d)" % (device.port, status))

    def stop(self) -> None:
        """Stops publishing and taking, and leaves the network; commands already
        applied run out with the loop's hold and ramp, and the handle's reads
        are the program's again."""
        lib.kivra_bridge_stop(self._handle)
        _running.discard(self)

    def stats(self) -> BridgeStatistics:
        s = ffi.new("kivra_bridge_statistics*")
        lib.kivra_bridge_get_statistics(self._handle, s)
        lib.kivra_bridge_last_refusal(self._handle, self._refusal, len(self._refusal))
        return BridgeStatistics(
            s.published_states,
            s.published_diagnostics,
            s.trace_dropped,
            s.force_commands,
            s.refused_force_commands,
            s.effects_applied,
            s.refused_effects,
            s.received_peer_states,
            s.lost_messages,
            ffi.string(self._refusal).decode(),
            s.handle_frames,
            s.handle_timeouts,
            bool(s.handle_reading),
            _kivra_ffi.string(_kivra_lib.kivra_status_name(s.handle_failure)).decode() if s.handle_failure else "",
        )

    def coupling(self) -> CouplingState:
        """The teleoperation coupling as the servo thread last left it (all zero without a peer)."""
        c = ffi.new("kivra_coupling_state*")
        lib.kivra_bridge_get_coupling(self._handle, c)
        return CouplingState(
            bool(c.coupled),
            c.energy_in,
            c.energy_out,
            c.peer_energy_in,
            c.observed_energy,
            c.passivity_damping,
            c.dissipated,
            c.error,
            c.longest_positive,
        )

    def __enter__(self) -> "Bridge":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.stop()


class Teleoperation:
    """Couples two loops in this process, leader and follower, through two bridges.

    Each side renders a spring of ``stiffness`` [N/m] and ``damping``
    [N s/m] towards the other arm's position as its bridge last heard it,
    kept passive by the passivity controller unless ``passivity_control``
    is False. The bridges publish under ``namespaces`` (leader's, follower's)
    and take each other's state over DDS, so ``receive_delay`` [s] and
    ``receive_loss`` act on the coupling as a network would; other keywords
    go to both :class:`Bridge` objects. The two sides can as well run in two
    processes or on two machines: a :class:`Bridge` each, with ``peer`` set
    to the other's namespace.
    """

    def __init__(
        self,
        leader: ServoLoop,
        follower: ServoLoop,
        *,
        namespaces: Tuple[str, str] = ("leader", "follower"),
        stiffness: float = 200.0,
        damping: float = 10.0,
        passivity_control: bool = True,
        receive_delay: float = 0.0,
        receive_loss: float = 0.0,
        **options: Any,
    ) -> None:
        shared = dict(
            coupling_stiffness=stiffness,
            coupling_damping=damping,
            passivity_control=passivity_control,
            receive_delay=receive_delay,
            receive_loss=receive_loss,
            **options,
        )
        self.leader = Bridge(leader, namespaces[0], peer=namespaces[1], loss_seed=1, **shared)
        try:
            self.follower = Bridge(follower, namespaces[1], peer=namespaces[0], loss_seed=2, **shared)
        except BaseException:
            self.leader.stop()
            raise

    def coupling(self) -> Tuple[CouplingState, CouplingState]:
        """(the leader's side, the follower's side)."""
        return self.leader.coupling(), self.follower.coupling()

    def stop(self) -> None:
        """Uncouples both sides: each arm's coupling force is taken off at once."""
        self.leader.stop()
        self.follower.stop()

    def __enter__(self) -> "Teleoperation":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.stop()


__all__ = [
    "Bridge",
    "BridgeError",
    "BridgeStatistics",
    "BridgeUnavailable",
    "CouplingState",
    "Teleoperation",
    "available",
]
