"""Faults at the binding's edge: port paths with NUL bytes, objects made
without __init__, deep recursion and two threads on one device. Cases that
could crash or hang the interpreter run in a child process."""

import json
import os
import re
import select
import struct
import subprocess
import sys
import textwrap
import threading

import pytest

from conftest import bound

# Each class's methods that work on the library object, counted by name.
METHOD_COUNTS = {"SerialStream": 1, "UUID": 2, "Pendra3": 28, "Handle": 9, "Handle subclass": 9}
NOT_OF_THE_OBJECT = {"__init__", "__setattr__"}
TEMPERATURE = 36.5


@pytest.fixture
def answering_peer(peer):
    """Answers each request strictly by its code, with what only that request
    can cause: a state echoing the forces, a fixed temperature, handle
    messages numbered in the order of the requests."""
    stop = threading.Event()

    def answer():
        pending, number = b"", 0
        while not stop.is_set():
            if select.select([peer.master], [], [], 0.05)[0]:
                pending += os.read(peer.master, 4096)
            while pending and len(pending) >= (13 if pending[0] == 42 else 1):
                code, number = pending[0], number + (pending[0] != 42)
                replies = {
                    42: lambda: struct.pack("<B6f", 43, *force, *[2 * f for f in force]),
                    170: lambda: struct.pack("<Bf", 170, TEMPERATURE),
                    10: lambda: struct.pack("<BHBBBB", 208, number, number % 256, 4, 7, 9),
                    218: lambda: struct.pack("<BHBB4fB", 218, number, 1, 2, number, -number, 0.5, 0.25, 0),
                }
                force = struct.unpack("<3f", pending[1:13]) if code == 42 else ()
                pending = pending[13:] if code == 42 else pending[1:]
                if code in replies:
                    os.write(peer.master, replies[code]())

    answerer = threading.Thread(target=answer)
    answerer.start()
    yield peer
    stop.set()
    answerer.join()


@pytest.fixture
def module_dir(api):
    return os.path.dirname(os.path.abspath(api.__file__))


def run_child(module_dir, body, *arguments, timeout=30):
    script = "import sys\nsys.path.insert(0, %r)\nimport KivraHardwareAPI as k\n" % module_dir
    return subprocess.run(
        [sys.executable, "-c", script + textwrap.dedent(body), *arguments],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.mark.parametrize("kind", [str, bytes, bytearray])
def test_port_path_with_nul_byte_is_refused(api, kind):
    path = "/dev/null\0/dev/ttyACM0"
    with pytest.raises(ValueError, match="^embedded null byte$"):
        api.SerialStream(path if kind is str else kind(path, "ascii"))


@pytest.mark.parametrize("name", sorted(METHOD_COUNTS))
def test_every_method_refuses_an_object_without_init(module_dir, name):
    child = run_child(
        module_dir,
        """
        import json
        name = sys.argv[1]
        registered = k.Handle if name == "Handle subclass" else getattr(k, name)
        class Events(k.Handle):
            def OnReceiveHandleInfo(self, *values):
                pass
        cls = Events if name == "Handle subclass" else registered
        outcomes = {}
        for method in sorted(vars(registered)):
            if not callable(getattr(registered, method)) or method in sys.argv[2:]:
                continue
            try:
                getattr(registered, method)(cls.__new__(cls))
                outcomes[method] = ["no error", ""]
            except Exception as error:
                outcomes[method] = [type(error).__name__, str(error)]
        print(json.dumps(outcomes))
        """,
        name,
        *NOT_OF_THE_OBJECT,
    )
    assert child.returncode == 0, child.stderr
    outcomes = json.loads(child.stdout)
    assert len(outcomes) == METHOD_COUNTS[name], sorted(outcomes)
    type_name = r"\S*\bEvents" if name == "Handle subclass" else "KivraHardwareAPI." + name
    for method, (kind, message) in outcomes.items():
        assert kind == "TypeError", (method, kind, message)
        expected = r"%s\(\) called on an uninitialized %s object; its __init__ was never called" % (method, type_name)
        assert re.fullmatch(expected, message), (method, message)


@pytest.mark.parametrize(
    "call",
    ["k.get_cpp_version()", "k.UUID().bytes()", "k.UUID()", "k.Handle.Receive(5, 6, 7)"],
)
def test_deep_recursion_through_the_module_raises_recursion_error(module_dir, call):
    child = run_child(
        module_dir,
        """
        def deeper(depth):
            try:
                %s
            except TypeError:
                pass
            return deeper(depth + 1)
        try:
            deeper(0)
        except RecursionError as error:
            print("RecursionError", error)
        """
        % call,
    )
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.startswith("RecursionError maximum recursion depth exceeded"), child.stdout


# Two threads hammer one device for a second; or one waits in a held-lock
# query while a handle event holds the port (a Python override sleeping).
THREADS = """
import json, threading, time
stream = k.SerialStream(sys.argv[1])
arm, wrong, calls, numbers, inside = k.Pendra3(stream), [], {}, [], threading.Event()

class Events(k.Handle):
    def OnReceiveHandleInfo(self, remaining, number, *versions):
        numbers.append(number)
        inside.set()
        time.sleep(0.3 if sys.argv[2] == "override" else 0)
        if [remaining, *versions] != [number % 256, 4, 7, 9]:
            wrong.append(["info", number, remaining, versions])

    def OnReceiveHandleStatusMessage(self, number, quaternion, *rest):
        numbers.append(number)
        if quaternion != [number, -number, 0.5, 0.25] or rest != (1, 2, 0, []):
            wrong.append(["status", number, quaternion, rest])

events = Events(stream)
force = lambda n: arm.end_effector_force([n % 1000, 1, -2]) == ([n % 1000, 1, -2], [2 * (n % 1000), 2, -4])
calls_of = {
    "arm": {"force": force, "temperature": lambda n: arm.get_temperature() == TEMPERATURE_VALUE},
    # Replies to the two threads' requests may cross; each arrives whole.
    "handle": {"info": lambda n: events.SendDeviceWakeup() or events.Receive() in (6, 21),
               "status": lambda n: events.RequestStatus() or events.Receive() in (6, 21)},
    "override": {"receive": lambda n: events.SendDeviceWakeup() or events.Receive() == 6},
}[sys.argv[2]]

def hammer(name, call):
    # A second of calls, and at least 20 of them however slow the processor.
    deadline, count = time.monotonic() + (1.0 if sys.argv[2] != "override" else 0), 0
    least = 1 if sys.argv[2] == "override" else 20
    while count < least or time.monotonic() < deadline:
        count += 1
        if call(count) is not True:
            wrong.append([name, count])
        # A query keeps the interpreter lock; without a pause the other
        # thread would hardly ever start a call.
        time.sleep(0.0002)
    calls[name] = count

threads = [threading.Thread(target=hammer, args=pair) for pair in calls_of.items()]
for thread in threads:
    thread.start()
if sys.argv[2] == "override":
    inside.wait(5)
    start = time.monotonic()
    calls["waited"] = time.monotonic() - start if arm.get_temperature() == TEMPERATURE_VALUE else -1
for thread in threads:
    thread.join()
print(json.dumps({"wrong": wrong[:5], "calls": calls, "numbers": numbers}))
""".replace("TEMPERATURE_VALUE", repr(TEMPERATURE))


@pytest.mark.parametrize("mode", ["arm", "handle"])
@pytest.mark.slow
def test_two_threads_on_one_device_get_their_own_replies(module_dir, answering_peer, mode):
    child = run_child(module_dir, THREADS, answering_peer.path, mode)
    assert child.returncode == 0, child.stderr[-2000:]
    outcome = json.loads(child.stdout)
    assert outcome["wrong"] == [] and min(outcome["calls"].values()) >= 20, outcome
    # Every handle message reached exactly one event, whole.
    expected = sum(outcome["calls"].values()) if mode == "handle" else 0
    assert sorted(outcome["numbers"]) == list(range(1, expected + 1))


def test_query_waits_for_a_port_held_by_a_running_override(module_dir, answering_peer):
    child = run_child(module_dir, THREADS, answering_peer.path, "override", timeout=15)
    assert child.returncode == 0, child.stderr[-2000:]
    outcome = json.loads(child.stdout)
    assert outcome["wrong"] == [] and outcome["numbers"] == [1], outcome
    assert 0.15 < outcome["calls"]["waited"] < bound(2.0), outcome
