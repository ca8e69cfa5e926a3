"""Discovery end to end: pseudo-terminal peers reached through links in /dev.

The scans hold the interpreter lock, so an arm peer answers from a process
of its own (see PtyPeer.send_on_request) and a handle peer has its reply
waiting before the scan starts. The links are created for one test and always
removed; their names are unique to this process.
"""

import contextlib
import os
import struct

import pytest

PATTERN_NAMES = ("ttyACM", "ttyUSB", "rfcomm")


def arm_wakeup_reply(model):
    return bytes([11]) + struct.pack("<HBBB", 0x0201, model, 3, 7) + bytes(range(16))


HANDLE_INFO_REPLY = bytes([208, 0x34, 0x12, 9, 2, 1, 5])


def foreign_candidates():
    return [n for n in os.listdir("/dev") if any(p in n for p in PATTERN_NAMES)]


@contextlib.contextmanager
def dev_link(kind, target):
    if os.geteuid() != 0:
        pytest.skip("creating an entry under /dev needs root")
    link = "/dev/kivra-test-%s-%d" % (kind, os.getpid())
    os.symlink(target, link)
    try:
        yield link
    finally:
        os.unlink(link)


@pytest.fixture
def only_our_ports():
    # Probing ports that belong to someone else would send them wakeups.
    if foreign_candidates():
        pytest.skip("this machine has serial ports of its own: %s" % foreign_candidates())


def test_no_candidates_no_devices(api, only_our_ports):
    for detect in (api.detect_pendra3s, api.detect_handles, api.detect_wired_handles, api.detect_wireless_handles):
        assert detect() == []


def test_arm_found_under_canonical_path(api, peer, only_our_ports):
    peer.send_on_request(arm_wakeup_reply(4))
    with dev_link("ttyACM", peer.path):
        found = api.detect_pendra3s()
    assert found == [os.path.realpath(peer.path)]
    assert peer.drain() == bytes([10])


def test_arm_of_other_model_is_not_reported(api, peer, only_our_ports):
    peer.send_on_request(arm_wakeup_reply(5))
    with dev_link("ttyACM", peer.path):
        assert api.detect_pendra3s() == []


@pytest.mark.parametrize(
    "kind, function, found",
    [
        ("ttyUSB", "detect_handles", True),
        ("ttyUSB", "detect_wired_handles", True),
        ("ttyUSB", "detect_wireless_handles", False),
        ("rfcomm", "detect_wireless_handles", True),
        ("rfcomm", "detect_wired_handles", False),
    ],
)
def test_handle_scans(api, peer, only_our_ports, kind, function, found):
    peer.send(HANDLE_INFO_REPLY)
    with dev_link(kind, peer.path):
        result = getattr(api, function)()
    assert result == ([os.path.realpath(peer.path)] if found else [])
    assert peer.drain() == (bytes([10]) if found else b"")


def test_detect_signatures(api):
    for name, doc in [
        ("detect_pendra3s", "detect available pendra3 devices"),
        ("detect_handles", "detect available handles"),
        ("detect_wired_handles", "detect available wired handles"),
        ("detect_wireless_handles", "detect available wireless handles"),
    ]:
        function = getattr(api, name)
        assert function.__doc__.splitlines()[0] == "%s() -> list[str]" % name
        assert function.__doc__.strip().endswith(doc)
