"""Pendra3 from Python, end to end against a pseudo-terminal device."""

import gc
import re
import struct
import subprocess
import threading
import time
import uuid
import warnings

import pytest

from conftest import bound

ZEROS = [0.0, 0.0, 0.0]
WAKEUP_REPLY = bytes([11, 0x01, 0x02, 0x04, 0x03, 0x07]) + bytes(range(16))
DRAIN_FILL = bytes(1024)  # exactly what the drain after a foreign code takes in


def msg(code, *floats):
    return bytes([code]) + struct.pack("<%df" % len(floats), *floats)


@pytest.fixture
def arm(api, peer):
    return api.Pendra3(api.SerialStream(peer.path))


def reset_offsets(arm, peer):
    # Offsets outlive devices; readings of zero declared as zero clear them.
    peer.send_on_request(msg(27, *[0.0] * 6))
    arm.adjust_angles([0.0, 0.0, 0.0])
    peer.drain()


def first_line(method):
    return method.__doc__.splitlines()[0]


@pytest.mark.parametrize(
    "name, signature",
    [
        ("__init__", "__init__(self: KivraHardwareAPI.Pendra3, arg0: KivraHardwareAPI.SerialStream) -> None"),
        (
            "get_motor_currents",
            "get_motor_currents(self: KivraHardwareAPI.Pendra3) -> Annotated[list[float], FixedSize(3)]",
        ),
        (
            "get_device_orientation",
            "get_device_orientation(self: KivraHardwareAPI.Pendra3) -> Annotated[list[float], FixedSize(4)]",
        ),
        (
            "end_effector_force",
            "end_effector_force(self: KivraHardwareAPI.Pendra3, "
            "force request vector: list[float] = [0.0, 0.0, 0.0]) -> tuple",
        ),
        (
            "adjust_lengths",
            "adjust_lengths(self: KivraHardwareAPI.Pendra3, inner_arm_1: float = 0.14000000059604645, "
            "outer_arm_1: float = 0.14000000059604645, inner_arm_2: float = 0.16500000655651093, "
            "outer_arm_2: float = 0.16500000655651093, extension: float = 0.07649999856948853) -> None",
        ),
        (
            "ReceiveCurrent",
            "ReceiveCurrent(self: KivraHardwareAPI.Pendra3, current: list[float] = [0.0, 0.0, 0.0]) -> list[float]",
        ),
    ],
)
def test_rendered_signatures(api, name, signature):
    assert first_line(getattr(api.Pendra3, name)) == signature


def test_docstrings_and_registration(api):
    assert api.Pendra3.__doc__ == "Pendra3 Device Class"
    assert api.Pendra3.deactivate_orientation_sensor.__doc__.endswith("\nReceive the power status of the device.\n")
    assert api.Pendra3.SendForce.__doc__ == (
        "SendForce(*args, **kwargs)\nOverloaded function.\n\n"
        "1. SendForce(self: KivraHardwareAPI.Pendra3, force: list[float] = [0.0, 0.0, 0.0]) -> None\n\n"
        "[Deprecated] Send force to the device\n\n"
        "2. SendForce(self: KivraHardwareAPI.Pendra3, ForceX: float = 0, ForceY: float = 0, ForceZ: float = 0)"
        " -> None\n\n[Deprecated] Send force to the device\n"
    )
    assert api.Pendra3.ReceiveDeviceInfo.__doc__.split("\n", 2)[2] == (
        "\n            Receive device info and return a tuple with the following fields: \n\n"
        "            device_id (uint16_t)\n            \n            device_model_num (uint8_t)\n"
        "            \n            hardware_version (uint8_t)\n            \n"
        "            firmware_version (uint8_t)\n            \n            device_id_ext (UUID)\n            \n"
    )
    methods = [n for n in vars(api.Pendra3) if not n.startswith("_")]
    assert methods == [
        "device_wakeup", "device_wakeup_dict", "get_firmware_version", "get_device_id", "get_motor_currents",
        "get_device_orientation", "get_power_status", "get_temperature", "end_effector_force",
        "get_end_effector_position", "adjust_angles", "adjust_lengths", "adjust_gear_ratios",
        "deactivate_orientation_sensor", "joint_torques", "end_effector_position", "joint_angles",
        "SendDeviceWakeup", "ReceiveDeviceInfo", "SendForce", "ReceiveState", "ReceiveJointState",
        "SendJointTorques", "SendAngle", "RequestCurrent", "ReceiveCurrent", "SendPosition",
    ]  # fmt: skip


def test_objects_are_closed_and_unrelated_to_device(api, arm):
    assert not isinstance(arm, api.Device)
    with pytest.raises(AttributeError, match="has no attribute 'extra'"):
        arm.extra = 1


@pytest.mark.parametrize(
    "method, code, reply",
    [
        ("end_effector_force", 42, 43),
        ("end_effector_position", 44, 43),
        ("joint_torques", 26, 27),
        ("joint_angles", 28, 27),
    ],
)
@pytest.mark.parametrize(
    "make_vector",
    [
        lambda: [1.5, -2, 0.25],
        lambda: (1.5, -2.0, 0.25, 99.0),
        lambda: (v for v in (1.5, -2.0, 0.25)),
        lambda: map(float, ["1.5", "-2", "0.25"]),
        lambda: {"x": 1.5, "y": -2, "z": 0.25}.values(),
    ],
    ids=["list", "longer_tuple", "generator", "map", "dict_values"],
)
def test_command_exchanges(arm, peer, method, code, reply, make_vector):
    peer.send_on_request(msg(reply, 1, 2, 3, 4, 5, 6))
    result = getattr(arm, method)(make_vector())
    assert peer.receive(13) == msg(code, 1.5, -2.0, 0.25)
    assert type(result) is tuple
    assert result == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])
    assert all(type(part) is list for part in result)
    assert peer.drain() == b""


def test_command_default_and_keyword_with_blanks(arm, peer):
    peer.send_on_request(msg(43, *[0.0] * 6))
    arm.end_effector_force()
    assert peer.receive(13) == msg(42, 0, 0, 0)
    peer.send_on_request(msg(27, *[0.0] * 6))
    arm.joint_torques(**{"joint torque request vector": [7, 8, 9]})
    assert peer.receive(13) == msg(26, 7, 8, 9)
    with pytest.raises(TypeError, match=r"^end_effector_force\(\): incompatible function arguments"):
        arm.end_effector_force(force=[1.0, 2.0, 3.0])


def test_foreign_reply_gives_zeros_after_draining(arm, peer):
    peer.send_on_request(bytes([27]) + DRAIN_FILL)
    assert arm.end_effector_force([1.0, 1.0, 1.0]) == (ZEROS, ZEROS)
    peer.send_on_request(msg(43, 1, 2, 3, 4, 5, 6))
    assert arm.end_effector_force([1.0, 1.0, 1.0]) == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])


def test_wakeup_shapes(arm, peer, api):
    peer.send_on_request(WAKEUP_REPLY)
    assert arm.device_wakeup() == (513, 4, 3, 7, list(range(16)))
    assert peer.receive(1) == bytes([10])

    peer.send_on_request(WAKEUP_REPLY)
    info = arm.device_wakeup_dict()
    assert list(info) == ["device_id", "device_model_number", "hardware_version", "firmware_version", "device_id_ext"]
    assert list(info.values())[:4] == [513, 4, 3, 7]
    assert type(info["device_id_ext"]) is uuid.UUID
    assert info["device_id_ext"] == uuid.UUID("00010203-0405-0607-0809-0a0b0c0d0e0f")

    with pytest.warns(DeprecationWarning) as record:
        arm.SendDeviceWakeup()
    assert len(record) == 1
    assert peer.receive(2) == bytes([10, 10])
    peer.send(WAKEUP_REPLY)
    legacy = arm.ReceiveDeviceInfo()
    assert legacy[:4] == (513, 4, 3, 7)
    assert type(legacy[4]) is api.UUID
    assert legacy[4].bytes() == list(range(16))
    assert peer.drain() == b"", "ReceiveDeviceInfo sends nothing"


@pytest.mark.parametrize(
    "method, selector, reply, expected",
    [
        ("get_device_id", 209, bytes([13, 209, 16]) + bytes(range(0xA0, 0xB0)), "a0a1a2a3-a4a5-a6a7-a8a9-aaabacadaeaf"),
        ("get_firmware_version", 210, bytes([13, 210, 16]) + bytes(range(16)), "00010203-0405-0607-0809-0a0b0c0d0e0f"),
    ],
)
def test_identifiers(arm, peer, method, selector, reply, expected):
    peer.send_on_request(reply)
    value = getattr(arm, method)()
    assert peer.receive(2) == bytes([13, selector])
    assert type(value) is uuid.UUID
    assert str(value) == expected


@pytest.mark.parametrize(
    "method, reply, expected",
    [
        ("get_motor_currents", msg(171, 0.5, -1.0, 2.0), [0.5, -1.0, 2.0]),
        ("get_device_orientation", msg(12, 0.25, 0.5, -0.5, 1.0), [0.25, 0.5, -0.5, 1.0]),
        ("get_power_status", bytes([172, 2]), True),
        ("get_power_status", bytes([172, 0]), False),
        ("get_temperature", msg(170, 36.5), 36.5),
    ],
)
def test_status_queries(arm, peer, method, reply, expected):
    peer.send_on_request(reply)
    value = getattr(arm, method)()
    assert peer.receive(1) == reply[:1]
    assert type(value) is type(expected)
    assert value == expected


@pytest.mark.parametrize(
    "onboard, request_code", [((), 42), ((True,), 42), ((1,), 42), ((False,), 26), ((None,), 26)]
)
def test_end_effector_position_source(arm, peer, onboard, request_code):
    reply = msg(43, 1, 2, 3, 4, 5, 6) if request_code == 42 else msg(27, 0, -45, -135, 9, 9, 9)
    peer.send_on_request(reply)
    position, velocity = arm.get_end_effector_position(*onboard)
    assert peer.receive(13) == msg(request_code, 0, 0, 0)
    if request_code == 42:
        assert (position, velocity) == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])
    else:
        assert position == pytest.approx([-0.2310, 0.0245, 0.1864], abs=5e-5)
        assert velocity == ZEROS


def host_position(arm, peer, readings):
    peer.send_on_request(msg(27, *readings, 0, 0, 0))
    position, _ = arm.get_end_effector_position(False)
    peer.drain()
    return position


def test_adjustments_reach_the_host_position(api, arm, peer):
    stream_path = peer.path
    rest = host_position(arm, peer, (0, 0, 0))
    try:
        peer.send_on_request(msg(27, 10, 20, 30, 0, 0, 0))
        assert arm.adjust_angles([0, 0, 0]) is None
        assert peer.receive(13) == msg(26, 0, 0, 0)
        assert host_position(arm, peer, (10, 20, 30)) == pytest.approx(rest, abs=1e-6)
    finally:
        reset_offsets(arm, peer)

    reach = host_position(arm, peer, (0, -45, -135))
    arm.adjust_gear_ratios(2, 2, 2)
    assert host_position(arm, peer, (0, -22.5, -67.5)) == pytest.approx(reach, abs=1e-6)
    api.Pendra3(api.SerialStream(stream_path))  # any construction resets the gear ratios
    assert host_position(arm, peer, (0, -45, -135)) == reach

    arm.adjust_lengths(extension=-0.0765)
    arm.deactivate_orientation_sensor()
    assert host_position(arm, peer, (0, -45, -135)) == reach
    arm.adjust_lengths(0.2, 0.2, 0.25, 0.25, 0.1)
    assert host_position(arm, peer, (0, -45, -135)) != pytest.approx(reach, abs=1e-3)
    assert peer.drain() == b""


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda a: a.SendForce(1, 2, 3), msg(42, 1, 2, 3)),
        (lambda a: a.SendForce([1, 2, 3]), msg(42, 1, 2, 3)),
        (lambda a: a.SendForce(1.5, 2.5, 3.5), msg(42, 1.5, 2.5, 3.5)),
        (lambda a: a.SendForce(), msg(42, 0, 0, 0)),
        (lambda a: a.SendForce(ForceY=2), msg(42, 0, 2, 0)),
        (lambda a: a.SendJointTorques([4, 5, 6, 7]), msg(26, 4, 5, 6)),
        (lambda a: a.SendPosition((0.5, 0.25, 0.125)), msg(44, 0.5, 0.25, 0.125)),
    ],
)
def test_deprecated_sends(arm, peer, call, expected):
    with pytest.warns(DeprecationWarning) as record:
        assert call(arm) is None
    assert len(record) == 1
    assert peer.receive(13) == expected
    assert peer.drain() == b""


def test_legacy_sends_without_warning(arm, peer):
    arm.SendAngle([5, 6, 7])
    assert peer.receive(13) == msg(28, 5, 6, 7)
    arm.RequestCurrent()
    assert peer.receive(1) == bytes([171])


def test_legacy_receives(arm, peer):
    given = [9.0, 9.0, 9.0, 9.0]
    peer.send(msg(171, 1, 2, 3))
    assert arm.ReceiveCurrent(given) == [1.0, 2.0, 3.0, 9.0]
    assert given == [9.0, 9.0, 9.0, 9.0], "the caller's list is not modified"
    # The default is converted anew: an earlier filled call leaves it zero.
    peer.send(msg(171, 1, 2, 3))
    assert arm.ReceiveCurrent() == [1.0, 2.0, 3.0]
    peer.send(bytes([12]) + DRAIN_FILL)
    assert arm.ReceiveCurrent() == ZEROS

    with pytest.warns(DeprecationWarning):
        peer.send(msg(43, 1, 2, 3, 4, 5, 6))
        assert arm.ReceiveState([0, 0, 0, 7]) == ([1.0, 2.0, 3.0, 7.0], [4.0, 5.0, 6.0])
    with pytest.warns(DeprecationWarning):
        peer.send(bytes([43]) + DRAIN_FILL)
        assert arm.ReceiveJointState([1, 1, 1], [2, 2, 2]) == ([1.0, 1.0, 1.0], [2.0, 2.0, 2.0])
    with pytest.warns(DeprecationWarning):
        peer.send(msg(27, 1, 2, 3, 4, 5, 6))
        assert arm.ReceiveJointState() == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])
    assert peer.drain() == b""


STATE = msg(43, 1, 2, 3, 4, 5, 6)
JOINT_STATE = msg(27, 1, 2, 3, 4, 5, 6)


@pytest.mark.parametrize(
    "call, text, reply",
    [
        (lambda a: a.SendDeviceWakeup(), "SendDeviceWakeup is deprecated, use device_wakeup instead", b""),
        (lambda a: a.SendForce([0.0, 0.0, 0.0]), "SendForce is deprecated, use end_effector_force instead", b""),
        (lambda a: a.SendForce(0.0, 0.0, 0.0), "SendForce is deprecated, use end_effector_force instead", b""),
        (lambda a: a.ReceiveState(), "ReceiveState is deprecated, use end_effector instead", STATE),
        (lambda a: a.ReceiveJointState(), "ReceiveJointState is deprecated, use joint_torques instead", JOINT_STATE),
        (lambda a: a.SendJointTorques(), "SendJointTorques is deprecated, use joint_torques instead", b""),
        (lambda a: a.SendPosition(), "SendPosition is deprecated, use end_effector_position instead", b""),
    ],
)
def test_deprecation_texts_and_errors(arm, peer, call, text, reply):
    exact = "^" + re.escape(text) + "$"
    # A call whose warning is an error writes nothing: the reply stays queued
    # for the next request.
    peer.send_on_request(STATE)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match=exact):
            call(arm)
    assert peer.drain() == b""
    assert arm.end_effector_force() == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])
    peer.drain()

    peer.send(reply * 2)
    with pytest.warns(DeprecationWarning, match=exact) as record:
        call(arm)
        call(arm)
    assert len(record) == 2, "warned on every call"
    assert record[0].filename == __file__


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda a: a.end_effector_force([1.0, 2.0]), "force request vector needs three values, got 2"),
        (lambda a: a.joint_angles([]), "joint angle request vector needs three values, got 0"),
        (lambda a: a.joint_torques((1,)), "joint torque request vector needs three values, got 1"),
        (lambda a: a.end_effector_position([1, 2]), "position request vector needs three values, got 2"),
        (lambda a: a.adjust_angles([1, 2]), "angles needs three values, got 2"),
        (lambda a: a.SendForce([1.0]), "force needs three values, got 1"),
        (lambda a: a.SendAngle([1, 2]), "angle needs three values, got 2"),
        (lambda a: a.SendJointTorques([1, 2]), "joint_torque needs three values, got 2"),
        (lambda a: a.SendPosition([1, 2]), "position needs three values, got 2"),
        (lambda a: a.ReceiveState([0, 0, 0], [0, 0]), "velocity needs three values, got 2"),
        (lambda a: a.ReceiveJointState([0]), "joint_position needs three values, got 1"),
        (lambda a: a.ReceiveCurrent([0, 0]), "current needs three values, got 2"),
    ],
)
def test_short_lists_are_refused_first(arm, peer, call, message):
    # Checked before the warning (an error under pytest's filters) and before
    # any input or output: the queued reply stays for the next exchange.
    peer.send_on_request(STATE)
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        call(arm)
    assert peer.drain() == b""
    assert arm.end_effector_force() == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda a: a.end_effector_force("abc"), "end_effector_force"),
        (lambda a: a.end_effector_force(b"abc"), "end_effector_force"),
        (lambda a: a.end_effector_force(None), "end_effector_force"),
        (lambda a: a.end_effector_force(3.0), "end_effector_force"),
        (lambda a: a.joint_angles([1.0, "x", 3.0]), "joint_angles"),
        (lambda a: a.get_end_effector_position("yes"), "get_end_effector_position"),
        (lambda a: a.adjust_lengths("0.1"), "adjust_lengths"),
        (lambda a: a.adjust_gear_ratios(None), "adjust_gear_ratios"),
        (lambda a: a.SendForce("abc"), "SendForce"),
        (lambda a: a.SendForce(1, 2, "3"), "SendForce"),
        (lambda a: a.ReceiveCurrent(None), "ReceiveCurrent"),
        (lambda a: a.device_wakeup(1), "device_wakeup"),
    ],
)
def test_odd_arguments_raise_type_error(arm, peer, call, name):
    with pytest.raises(TypeError, match="^" + name + r"\(\): incompatible function arguments"):
        call(arm)
    assert peer.drain() == b""


@pytest.mark.parametrize("argument", ["/dev/null", b"x", 1, object()])
def test_constructor_refuses_non_streams(api, argument):
    with pytest.raises(TypeError, match=r"^__init__\(\): incompatible constructor arguments"):
        api.Pendra3(argument)


def test_constructor_refuses_none(api):
    with pytest.raises(TypeError, match="^Pendra3 needs a SerialStream, not None$"):
        api.Pendra3(None)


def test_device_keeps_its_stream_alive(api, peer):
    stream = api.SerialStream(peer.path)
    device = api.Pendra3(stream)
    del stream
    gc.collect()
    peer.send_on_request(msg(43, 1, 2, 3, 4, 5, 6))
    assert device.end_effector_force([1, 2, 3]) == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])
    assert peer.receive(13) == msg(42, 1, 2, 3)


def answer_later(peer, data, delay=0.3):
    # Written by another process, so that the answer comes even while this
    # interpreter's lock is held.
    octal = "".join("\\%03o" % b for b in data)
    return subprocess.Popen(["/bin/sh", "-c", "sleep %s; printf '%s'" % (delay, octal)], stdout=peer.master)


@pytest.mark.parametrize(
    "method, reply, expected, others_run",
    [
        ("end_effector_force", msg(43, 1, 2, 3, 4, 5, 6), ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0]), True),
        ("get_temperature", msg(170, 36.5), 36.5, False),
    ],
)
def test_interpreter_lock_while_waiting(arm, peer, method, reply, expected, others_run):
    ticks = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    while ticks[0] == 0:
        time.sleep(0.001)
    writer = answer_later(peer, reply)
    try:
        before = ticks[0]
        start = time.monotonic()
        result = getattr(arm, method)()
        elapsed = time.monotonic() - start
        during = ticks[0] - before
    finally:
        stop.set()
        counter.join()
        writer.wait()
    assert result == expected
    assert elapsed >= 0.25
    if others_run:
        assert during >= 10
    else:
        assert during <= 2


@pytest.mark.slow
@pytest.mark.parametrize(
    "method, neutral", [("end_effector_force", (ZEROS, ZEROS)), ("get_device_orientation", [0.0] * 4)]
)
def test_silent_device_costs_one_time_out(arm, capfd, method, neutral):
    start = time.monotonic()
    assert getattr(arm, method)() == neutral
    elapsed = time.monotonic() - start
    assert 5.0 < elapsed <= 5.0 + bound(1.2)
    log = capfd.readouterr().err
    assert log.count("\n") == 1
    assert re.fullmatch(r"\[err\] Library/src/Device\.cpp:\d+> timeout waiting for header code: \[-?\d+\] .*\n", log)


def test_missing_port_is_logged_not_raised(api, capfd):
    arm = api.Pendra3(api.SerialStream("/nonexistent/ttyACM7"))
    capfd.readouterr()
    assert arm.SendAngle([1.0, 2.0, 3.0]) is None
    assert arm.RequestCurrent() is None
    assert arm.adjust_gear_ratios(1.0, 1.0, 1.0) is None
    assert arm.deactivate_orientation_sensor() is None
    assert capfd.readouterr().err.count("[err] ") == 2
