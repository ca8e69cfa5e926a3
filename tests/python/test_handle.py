"""The Handle class: requests, Receive with Python event overrides, the
status frame reader, and the conventions of its binding."""

import gc
import struct
import threading
import time
import weakref

import pytest

from conftest import bound

PURE_VIRTUAL = 'Tried to call pure virtual function "API::Devices::Handle::OnReceiveHandleStatusMessage"'


def status_message(device_id, error_flag, level, quaternion, user_data):
    return (
        struct.pack("<BHBB4fB", 218, device_id, error_flag, level, *quaternion, len(user_data))
        + bytes(user_data)
    )


def info_reply(tool_data_remaining, device_id, model, hardware, firmware):
    # device_id in bytes 0 and 1, tool_data_remaining in byte 2.
    return struct.pack("<BHBBBB", 208, device_id, tool_data_remaining, model, hardware, firmware)


def error_reply(device_id, error_code):
    return struct.pack("<BHB", 223, device_id, error_code)


def escaped_status_frame(error_flag, sensor_byte, device_id, quaternion_raw, battery):
    """Code 218, the escaped frame and its check byte; no closing 0xC0."""
    decoded = bytes([0x01, 0x02, error_flag, sensor_byte, device_id, 0, 0, 0])
    decoded += struct.pack("<4H", *quaternion_raw) + bytes([battery])
    decoded += bytes([(218 + sum(decoded)) & 0xFF])
    raw = decoded.replace(b"\xdb", b"\xdb\xdd").replace(b"\xc0", b"\xdb\xdc")
    return b"\xda" + raw


@pytest.fixture
def stream(api, peer):
    return api.SerialStream(peer.path)


@pytest.fixture
def handle(api, stream):
    return api.Handle(stream)


def recording_base(api):
    """A Handle subclass with a list for the event calls its own subclasses note."""

    class Recording(api.Handle):
        def __init__(self, stream):
            super().__init__(stream)
            self.calls = []

    return Recording


def make_full_subclass(api):
    class FullHandle(recording_base(api)):
        def OnReceiveHandleInfo(self, *args):
            self.calls.append(("info", args))

        def OnReceiveHandleStatusMessage(self, *args):
            self.calls.append(("status", args))

        def OnReceiveHandleErrorResponse(self, *args):
            self.calls.append(("error", args))

    return FullHandle


# ------------------------------------------------------------ registration

def test_class_and_method_registration(api):
    assert api.Handle.__doc__ == "The manilo handle class"
    methods = [n for n in vars(api.Handle) if not n.startswith("_")]
    assert methods == [
        "SendDeviceWakeup",
        "SendHandleState",
        "RequestStatus",
        "OnReceiveHandleInfo",
        "OnReceiveHandleStatusMessage",
        "OnReceiveHandleErrorResponse",
        "Receive",
        "GetManiloStatus",
    ]


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("__init__", "__init__(self: KivraHardwareAPI.Handle, arg0: KivraHardwareAPI.SerialStream) -> None", ""),
        ("SendDeviceWakeup", "SendDeviceWakeup(self: KivraHardwareAPI.Handle) -> None", ""),
        (
            "SendHandleState",
            "SendHandleState(self: KivraHardwareAPI.Handle, device_id: int = 0, data_length: int = 0, "
            "user_data: int = None) -> None",
            "send handle state",
        ),
        ("RequestStatus", "RequestStatus(self: KivraHardwareAPI.Handle) -> None", "request handle status"),
        (
            "OnReceiveHandleInfo",
            "OnReceiveHandleInfo(self: KivraHardwareAPI.Handle, tool_data_remaining: int, device_id: int, "
            "device_model_number: int, hardware_version: int, firmware_version: int) -> None",
            "OnReceiveHandleInfo",
        ),
        (
            "OnReceiveHandleStatusMessage",
            "OnReceiveHandleStatusMessage(self: KivraHardwareAPI.Handle, device_id: int, quaternion: float, "
            "error_flag: int, hall_effect_sensor_level: int, user_data_length: int, user_data: int) -> None",
            "OnReceiveHandleStatusMessage",
        ),
        (
            "OnReceiveHandleErrorResponse",
            "OnReceiveHandleErrorResponse(self: KivraHardwareAPI.Handle, device_id: int, error_code: int) -> None",
            "OnReceiveHandleErrorResponse",
        ),
        ("GetManiloStatus", "GetManiloStatus(self: KivraHardwareAPI.Handle) -> dict",
         "Get the most recent Manilo informations"),
    ],
)
def test_signatures_and_docstrings(api, name, signature, doc):
    lines = getattr(api.Handle, name).__doc__.splitlines()
    assert lines[0] == signature
    assert "\n".join(lines[1:]).strip() == doc


def test_receive_overloads_docstring(api):
    assert api.Handle.Receive.__doc__.splitlines()[1:] == [
        "Overloaded function.",
        "",
        "1. Receive(self: KivraHardwareAPI.Handle) -> int",
        "",
        "Receive data from the handle",
        "",
        "2. Receive(self: KivraHardwareAPI.Handle, obsolete: int) -> int",
        "",
        "[DEPRECATED] Receive current and return current",
    ]


# ---------------------------------------------------------- construction

def test_none_stream_is_refused(api):
    with pytest.raises(TypeError, match="^Handle needs a SerialStream, not None$"):
        api.Handle(None)


def test_handle_keeps_its_stream_alive(api, peer):
    stream = api.SerialStream(peer.path)
    watch = weakref.ref(stream)
    handle = api.Handle(stream)
    del stream
    gc.collect()
    assert watch() is not None
    handle.SendDeviceWakeup()
    assert peer.receive(1) == b"\x0a"
    del handle
    for _ in range(3):
        gc.collect()
    assert watch() is None


def test_subclass_must_call_base_init(api, stream):
    class Forgetful(api.Handle):
        def __init__(self, stream):
            pass

    with pytest.raises(TypeError) as raised:
        Forgetful(stream)
    assert str(raised.value) == "KivraHardwareAPI.Handle.__init__() must be called when overriding __init__"


def test_attributes_only_on_subclass_instances(api, handle, stream):
    assert not isinstance(handle, api.Device)
    with pytest.raises(AttributeError, match="no attribute 'extra'"):
        handle.extra = 1
    sub = make_full_subclass(api)(stream)
    sub.extra = 1
    assert sub.extra == 1


# -------------------------------------------------------------- requests

@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda h: h.SendDeviceWakeup(), b"\x0a"),
        (lambda h: h.RequestStatus(), b"\xda"),
        (lambda h: h.SendHandleState(258, 1, 171), b"\xdb\x02\x01\x01\xab"),
        (lambda h: h.SendHandleState(1, 0, 99), b"\xdb\x01\x00\x00"),
        (lambda h: h.SendHandleState(1), b"\xdb\x01\x00\x00"),
        (lambda h: h.SendHandleState(), b"\xdb\x00\x00\x00"),
        (lambda h: h.SendHandleState(device_id=65535, data_length=0, user_data=None), b"\xdb\xff\xff\x00"),
        (lambda h: h.SendHandleState(user_data=255, data_length=1), b"\xdb\x00\x00\x01\xff"),
    ],
)
def test_requests_are_byte_exact(handle, peer, call, expected):
    assert call(handle) is None
    assert peer.receive(len(expected)) == expected
    assert peer.drain() == b""


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(device_id=65536), TypeError, "^SendHandleState\\(\\): incompatible function arguments"),
        (dict(device_id=-1), TypeError, "^SendHandleState\\(\\): incompatible function arguments"),
        (dict(data_length=-1), TypeError, "^SendHandleState\\(\\): incompatible function arguments"),
        (dict(data_length=1, user_data=256), TypeError, "^SendHandleState\\(\\): incompatible function arguments"),
        (dict(data_length=1, user_data=1.0), TypeError, "^SendHandleState\\(\\): incompatible function arguments"),
        (dict(data_length=2, user_data=5), ValueError, "^data_length must be 0 or 1, .*; got 2$"),
        (dict(data_length=255, user_data=5), ValueError, "^data_length must be 0 or 1, .*; got 255$"),
        (dict(data_length=1), ValueError, "^data_length is 1 but user_data is None"),
    ],
)
def test_refused_handle_states_send_nothing(handle, peer, kwargs, error, message):
    with pytest.raises(error, match=message):
        handle.SendHandleState(**kwargs)
    assert peer.drain() == b""


# ------------------------------------------------------ events in Receive

@pytest.mark.parametrize("user_data", [[7, 200], [], list(range(255))])
def test_subclass_receives_status_message(api, stream, peer, user_data):
    handle = make_full_subclass(api)(stream)
    quaternion = [0.5, -0.25, 1.5, -3.0]
    peer.send(status_message(0xBEEF, 3, 17, quaternion, user_data))
    assert handle.Receive() == 21 + len(user_data)
    assert handle.calls == [("status", (0xBEEF, quaternion, 3, 17, len(user_data), user_data))]
    args = handle.calls[0][1]
    assert [type(a) for a in args] == [int, list, int, int, int, list]
    assert all(type(q) is float for q in args[1])


def test_subclass_receives_info_and_error(api, stream, peer):
    handle = make_full_subclass(api)(stream)
    peer.send(info_reply(7, 0x1234, 4, 2, 9) + error_reply(0x01FF, 0x80))
    assert handle.Receive() == 6
    assert handle.Receive() == 3
    assert handle.calls == [("info", (7, 0x1234, 4, 2, 9)), ("error", (0x01FF, 0x80))]


def test_missing_status_override_raises(api, stream, peer):
    class InfoOnly(recording_base(api)):
        def OnReceiveHandleInfo(self, *args):
            self.calls.append(args)

    handle = InfoOnly(stream)
    peer.send(info_reply(1, 2, 3, 4, 5) + error_reply(1, 2))
    assert handle.Receive() == 6
    assert handle.Receive() == 3
    assert handle.calls == [(1, 2, 3, 4, 5)]
    peer.send(status_message(1, 0, 0, [0, 0, 0, 0], [1]))
    with pytest.raises(RuntimeError) as raised:
        handle.Receive()
    assert str(raised.value) == PURE_VIRTUAL


def test_override_exception_reaches_caller_unchanged(api, stream, peer):
    failure = ValueError("bad info")

    class Failing(api.Handle):
        def OnReceiveHandleInfo(self, *args):
            raise failure

    handle = Failing(stream)
    peer.send(info_reply(1, 2, 3, 4, 5) + error_reply(1, 2))
    with pytest.raises(ValueError) as raised:
        handle.Receive()
    assert raised.value is failure
    # The message was consumed whole; the next one is read normally.
    assert handle.Receive() == 3


def test_overrides_calling_the_base_methods(api, stream, peer):
    class Delegating(recording_base(api)):
        def OnReceiveHandleInfo(self, *args):
            self.calls.append("info")
            return super().OnReceiveHandleInfo(*args)

        def OnReceiveHandleErrorResponse(self, *args):
            self.calls.append("error")
            return api.Handle.OnReceiveHandleErrorResponse(self, *args)

        def OnReceiveHandleStatusMessage(self, device_id, quaternion, flag, level, length, data):
            self.calls.append("status")
            super().OnReceiveHandleStatusMessage(device_id, quaternion[0], flag, level, length, 0)

    handle = Delegating(stream)
    peer.send(info_reply(1, 2, 3, 4, 5) + error_reply(1, 2) + status_message(1, 0, 0, [0, 0, 0, 0], []))
    assert handle.Receive() == 6
    assert handle.Receive() == 3
    with pytest.raises(RuntimeError) as raised:
        handle.Receive()
    assert str(raised.value) == PURE_VIRTUAL
    assert handle.calls == ["info", "error", "status"]


@pytest.mark.parametrize(
    "length, expected_length, expected_data",
    [(0, 0, []), (1, 1, [9]), (200, 1, [9])],
)
def test_direct_status_call_pads_quaternion_and_caps_user_data(api, stream, length, expected_length, expected_data):
    handle = make_full_subclass(api)(stream)
    assert api.Handle.OnReceiveHandleStatusMessage(handle, 4, 0.5, 2, 3, length, 9) is None
    assert handle.calls == [("status", (4, [0.5, 0.0, 0.0, 0.0], 2, 3, expected_length, expected_data))]


def test_event_methods_of_a_plain_handle_do_nothing(handle, peer):
    assert handle.OnReceiveHandleInfo(1, 2, 3, 4, 5) is None
    assert handle.OnReceiveHandleStatusMessage(1, 0.5, 2, 3, 4, 5) is None
    assert handle.OnReceiveHandleErrorResponse(1, 2) is None
    with pytest.raises(TypeError, match="incompatible function arguments"):
        handle.OnReceiveHandleInfo(1, 65536, 3, 4, 5)
    peer.send(status_message(1, 0, 0, [0, 0, 0, 0], [1, 2]) + info_reply(1, 2, 3, 4, 5))
    assert handle.Receive() == 23
    assert handle.Receive() == 6
    assert peer.drain() == b""


def test_unknown_reply_code(handle, peer):
    peer.send(b"\x0b" + bytes(range(1, 22)))
    assert handle.Receive() == -1
    # The rest of that message is met as header codes, one at a time.
    assert handle.Receive() == -1
    peer.send(error_reply(1, 2))
    received = [handle.Receive() for _ in range(21)]
    assert received == [-1] * 20 + [3]


# ---------------------------------------------------- deprecated Receive

def test_receive_with_one_argument_warns_then_receives(handle, peer):
    peer.send(error_reply(1, 2))
    with pytest.warns(DeprecationWarning) as record:
        assert handle.Receive(7) == 3
    assert len(record) == 1
    assert str(record[0].message) == "Receive with one argument is deprecated"
    assert record[0].filename == __file__


def test_receive_warning_as_error_reads_nothing(handle, peer):
    peer.send(error_reply(1, 2))
    with pytest.raises(DeprecationWarning, match="^Receive with one argument is deprecated$"):
        handle.Receive(0)
    assert handle.Receive() == 3


@pytest.mark.parametrize("obsolete", [256, -1, 1.5, "x"])
def test_receive_obsolete_out_of_range(handle, obsolete):
    with pytest.raises(TypeError, match="^Receive\\(\\): incompatible function arguments"):
        handle.Receive(obsolete)


# ---------------------------------------------------------- GetManiloStatus

def test_manilo_status_dict(handle, peer):
    frame = escaped_status_frame(0x12, 0xFF, 0xC0, (0x8000, 0x4000, 0x7FFF, 0xC000), 255)
    peer.send(b"\x01\x02" + frame)
    status = handle.GetManiloStatus()
    assert list(status) == [
        "device_id", "quaternion", "error_flag", "hall_effect_sensor_level", "buttons", "battery_level",
    ]
    assert status == {
        "device_id": 0xC0,
        "quaternion": [-1.0, -0.5, -0.999969482421875, -0.5],
        "error_flag": 0x12,
        "hall_effect_sensor_level": 31,
        "buttons": 7,
        "battery_level": 4.275000095367432,
    }
    assert type(status["battery_level"]) is float


@pytest.mark.parametrize(
    "wire, failure",
    [
        (bytes([7] * 101) + escaped_status_frame(0, 0, 1, (0, 0, 0, 0), 0), 3),
        (b"\x00" + escaped_status_frame(0, 0, 1, (0, 0, 0, 0), 0), 2),
    ],
)
def test_manilo_status_failure_codes(handle, peer, wire, failure):
    peer.send(wire)
    assert handle.GetManiloStatus() == {
        "device_id": 0,
        "quaternion": [0.0, 0.0, 0.0, 0.0],
        "error_flag": failure,
        "hall_effect_sensor_level": 0,
        "buttons": 0,
        "battery_level": 0.0,
    }


# ------------------------------------------------------------ the lock

def test_other_threads_run_while_receive_waits(api, stream, peer):
    handle = make_full_subclass(api)(stream)
    ticks = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.005)

    counter = threading.Thread(target=count)
    replier = threading.Timer(0.4, peer.send, args=(info_reply(1, 2, 3, 4, 5),))
    counter.start()
    replier.start()
    try:
        time.sleep(0.05)
        before = len(ticks)
        assert handle.Receive() == 6
        during = len(ticks) - before
    finally:
        stop.set()
        counter.join()
        replier.join()
    assert during >= 10
    assert handle.calls == [("info", (1, 2, 3, 4, 5))]


@pytest.mark.slow
def test_silent_handle_receive_times_out(handle):
    start = time.monotonic()
    assert handle.Receive() == -1
    assert 5.0 < time.monotonic() - start <= 5.0 + bound(1.5)
