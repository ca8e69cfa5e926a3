"""Finding arms and handles by what they answer, and opening an arm by its unique id."""

import errno
import os
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union
from uuid import UUID

from ._kivra_ffi import ffi, lib
from ._port import PathLike, _checked_timeout
from ._safety import enable_interrupts
from .arm import Arm
from .errors import KivraError, _fail, _in_use_text, _permission_text, raise_for_status

# Both devices answer a wakeup within a few milliseconds over USB and within
# tens of milliseconds over a Bluetooth link; half a second is far above
# both, and since all ports are probed at once it is also about what a whole
# scan costs, which keeps it quick enough to run whenever a program starts.
PROBE_TIMEOUT = 0.5


def is_candidate_port_name(name: str) -> bool:
    """A name in /dev that may hold a device: a USB CDC-ACM port, a USB serial adapter, a Bluetooth RFCOMM port."""
    return bool(lib.kivra_is_candidate_port_name(os.fsencode(name)))


def port_names(directory: str = "/dev") -> List[str]:
    """The paths in directory whose names may hold a device (see :func:`is_candidate_port_name`), sorted."""
    try:
        names = sorted(os.listdir(directory))
    except OSError:
        return []
    return [os.path.join(directory, name) for name in names if is_candidate_port_name(name)]


class DeviceNotFound(KivraError, LookupError):
    """No device matched; the message lists what was found instead."""


class AmbiguousDevice(KivraError, LookupError):
    """More than one device matched; the message lists them."""


@dataclass(frozen=True)
class FoundDevice:
    """One port that answered a wakeup, or that could not be asked.

    ``port`` is the canonical path, ``links`` the symbolic links naming it
    (the stable ``serial/by-id`` names first). ``kind`` is "arm", "handle",
    or "unknown" for a port that answered as neither or could not be opened
    (``in_use`` when another program holds it; ``error`` says what happened).
    The identity fields are None where the answer did not carry them: a
    handle has no unique id, and a handle that answered with a status
    message rather than its info tells nothing more.
    """

    port: str
    links: Tuple[str, ...]
    kind: str
    model: Optional[int] = None
    device_id: Optional[int] = None
    unique_id: Optional[UUID] = None
    hardware_version: Optional[int] = None
    firmware_version: Optional[int] = None
    in_use: bool = False
    error: Optional[str] = None

    @property
    def by_id(self) -> Optional[str]:
        """The stable name under serial/by-id, which survives replugging, or None."""
        return next((link for link in self.links if "/serial/by-id/" in link), None)

    def __str__(self) -> str:
        if self.kind == "arm":
            return "arm %s on %s" % (self.unique_id, self.port)
        if self.kind == "handle":
            return "handle on %s" % self.port
        return "%s: %s" % (self.port, self.error)


def _candidate_ports(directory: str) -> Dict[str, List[str]]:
    """Canonical paths of the candidate ports in directory, each with an empty list for its links."""
    try:
        names = sorted(os.listdir(directory))
    except (FileNotFoundError, NotADirectoryError):
        return {}
    ports: Dict[str, List[str]] = {}
    for name in names:
        if is_candidate_port_name(name):
            port = os.path.realpath(os.path.join(directory, name))
            # A dangling link names a device that has gone.
            if os.path.exists(port):
                ports.setdefault(port, [])
    return ports


def _collect_links(directory: str, ports: Dict[str, List[str]]) -> None:
    folders = [directory]
    serial = os.path.join(directory, "serial")
    if os.path.isdir(serial):
        folders += sorted(os.path.join(serial, sub) for sub in os.listdir(serial))
    for folder in folders:
        try:
            entries = sorted(os.scandir(folder), key=lambda entry: entry.name)
        except OSError:
            continue
        for entry in entries:
            if entry.is_symlink():
                links = ports.get(os.path.realpath(entry.path))
                if links is not None:
                    links.append(entry.path)
    for links in ports.values():
        links.sort(key=lambda link: "/serial/by-id/" not in link)


def _probe(ports: Sequence[str], timeout: float) -> Any:
    enable_interrupts()
    names = [ffi.new("char[]", os.fsencode(port)) for port in ports]
    results = ffi.new("kivra_probe_result[]", len(ports))
    status = lib.kivra_probe_ports(ffi.new("const char*[]", names), len(ports), timeout, results)
    if status != lib.KIVRA_OK:
        raise_for_status(status, 0, ", ".join(ports), timeout)
    return results


def _record(port: str, links: Tuple[str, ...], result: Any) -> Optional[FoundDevice]:
    """What a probe found, or None for a port that is silent, gone, or no serial port."""
    if result.kind == lib.KIVRA_DEVICE_ARM:
        arm = result.arm
        unique_id = UUID(bytes=bytes(ffi.buffer(arm.unique_id)))
        return FoundDevice(
            port, links, "arm", arm.model_number, arm.device_id, unique_id, arm.hardware_version, arm.firmware_version
        )
    if result.kind == lib.KIVRA_DEVICE_HANDLE:
        if result.status == lib.KIVRA_SHORT_PAYLOAD:
            return FoundDevice(port, links, "handle", error="its info reply came short")
        if not result.has_info:
            return FoundDevice(port, links, "handle")
        info = result.handle
        return FoundDevice(
            port, links, "handle", info.model_number, info.device_id, None, info.hardware_version, info.firmware_version
        )
    if result.kind == lib.KIVRA_DEVICE_UNKNOWN:
        if result.status == lib.KIVRA_SHORT_PAYLOAD:
            error = "its wakeup reply came short"
        elif result.has_info:
            error = "answered the wakeup as model %d, not as an arm" % result.arm.model_number
        else:
            error = "answered the wakeup with code %d" % result.code
        return FoundDevice(port, links, "unknown", error=error)
    if result.status in (lib.KIVRA_TIMED_OUT, lib.KIVRA_HUNG_UP):
        return None
    if result.status == lib.KIVRA_NOT_OPEN:
        if result.detail in (errno.ENOENT, errno.ENOTTY):
            return None
        if result.detail == errno.EBUSY:
            return FoundDevice(port, links, "unknown", in_use=True, error=_in_use_text(port))
        if result.detail in (errno.EACCES, errno.EPERM):
            return FoundDevice(port, links, "unknown", error="cannot open it: %s" % _permission_text(port))
        return FoundDevice(port, links, "unknown", error="cannot open it: %s" % os.strerror(result.detail))
    name = ffi.string(lib.kivra_status_name(result.status)).decode()
    return FoundDevice(port, links, "unknown", error="its probe failed: %s" % name)


def find_devices(
    timeout: float = PROBE_TIMEOUT, *, directory: "Union[str, os.PathLike[str]]" = "/dev"
) -> List[FoundDevice]:
    """The arms and handles on the serial ports in directory, by port path.

    Every port whose name contains ttyACM, ttyUSB or rfcomm is opened
    exclusively and sent one wakeup, all ports at once, so the scan takes
    about ``timeout`` [s] however many stay silent; silent ports are left
    out. The kinematic model of arms already open is left untouched.
    """
    timeout = _checked_timeout(timeout)
    ports = _candidate_ports(os.fspath(directory))
    if not ports:
        return []
    _collect_links(os.fspath(directory), ports)
    paths = sorted(ports)
    results = _probe(paths, timeout)
    found = (_record(path, tuple(ports[path]), results[i]) for i, path in enumerate(paths))
    return [device for device in found if device is not None]


def _inventory(devices: Sequence[FoundDevice]) -> str:
    return "seen: " + ", ".join(str(device) for device in devices) if devices else "no device answered"


def open_arm(
    uuid: Union[UUID, str, None] = None,
    port: Optional[PathLike] = None,
    *,
    scan_timeout: float = PROBE_TIMEOUT,
    directory: "Union[str, os.PathLike[str]]" = "/dev",
    **arm_options: Any,
) -> Arm:
    """Opens an arm: the one on port, the one whose unique id is uuid, or the only one there is.

    A port is opened without a scan (and, given a uuid as well, checked to
    hold that arm). Otherwise the ports are scanned as :func:`find_devices`
    does; :class:`DeviceNotFound` or :class:`AmbiguousDevice` tell when not
    exactly one arm matches. arm_options go to :class:`~kivra.Arm`.
    """
    wanted = None if uuid is None else UUID(str(uuid))
    if port is not None:
        arm = Arm(port, **arm_options)
        if wanted is not None:
            try:
                unique_id = arm.wakeup().unique_id
            except BaseException:
                arm.close()
                raise
            if unique_id != wanted:
                arm.close()
                _fail(DeviceNotFound("the arm on %s has unique id %s, not %s" % (arm.port, unique_id, wanted)))
        return arm
    devices = find_devices(scan_timeout, directory=directory)
    arms = [d for d in devices if d.kind == "arm" and (wanted is None or d.unique_id == wanted)]
    if len(arms) == 1:
        return Arm(arms[0].port, **arm_options)
    sought = "arm" if wanted is None else "arm with unique id %s" % wanted
    if not arms:
        _fail(DeviceNotFound("no %s found (%s)" % (sought, _inventory(devices))))
    _fail(
        AmbiguousDevice(
            "%d arms match, pick one by uuid or port: %s" % (len(arms), ", ".join(str(arm) for arm in arms))
        )
    )


__all__ = [
    "AmbiguousDevice",
    "DeviceNotFound",
    "FoundDevice",
    "PROBE_TIMEOUT",
    "find_devices",
    "is_candidate_port_name",
    "open_arm",
    "port_names",
]
