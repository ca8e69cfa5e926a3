"""``kivra doctor``: what stands between this machine and a steady 1 kHz loop, each with its fix."""

import errno
import fcntl
import glob
import json
import os
import platform
import resource
import stat
import sys
from typing import Iterable, List, NamedTuple, Optional, TextIO

from .._access import access_problem, group_name, owner_name, user_name
from ..discovery import port_names
from ..errors import KivraError, holders_of

OK, INFO, WARN, FAIL = "ok", "info", "warn", "FAIL"
# The priority the servo loop asks for (kivra.ServoLoop's realtime_priority).
_SERVO_PRIORITY = 80
# An exchange with the arm takes about 1 ms; beyond this something sits between.
_SLOW_EXCHANGE = 0.002
_CAP_IPC_LOCK, _CAP_SYS_NICE = 14, 23
# PyPy's resource module lacks the name, not the limit.
_RLIMIT_RTPRIO = getattr(resource, "RLIMIT_RTPRIO", 14)


class Finding(NamedTuple):
    check: str
    level: str  # ok, info, warn, FAIL
    message: str
    fix: str = ""


def check_permission(port: str) -> Finding:
    try:
        info = os.stat(port)
    except OSError as error:
        return Finding(
            "port",
            FAIL,
            "%s: %s" % (port, error.strerror),
            "is the device plugged in? 'dmesg | tail' shows what the kernel saw",
        )
    described = "%s (%s %s:%s)" % (port, stat.filemode(info.st_mode), owner_name(info.st_uid), group_name(info.st_gid))
    if not stat.S_ISCHR(info.st_mode):
        return Finding("port", FAIL, "%s is not a character device, so not a serial port" % described)
    problem = access_problem(port, info)
    if problem is None:
        return Finding("permission", OK, "%s: %s can open it" % (described, user_name()))
    return Finding("permission", FAIL, "%s: %s" % (described, problem.reason), problem.fix)


def check_in_use(port: str) -> Finding:
    def holders() -> str:
        return ", ".join("pid %d (%s)" % h for h in holders_of(port) if h[0] != os.getpid())

    try:
        fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as error:
        if error.errno == errno.EBUSY:
            return Finding(
                "in use",
                FAIL,
                "%s is held exclusively by %s" % (port, holders() or "another program"),
                "close that program first",
            )
        return Finding("in use", INFO, "%s could not be opened to check: %s" % (port, error.strerror))
    try:
        # A character device such as /dev/null opens as well as a port does.
        if not os.isatty(fd):
            return Finding("port", FAIL, "%s is not a terminal, so not a serial port" % port)
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        return Finding(
            "in use", FAIL, "%s is locked by %s" % (port, holders() or "another program"), "close that program first"
        )
    finally:
        os.close(fd)
    others = holders()
    if others:
        return Finding(
            "in use",
            WARN,
            "%s is open in %s without a lock: its reads would take the arm's replies" % (port, others),
            "close it (a terminal program such as screen or minicom, or a modem manager)",
        )
    hidden = "" if os.geteuid() == 0 else " (among the processes this user may see)"
    return Finding("in use", OK, "%s: no other program has it open%s" % (port, hidden))


def check_latency_timer(port: str) -> Optional[Finding]:
    name = os.path.basename(os.path.realpath(port))
    if not name.startswith("ttyUSB"):
        return None
    path = "/sys/bus/usb-serial/devices/%s/latency_timer" % name
    try:
        with open(path) as text:
            milliseconds = int(text.read().strip())
    except (OSError, ValueError):
        return Finding("latency timer", INFO, "%s has no latency_timer (not an FTDI-style adapter)" % name)
    if milliseconds <= 1:
        return Finding("latency timer", OK, "%s: latency_timer %d ms" % (name, milliseconds))
    return Finding(
        "latency timer",
        WARN,
        "%s: the USB serial adapter holds received bytes up to %d ms (latency_timer) before passing them on, "
        "so an exchange can take %d ms instead of about 1 ms" % (name, milliseconds, milliseconds),
        "echo 1 | sudo tee %s; for good, a udev rule: "
        'ACTION=="add", SUBSYSTEM=="usb-serial", DRIVER=="ftdi_sio", ATTR{latency_timer}="1"' % path,
    )


def _running(names: Iterable[str]) -> List[str]:
    wanted = set(names)
    found = set()
    for comm in glob.glob("/proc/[0-9]*/comm"):
        try:
            with open(comm) as text:
                name = text.read().strip()
        except OSError:
            continue
        if name in wanted:
            found.add(name)
    return sorted(found)


def check_services() -> List[Finding]:
    running = _running(("ModemManager", "brltty"))
    findings = []
    if "ModemManager" in running:
        findings.append(
            Finding(
                "ModemManager",
                WARN,
                "ModemManager is running: it opens new ttyACM ports and sends modem commands "
                "for seconds after a plug-in",
                "sudo systemctl disable --now ModemManager, "
                'or a udev rule with ENV{ID_MM_DEVICE_IGNORE}="1" for the arm',
            )
        )
    if "brltty" in running:
        findings.append(
            Finding(
                "brltty",
                WARN,
                "brltty is running: it claims common USB serial adapters as braille displays, "
                "and their ttyUSB ports vanish",
                "sudo apt remove brltty (or sudo systemctl mask brltty-udev.service)",
            )
        )
    if not findings:
        findings.append(Finding("port grabbers", OK, "neither ModemManager nor brltty is running"))
    return findings


def _capabilities() -> int:
    try:
        with open("/proc/self/status") as text:
            for line in text:
                if line.startswith("CapEff:"):
                    return int(line.split()[1], 16)
    except (OSError, ValueError):
        pass
    return 0


def _limit_text(value: int) -> str:
    return "unlimited" if value == resource.RLIM_INFINITY else str(value)


def check_realtime() -> List[Finding]:
    findings = []
    capabilities = _capabilities()
    fix = (
        "add to /etc/security/limits.d/99-realtime.conf the two lines '@dialout  -  rtprio   95' and "
        "'@dialout  -  memlock  unlimited' (for a user in the group dialout), then log out and in again"
    )
    rtprio = resource.getrlimit(_RLIMIT_RTPRIO)[0]
    granted = None
    try:
        previous = os.sched_getscheduler(0), os.sched_getparam(0)
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(_SERVO_PRIORITY))
        os.sched_setscheduler(0, previous[0], previous[1])
        granted = True
    except PermissionError:
        granted = False
    except (AttributeError, OSError):
        pass
    limit = "ulimit -r %s" % _limit_text(rtprio)
    if granted or (granted is None and (capabilities >> _CAP_SYS_NICE & 1 or rtprio >= _SERVO_PRIORITY)):
        findings.append(Finding("real-time priority", OK, "SCHED_FIFO %d is granted (%s)" % (_SERVO_PRIORITY, limit)))
    else:
        findings.append(
            Finding(
                "real-time priority",
                WARN,
                "SCHED_FIFO %d is refused (%s): the servo loop runs at normal priority, and other work delays its ticks"
                % (_SERVO_PRIORITY, limit),
                fix
                if os.geteuid() != 0
                else "root without CAP_SYS_NICE (a container?): run it with --cap-add=SYS_NICE",
            )
        )
    memlock = resource.getrlimit(resource.RLIMIT_MEMLOCK)[0]
    if memlock == resource.RLIM_INFINITY or capabilities >> _CAP_IPC_LOCK & 1:
        findings.append(Finding("locked memory", OK, "memory may be locked (ulimit -l %s)" % _limit_text(memlock)))
    else:
        findings.append(
            Finding(
                "locked memory",
                WARN,
                "only %s bytes may be locked (ulimit -l): the servo loop cannot lock its memory, "
                "so a page fault can stall a tick"
                % _limit_text(memlock),
                fix,
            )
        )
    return findings


def _read(root: str, path: str) -> Optional[str]:
    """The text of the file at path under root (root "/" for this machine's own), or None when it cannot be read."""
    try:
        with open(os.path.join(root, path.lstrip("/"))) as text:
            return text.read().strip()
    except OSError:
        return None


def check_kernel(root: str = "/") -> List[Finding]:
    """The kernel's real-time setup: a PREEMPT_RT kernel, real-time throttling, processors kept for the loop.

    Read from /proc and /sys under root, so that a test can hand it a folder of its own.
    """
    findings = []
    version = _read(root, "/proc/sys/kernel/version") or ""
    if "PREEMPT_RT" in version or _read(root, "/sys/kernel/realtime") == "1":
        findings.append(Finding("real-time kernel", OK, "a PREEMPT_RT kernel (%s)" % version))
    else:
        findings.append(
            Finding(
                "real-time kernel",
                INFO,
                "not a PREEMPT_RT kernel (%s): a 1 kHz loop mostly keeps its deadlines anyway; under heavy load "
                "an interrupt or a kernel lock may hold a tick up by a millisecond or more" % (version or "unknown"),
                "for the tightest timing, a real-time kernel: sudo apt install linux-image-rt-amd64 "
                "(linux-image-rt-arm64 on 64-bit Arm), then reboot into it",
            )
        )
    runtime = _read(root, "/proc/sys/kernel/sched_rt_runtime_us")
    if runtime is not None and runtime.lstrip("-").isdigit() and int(runtime) >= 0:
        findings.append(
            Finding(
                "real-time throttling",
                INFO,
                "real-time threads may run %.0f%% of each second (sched_rt_runtime_us %s): a servo thread that "
                "spins would be paused for the rest, and miss its deadlines" % (int(runtime) / 1e4, runtime),
                "only for a loop that needs more than that: echo -1 | sudo tee /proc/sys/kernel/sched_rt_runtime_us",
            )
        )
    elif runtime is not None:
        findings.append(Finding("real-time throttling", OK, "off (sched_rt_runtime_us %s)" % runtime))
    isolated = _read(root, "/sys/devices/system/cpu/isolated")
    if isolated:
        findings.append(
            Finding(
                "isolated processors",
                OK,
                "processors %s are kept from ordinary work (isolcpus): pin the servo thread there "
                "(taskset -p -c %s <its id>)" % (isolated, isolated),
            )
        )
    elif isolated is not None:
        findings.append(
            Finding(
                "isolated processors",
                INFO,
                "no processor is kept from ordinary work: the loop shares its processor with everything else",
                "for a processor of its own: add isolcpus=%d (the last processor) to GRUB_CMDLINE_LINUX in "
                "/etc/default/grub, sudo update-grub, reboot, then pin the servo thread there"
                % ((os.cpu_count() or 1) - 1),
            )
        )
    return findings


def check_governor() -> Finding:
    governors = {}
    for path in glob.glob("/sys/devices/system/cpu/cpu[0-9]*/cpufreq/scaling_governor"):
        try:
            with open(path) as text:
                governors[path.split("/")[5]] = text.read().strip()
        except OSError:
            continue
    if not governors:
        return Finding(
            "CPU governor", INFO, "no frequency scaling visible (a virtual machine or container): nothing to set"
        )
    slow = sorted(cpu for cpu, g in governors.items() if g != "performance")
    if not slow:
        return Finding("CPU governor", OK, "every CPU runs the performance governor")
    return Finding(
        "CPU governor",
        WARN,
        "%s run the %s governor: waking from a low clock adds latency to every tick"
        % (", ".join(slow), "/".join(sorted({governors[c] for c in slow}))),
        "echo performance | sudo tee /sys/devices/system/cpu/cpu*/cpufreq/scaling_governor "
        "(or sudo cpupower frequency-set -g performance)",
    )


def check_interpreter() -> Finding:
    implementation = platform.python_implementation()
    version = platform.python_version()
    if implementation == "PyPy":
        pypy = ".".join(str(p) for p in sys.pypy_version_info[:3])  # type: ignore[attr-defined]
        return Finding("interpreter", OK, "PyPy %s (Python %s) at %s" % (pypy, version, sys.executable))
    return Finding(
        "interpreter",
        INFO,
        "%s %s at %s: the servo loop runs in C++ either way; a loop written in Python runs faster under PyPy"
        % (implementation, version, sys.executable),
        "apt install pypy3, and install the package's PyPy wheel",
    )


def _handle_answers(port: str) -> bool:
    from ..handle import Handle

    try:
        with Handle(port, timeout=0.1) as handle:
            handle.wakeup()
            handle.receive()
    except KivraError:
        return False
    return True


def check_exchange(port: str, count: int) -> Finding:
    from .common import measure_exchanges

    try:
        timing = measure_exchanges(port, count)
    except KivraError as error:
        if _handle_answers(port):
            return Finding("exchange latency", INFO, "%s: a handle answered; the latency check is an arm's" % port)
        # The port is there and free, and yet no device works through it:
        # the one finding that matters most to whoever runs this.
        return Finding(
            "exchange latency",
            FAIL,
            "%s: no arm answered (%s)" % (port, error),
            "is the arm powered and plugged in, and is this its port? 'kivra list' shows the devices that answer",
        )
    text = "%s: p50 %.3f ms, p99 %.3f ms, max %.3f ms over %d exchanges" % (
        port,
        timing["p50"] * 1e3,
        timing["p99"] * 1e3,
        timing["max"] * 1e3,
        count,
    )
    if timing["p99"] <= _SLOW_EXCHANGE:
        return Finding("exchange latency", OK, text)
    fix = "a USB serial adapter: set its latency_timer to 1 ms" if "ttyUSB" in os.path.realpath(port) else ""
    return Finding("exchange latency", WARN, text + ": slower than the arm's own 1 ms", fix)


def run_checks(
    port: Optional[str] = None, exchanges: int = 200, directory: str = "/dev", root: str = "/"
) -> List[Finding]:
    findings: List[Finding] = []
    ports = [port] if port else port_names(directory)
    if not ports:
        findings.append(
            Finding(
                "port",
                INFO,
                "no serial port in %s (no USB serial or Bluetooth RFCOMM port)" % directory,
                "is the device plugged in? 'dmesg | tail' shows what the kernel saw",
            )
        )
    for candidate in ports:
        permission = check_permission(candidate)
        findings.append(permission)
        if permission.level != OK:
            continue
        in_use = check_in_use(candidate)
        findings.append(in_use)
        timer = check_latency_timer(candidate)
        if timer:
            findings.append(timer)
        if in_use.level != FAIL and exchanges > 0:
            findings.append(check_exchange(candidate, exchanges))
    findings.extend(check_services())
    findings.extend(check_realtime())
    findings.extend(check_kernel(root))
    findings.append(check_governor())
    findings.append(check_interpreter())
    return findings


def report(findings: List[Finding], out: TextIO, as_json: bool = False) -> int:
    """Writes the findings; the exit status is 1 when one of them stops the device from working."""
    if as_json:
        json.dump([f._asdict() for f in findings], out, indent=2)
        out.write("\n")
    else:
        for f in findings:
            out.write("[%-4s] %-20s %s\n" % (f.level, f.check, f.message))
            if f.fix and f.level != OK:
                out.write("       %-20s fix: %s\n" % ("", f.fix))
    status = 1 if any(f.level == FAIL for f in findings) else 0
    if not as_json:
        counts = ", ".join(
            "%d %s" % (sum(f.level == level for f in findings), name)
            for level, name in ((FAIL, "failed"), (WARN, "warnings"), (INFO, "notes"), (OK, "ok"))
        )
        verdict = "a failed check stops the device from working" if status else "nothing stops the device from working"
        out.write("kivra doctor: %s; %s (exit status %d)\n" % (counts, verdict, status))
    return status
