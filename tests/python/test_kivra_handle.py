"""kivra.Handle against the emulated handle and a pseudo-terminal peer: the
requests on the wire, replies and status frames as records, and each way a
receive can fail."""

import math
import time

import pytest

from conftest import bound

import kivra


@pytest.fixture
def emulate(emulator):
    return lambda *options: emulator("--device", "handle", *options)


def _is_unit(quaternion):
    return math.isclose(sum(q * q for q in quaternion), 1.0, rel_tol=1e-3)


@pytest.mark.parametrize(
    "request_, arguments, wire",
    [
        ("wakeup", (), b"\x0a"),
        ("request_status", (), b"\xda"),
        ("send_state", (258, b"\xab"), b"\xdb\x02\x01\x01\xab"),
        ("send_state", (1,), b"\xdb\x01\x00\x00"),
    ],
)
def test_requests_on_the_wire(peer, request_, arguments, wire):
    with kivra.Handle(peer.path) as handle:
        getattr(handle, request_)(*arguments)
        assert peer.receive(len(wire) + 1, timeout=0.2) == wire


def test_replies_come_as_records(emulate):
    with kivra.Handle(emulate("--stream-rate", "0", "--device-id", "513").path) as handle:
        handle.wakeup()
        assert handle.receive() == kivra.HandleInfo(513, 100, 2, 1, 12)
        handle.send_state(7, b"\x07\xc8")
        handle.request_status()
        status = handle.receive()
        assert (type(status), status.device_id, status.user_data) == (kivra.HandleStatus, 513, b"\x07\xc8")
        assert _is_unit(status.quaternion)
        assert list(handle.messages(timeout=0.05)) == []
    assert not handle.is_open


def test_status_frames_come_as_records(emulate):
    with kivra.Handle(emulate("--stream-hold", "0.05").path) as handle:
        frame = handle.read_status_frame(timeout=1.0)
    assert type(frame) is kivra.HandleStatusFrame
    assert _is_unit(frame.quaternion) and 0 <= frame.buttons <= 7 and 3.0 <= frame.battery_level <= 4.3


def test_silence_times_out_on_time(peer):
    with kivra.Handle(peer.path, timeout=0.1) as handle:
        start = time.monotonic()
        with pytest.raises(kivra.DeviceTimeout) as silent:
            handle.receive()
        assert 0.1 <= time.monotonic() - start < 0.1 + bound(0.2)
        assert str(silent.value) == "no reply from %s within 0.1 s" % peer.path
        with pytest.raises(kivra.DeviceTimeout) as no_frame:
            handle.read_status_frame(0.2)
        assert str(no_frame.value) == "no status frame from %s within 0.2 s (reader's code 99)" % peer.path


@pytest.mark.parametrize(
    "fault, error, message",
    [
        ("--wrong-code-every", kivra.ProtocolError, "{} sent code 238, which is no reply of the handle"),
        ("--truncate-every", kivra.ProtocolError, "{} sent a short reply: 3 payload bytes"),
        ("--hang-up-after", kivra.Disconnected, "{} hung up"),
    ],
)
def test_faults_raise_their_exceptions(emulate, fault, error, message):
    port = emulate("--stream-rate", "0", fault, "1").path
    with kivra.Handle(port) as handle:
        handle.wakeup()
        with pytest.raises(error) as failed:
            handle.receive()
            handle.receive()
    assert str(failed.value) == message.format(port)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda h: h.send_state(70000), ValueError, "device_id must be 0 to 65535, got 70000"),
        (lambda h: h.send_state(1, bytes(256)), ValueError, "user_data holds at most 255 bytes, got 256"),
        (lambda h: h.receive(0), ValueError, "timeout must be a finite number of seconds above 0, got 0"),
        (lambda h: (h.close(), h.wakeup()), kivra.PortClosed, "{} is closed"),
    ],
)
def test_misuse_is_refused_before_any_write(peer, call, error, message):
    with kivra.Handle(peer.path) as handle, pytest.raises(error) as refused:
        call(handle)
    assert str(refused.value) == message.format(peer.path)
    assert peer.drain() == b""
