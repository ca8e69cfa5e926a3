"""The module's frame: attributes, version functions, core classes."""

import gc
import io
import struct
import sys

import pytest

from conftest import descriptors_on


def first_line(callable_):
    return callable_.__doc__.splitlines()[0]


def test_module_attributes(api):
    assert api.__doc__ == "Python Implementation of the Kivra Hardware API"
    assert api.__version__ == "dev"
    assert api.get_cpp_version() == "0.1.12"


def test_print_cpp_version_bypasses_sys_stdout(api, capfd):
    replaced = io.StringIO()
    saved, sys.stdout = sys.stdout, replaced
    try:
        assert api.print_cpp_version() is None
    finally:
        sys.stdout = saved
    assert replaced.getvalue() == ""
    assert capfd.readouterr().out == "Library version: 0.1.12\n"


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("get_cpp_version", "get_cpp_version() -> str", "Get the version of the CPP library"),
        ("print_cpp_version", "print_cpp_version() -> None", "Print the version of the CPP library"),
    ],
)
def test_function_signatures(api, name, signature, doc):
    function = getattr(api, name)
    assert first_line(function) == signature
    assert function.__doc__.strip().endswith(doc)


def test_class_signatures(api):
    assert (
        first_line(api.SerialStream.__init__)
        == "__init__(self: KivraHardwareAPI.SerialStream, arg0: str) -> None"
    )
    assert api.SerialStream.__init__.__doc__.strip().endswith("Initialize the serial stream")
    assert first_line(api.UUID.__init__) == "__init__(self: KivraHardwareAPI.UUID) -> None"
    assert first_line(api.UUID.bytes) == "bytes(self: KivraHardwareAPI.UUID) -> list[int]"


def test_registration_order(api):
    names = [n for n in vars(api) if not n.startswith("__")]
    core = [
        "SerialStream",
        "UUID",
        "Device",
        "get_cpp_version",
        "print_cpp_version",
        "detect_pendra3s",
        "detect_handles",
        "detect_wired_handles",
        "detect_wireless_handles",
        "Pendra3",
        "Handle",
    ]
    assert [n for n in names if n in core] == core


def test_uuid_is_sixteen_zero_bytes(api):
    uuid = api.UUID()
    assert uuid.bytes() == [0] * 16
    assert uuid.bytes() is not uuid.bytes()


def test_device_has_no_constructor(api):
    with pytest.raises(TypeError) as raised:
        api.Device()
    assert str(raised.value) == "KivraHardwareAPI.Device: No constructor defined!"


@pytest.mark.parametrize("path", ["/nonexistent/ttyACM9", b"/nonexistent/ttyUSB9", bytearray(b"/nope"), None])
def test_stream_on_missing_port_does_not_raise(api, path):
    assert isinstance(api.SerialStream(path), api.SerialStream)


def test_stream_refuses_non_text(api):
    with pytest.raises(TypeError) as raised:
        api.SerialStream(42)
    assert "incompatible constructor arguments" in str(raised.value)


def test_stream_opens_a_port(api, peer):
    before = len(descriptors_on(peer.path))
    stream = api.SerialStream(peer.path)
    assert len(descriptors_on(peer.path)) == before + 1
    arm = api.Pendra3(stream)
    peer.send_on_request(struct.pack("<Bf", 170, 36.5))
    assert arm.get_temperature() == 36.5
    del arm, stream
    gc.collect()
    gc.collect()
    assert len(descriptors_on(peer.path)) == before


def test_objects_take_no_new_attributes(api):
    with pytest.raises(AttributeError):
        api.UUID().extra = 1
