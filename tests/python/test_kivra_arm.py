"""kivra.Arm against the emulated arm and plain files: exchanges, each fault as
its exception within the time-out, opening errors, and the port's descriptor."""

import gc
import os
import subprocess
import sys
import threading
import time
import uuid

import pytest

from conftest import bound, descriptors_on

kivra = pytest.importorskip("kivra")

UNIQUE_HEX = "000102030405060708090a0b0c0d0e0f"


@pytest.fixture
def arm(emulator):  # noqa: F811
    # A time-out far above the emulator's answer time: these tests are not about it.
    with kivra.Arm(emulator("--unique-id", UNIQUE_HEX).path, timeout=1.0) as opened:
        yield opened


@pytest.mark.parametrize(
    "method", ["exchange_force", "exchange_position", "exchange_joint_torques", "exchange_joint_angles"]
)
def test_exchange_returns_state_and_fills_buffers(arm, method):
    first, second = getattr(arm, method)([0.0, 0.0, 0.0])
    assert len(first) == len(second) == 3 and all(type(x) is float for x in first + second)
    a, b = arm.buffer([9.0, 9.0, 9.0]), arm.buffer([9.0, 9.0, 9.0])
    assert getattr(arm, method)(arm.buffer(), a, b) is None
    assert list(a) != [9.0, 9.0, 9.0] and list(b) != [9.0, 9.0, 9.0]


def test_wakeup_and_identity(arm):
    info = arm.wakeup()
    assert (info.model_number, info.unique_id) == (4, uuid.UUID(UNIQUE_HEX))
    assert arm.unique_id() == uuid.UUID(UNIQUE_HEX) != info.device_id
    with pytest.warns(DeprecationWarning, match=r"Arm.device_id\(\) returns the 16-byte unique id: call Arm.unique_id"):
        assert arm.device_id() == uuid.UUID(UNIQUE_HEX)


@pytest.mark.parametrize(
    "options, error, message",
    [
        (["--silent"], kivra.DeviceTimeout, "no reply from .* within 0.05 s"),
        (["--wrong-code-every", "1"], kivra.ProtocolError, "replied with code 238 instead of 43"),
        (["--truncate-every", "1"], kivra.ProtocolError, "short reply: 12 payload bytes"),
        (["--hang-up-after", "1"], kivra.Disconnected, "hung up"),
    ],
)
def test_fault_raises_within_timeout(emulator, options, error, message):  # noqa: F811
    device = emulator(*options)
    with kivra.Arm(device.path, timeout=0.05) as arm:
        if "--hang-up-after" in options:
            arm.exchange_force([0.0, 0.0, 0.0])
            device.process.wait(timeout=5)
        started = time.monotonic()
        with pytest.raises(error, match=message):
            arm.exchange_force([0.0, 0.0, 0.0])
        assert time.monotonic() - started < 0.05 + bound(0.2)  # scheduling on a loaded machine


def test_hang_up_during_a_wait_is_noticed_at_once_without_spinning(peer):
    with kivra.Arm(peer.path, timeout=2.0) as arm:
        hung_up = []
        threading.Timer(0.2, lambda: (peer.close(), hung_up.append(time.monotonic()))).start()
        wall, cpu = time.monotonic(), time.process_time()
        with pytest.raises(kivra.Disconnected, match="%s hung up" % arm.port):
            arm.exchange_force([0.0, 0.0, 0.0])
        wall, cpu = time.monotonic() - wall, time.process_time() - cpu
        assert time.monotonic() - hung_up[0] < bound(0.05) and cpu < 0.1 * wall


@pytest.mark.parametrize(
    "make, error, builtin, message",
    [
        (lambda tmp: str(tmp / "missing"), kivra.PortNotFound, FileNotFoundError, "no such port"),
        (lambda tmp: str(tmp), kivra.PortIsADirectory, IsADirectoryError, "is a directory"),
        (
            lambda tmp: (tmp / "file").write_bytes(b"") or str(tmp / "file"),
            kivra.NotATerminal, OSError, "not a terminal",
        ),
    ],
)
def test_open_errors(tmp_path, make, error, builtin, message, caplog):
    path = make(tmp_path)
    with pytest.raises(error, match="cannot open %s: .*%s" % (path, message)) as raised:
        kivra.Arm(path)
    assert isinstance(raised.value, builtin) and raised.value.filename == path
    assert caplog.records[-1].name == "kivra" and message in caplog.records[-1].getMessage()
    if os.path.isfile(path):
        assert os.path.getsize(path) == 0


@pytest.mark.parametrize(
    "present, says",
    [
        ((), "no such port, and no serial port in {0}: is the device plugged in\\? \\('kivra list' shows the devices"),
        (("ttyUSB0", "notes", "ttyACM1"),
         "no such port; the serial ports in {0} are {0}/ttyACM1, {0}/ttyUSB0 \\('kivra list' shows which devices"),
    ],
)
def test_a_missing_port_is_told_with_the_ports_there(tmp_path, present, says):
    for name in present:
        (tmp_path / name).write_bytes(b"")
    with pytest.raises(kivra.PortNotFound, match=says.format(tmp_path)):
        kivra.Arm(tmp_path / "ttyACM0")


@pytest.mark.parametrize(
    "device, opened, says",
    [("handle", "Arm", "is a handle, not an arm: open it with kivra.Handle"),
     ("arm", "Handle", "is an arm, not a handle: open it with kivra.Arm")],
)
def test_a_device_of_the_other_kind_is_named(emulator, device, opened, says):
    port = emulator("--device", device).path
    with getattr(kivra, opened)(port, timeout=0.5) as other:
        with pytest.raises(kivra.ProtocolError, match="^%s %s$" % (port, says)):
            other.wakeup()
            other.receive()


def test_second_exclusive_open_names_the_holder(arm):
    held = r"in use by .*this process \(pid %d\).*: <kivra.Arm %s open> still open; close\(\) it first$"
    with pytest.raises(kivra.PortInUse, match=held % (os.getpid(), arm.port)) as raised:
        kivra.Arm(arm.port)
    assert isinstance(raised.value, PermissionError)


def test_close_releases_the_port_at_once(arm):
    assert len(descriptors_on(arm.port)) == 1
    arm.close()
    assert descriptors_on(arm.port) == [] and not arm.is_open
    for call in (lambda: arm.exchange_force([0, 0, 0]), arm.wakeup):
        with pytest.raises(kivra.PortClosed, match="%s is closed" % arm.port):
            call()


def test_child_process_does_not_inherit_the_port(arm):
    listing = subprocess.run(["ls", "-l", "/proc/self/fd/"], close_fds=False, capture_output=True, text=True).stdout
    assert arm.port not in listing and "pipe:" in listing


def test_two_threads_never_interleave(arm):
    # Replies 43 and 27 taken by the wrong thread would be protocol errors.
    failures = []

    def run(method):
        try:
            for _ in range(200):
                method([0.0, 0.0, 0.0])
        except Exception as error:  # noqa: BLE001  (reported below)
            failures.append(error)

    threads = [threading.Thread(target=run, args=(m,)) for m in (arm.exchange_force, arm.exchange_joint_torques)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


@pytest.mark.parametrize("bad", [0.0, -1.0, float("nan"), float("inf")])
def test_timeout_must_be_positive_and_finite(arm, bad):
    arm.timeout = 0.2
    with pytest.raises(ValueError, match="timeout must be a finite number of seconds above 0, got"):
        arm.timeout = bad
    assert arm.timeout == 0.2


@pytest.mark.parametrize("device", ["Arm", "Handle"])
def test_a_device_dropped_unclosed_warns_and_its_port_opens_again(emulator, device):
    port = emulator("--device", device.lower()).path
    opened = getattr(kivra, device)
    unclosed = "unclosed %s on %s: close\\(\\) it, or open it in a with block" % (device, port)
    with pytest.warns(ResourceWarning, match=unclosed):
        opened(port)  # dropped at once; under PyPy it lives on until the collector runs
        opened(port).close()


def test_a_loop_dropped_while_running_warns_and_gives_the_arm_back(arm):
    with pytest.warns(ResourceWarning, match="ServoLoop on %s dropped while running: stop\\(\\) it" % arm.port):
        kivra.ServoLoop(arm, realtime=False)
        gc.collect()
    position, _ = arm.exchange_force((0.0, 0.0, 0.0))
    assert len(position) == 3


@pytest.mark.parametrize(
    "error_number, error, builtin, message",
    [
        (13, kivra.PortPermissionError, PermissionError, "permission denied$"),  # no port there to look at
        (16, kivra.PortInUse, PermissionError, "in use by another program"),
        (5, kivra.PortOpenError, OSError, "Input/output error"),
    ],
)
def test_open_error_of_each_errno(tmp_path, error_number, error, builtin, message):
    from kivra.errors import raise_open_error

    with pytest.raises(error, match=message) as raised:
        raise_open_error(error_number, str(tmp_path / "port"))
    assert isinstance(raised.value, builtin) and raised.value.errno == error_number


def test_c_interface_refuses_bad_arguments():
    from kivra._kivra_ffi import ffi, lib

    out, detail = ffi.new("kivra_arm**"), ffi.new("int32_t*", -1)
    buffers = [ffi.new("float[3]") for _ in range(3)]
    refused = [
        lib.kivra_arm_open(b"/dev/null", 0.0, 0, out, detail),
        lib.kivra_arm_open(b"/dev/null", 0.05, 2, out, detail),
        lib.kivra_arm_open(ffi.NULL, 0.05, 0, out, detail),
        lib.kivra_arm_exchange_force(ffi.NULL, *buffers, detail),
        lib.kivra_arm_set_timeout(ffi.NULL, 1.0),
        lib.kivra_servo_start(ffi.NULL, 1000.0, ffi.NULL, ffi.new("kivra_servo**"), detail),
    ]
    assert refused == [lib.KIVRA_INVALID_ARGUMENT] * len(refused) and out[0] == ffi.NULL and detail[0] == 0
    assert ffi.string(lib.kivra_status_name(lib.KIVRA_BUSY)) == b"KIVRA_BUSY"


def test_unprivileged_open_names_the_group_to_join(peer):
    if os.geteuid() != 0:
        pytest.skip("needs root to hand the port to another group and to switch users")
    import shutil

    shutil.chown(peer.path, group="uucp")  # not the usual group: the message must name the port's own
    os.chmod(peer.path, 0o660)
    script = (
        "import sys, time; sys.path.insert(0, sys.argv[1]); import kivra\n"
        "start = time.monotonic()\n"
        "try:\n    kivra.Arm(sys.argv[2])\n"
        "except PermissionError as error:\n"
        "    print(type(error).__name__, time.monotonic() - start, error, sep='|')\n"
    )
    module_dir = os.path.dirname(os.path.dirname(kivra.__file__))
    result = subprocess.run(
        ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
         sys.executable, "-c", script, module_dir, peer.path],
        cwd="/", capture_output=True, text=True, timeout=60,
    )
    name, seconds, message = result.stdout.strip().split("|")
    assert name == "PortPermissionError" and float(seconds) < bound(0.1), result.stdout
    assert message == (
        "cannot open %s: permission denied: nobody cannot open it: the port belongs to the group uucp, and nobody "
        "is not in it; fix: sudo usermod -aG uucp nobody, then log out and in again" % peer.path
    )


def test_status_reports_what_the_emulated_arm_does(arm):
    resting = arm.status()
    assert resting.motor_currents == (0.0, 0.0, 0.0) and resting.powered
    assert 15.0 < resting.temperature < 60.0
    assert sum(c * c for c in resting.orientation) == pytest.approx(1.0, abs=1e-5)
    arm.exchange_joint_torques((0.1, 0.0, 0.0))
    assert arm.status().motor_currents[0] > 0.0
