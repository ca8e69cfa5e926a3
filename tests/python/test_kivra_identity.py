"""kivra.find_devices and kivra.open_arm over a folder of links to emulated
devices and silent pseudo-terminals."""

import os
import threading
import time
import uuid

import pytest

import kivra
from conftest import PtyPeer

ARM_A = uuid.UUID("000102030405060708090a0b0c0d0e0f")
ARM_B = uuid.UUID("f0e1d2c3b4a5968778695a4b3c2d1e0f")


@pytest.fixture
def emulate(emulator, tmp_path):
    """Starts an emulator whose port is linked as tmp_path/name."""
    return lambda name, *options: emulator(*options, "--link", str(tmp_path / name))


def test_every_port_is_probed_at_once_while_python_runs(tmp_path, emulate, peer):
    arm = emulate("ttyACM0", "--unique-id", ARM_A.hex)
    handle = emulate("rfcomm0", "--device", "handle")
    other_silent = PtyPeer()
    os.symlink(peer.path, tmp_path / "ttyUSB0")
    os.symlink(other_silent.path, tmp_path / "ttyUSB1")
    by_id = tmp_path / "serial" / "by-id"
    by_id.mkdir(parents=True)
    os.symlink(arm.path, by_id / "usb-Kivra_Pendra3-if00")
    os.symlink(arm.path, tmp_path / "pendra-left")
    os.symlink(arm.path, tmp_path / "ttyACM1")
    os.symlink(tmp_path / "unplugged", tmp_path / "ttyACM2")
    gaps, stop = [], threading.Event()

    def tick():
        last = time.monotonic()
        while not stop.is_set():
            time.sleep(0.001)
            now = time.monotonic()
            gaps.append(now - last)
            last = now

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        start = time.monotonic()
        found = kivra.find_devices(1.0, directory=str(tmp_path))
        elapsed = time.monotonic() - start
    finally:
        stop.set()
        ticker.join()
        other_silent.close()
    links = (str(by_id / "usb-Kivra_Pendra3-if00"), *(str(tmp_path / n) for n in ("pendra-left", "ttyACM0", "ttyACM1")))
    assert sorted(found, key=lambda d: d.kind) == [
        kivra.FoundDevice(arm.path, links, "arm", 4, 1, ARM_A, 1, 12),
        kivra.FoundDevice(handle.path, (str(tmp_path / "rfcomm0"),), "handle", 2, 1, None, 1, 12),
    ]
    assert found[[d.kind for d in found].index("arm")].by_id == links[0]
    # Two silent ports cost one time-out together, not one each, and Python
    # runs meanwhile: a probe that held the interpreter would stop it for one.
    assert 1.0 <= elapsed < 2.0
    assert max(gaps) < 0.5


def test_arms_are_told_apart_by_unique_id(tmp_path, emulate):
    first = emulate("ttyACM0", "--unique-id", ARM_A.hex)
    second = emulate("ttyACM1", "--unique-id", ARM_B.hex)
    arms = sorted([(first.path, ARM_A), (second.path, ARM_B)])
    with pytest.raises(kivra.AmbiguousDevice) as ambiguous:
        kivra.open_arm(directory=str(tmp_path))
    assert str(ambiguous.value) == "2 arms match, pick one by uuid or port: " + ", ".join(
        "arm %s on %s" % (unique_id, port) for port, unique_id in arms
    )
    with kivra.open_arm(uuid=str(ARM_B), directory=str(tmp_path), timeout=0.2) as arm:
        assert (arm.port, arm.wakeup().unique_id) == (second.path, ARM_B)
        in_use = [(d.port, d.kind, d.error) for d in kivra.find_devices(directory=str(tmp_path)) if d.in_use]
        assert in_use == [(second.path, "unknown", "the port is in use by this process (pid %d)" % os.getpid())]
    with pytest.raises(kivra.DeviceNotFound) as wrong:
        kivra.open_arm(uuid=ARM_B, port=first.path)
    assert str(wrong.value) == "the arm on %s has unique id %s, not %s" % (first.path, ARM_A, ARM_B)


@pytest.mark.parametrize(
    "devices, wanted, message",
    [
        ([], None, "no arm found (no device answered)"),
        ([("ttyUSB0", "--device", "handle")], None, "no arm found (seen: handle on {0})"),
        (
            [("ttyACM0", "--unique-id", ARM_A.hex)],
            ARM_B,
            "no arm with unique id %s found (seen: arm %s on {0})" % (ARM_B, ARM_A),
        ),
    ],
)
def test_no_matching_arm_is_an_error_naming_what_answered(tmp_path, emulate, devices, wanted, message):
    ports = [emulate(*device).path for device in devices]
    with pytest.raises(kivra.DeviceNotFound) as missing:
        kivra.open_arm(wanted, directory=str(tmp_path), scan_timeout=0.2)
    assert str(missing.value) == message.format(*ports)
    assert isinstance(missing.value, LookupError)


@pytest.mark.parametrize(
    "options, kind, error",
    [
        (("--model", "7"), "unknown", "answered the wakeup as model 7, not as an arm"),
        (("--wrong-code-every", "1"), "unknown", "answered the wakeup with code 238"),
        (("--truncate-every", "1"), "unknown", "its wakeup reply came short"),
        (("--device", "handle", "--truncate-every", "1"), "handle", "its info reply came short"),
    ],
)
def test_answers_of_neither_kind_are_reported_as_such(tmp_path, emulate, options, kind, error):
    port = emulate("ttyUSB0", *options).path
    assert [(d.port, d.kind, d.error) for d in kivra.find_devices(0.2, directory=tmp_path)] == [(port, kind, error)]
