"""What keeps a person's hand safe: no force left on after any exit, a loop that
stops at once at any rate, nothing unsafe or non-finite sent, a late reply
never taken for the next one, waits that Ctrl-C ends, locks that hold."""

import math
import os
import signal
import subprocess
import sys
import time

import pytest

from conftest import _MODULE_DIR, bound

kivra = pytest.importorskip("kivra")

# The arm keeps its last command for ever: only the library can take it back.
NO_WATCHDOG = ("--watchdog", "100000")


def _as_from_a_terminal():
    # A test command run under nohup hands its children an ignored SIGHUP,
    # which kivra rightly leaves alone: a program started from a terminal has it at its default.
    signal.signal(signal.SIGHUP, signal.SIG_DFL)


def python_child(script, *args):
    env = dict(os.environ, PYTHONPATH=os.path.abspath(_MODULE_DIR))
    return subprocess.Popen(
        [sys.executable, "-c", script, *args],
        env=env,
        cwd=os.path.abspath(_MODULE_DIR),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        preexec_fn=_as_from_a_terminal,
    )


def finish(process):
    """Waits for the child and returns what it wrote to stderr; a child that hangs is killed."""
    try:
        return process.communicate(timeout=30)[1]
    except subprocess.TimeoutExpired:
        process.kill()
        errors = process.communicate()[1]
        pytest.fail("child did not end within 30 s: %s" % errors)


def wait_for_line(process, marker, limit=30.0):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        line = process.stdout.readline()
        if marker in line:
            return
        if not line and process.poll() is not None:
            break
    process.kill()
    pytest.fail("child never printed %r: %s" % (marker, finish(process)))


PUSHING = """
import os, signal, sys, time
import kivra
arm = kivra.Arm(sys.argv[1], timeout=1.0)
loop = kivra.ServoLoop(arm, rate=500, realtime=False)
loop.set_effects(kivra.ConstantForce((0.0, -3.0, 1.0)))
while loop.state().force[1] > -2.9:
    time.sleep(0.01)
print("pushing", flush=True)
"""
# Short sleeps: under qemu-user a signal sent to the process may land on
# another thread, and the main thread runs its handler only when a sleep ends
# (the kernel itself hands it to the main thread).
WAITING = "while True:\n    time.sleep(0.05)"


@pytest.mark.parametrize(
    "ending, sent_signal, returncode",
    [
        ("", None, 0),
        ("sys.exit(3)", None, 3),
        ("raise RuntimeError('unhandled')", None, 1),
        (WAITING, signal.SIGTERM, -signal.SIGTERM),
        (WAITING, signal.SIGHUP, -signal.SIGHUP),
    ],
    ids=["end", "sys.exit", "exception", "SIGTERM", "SIGHUP"],
)
@pytest.mark.slow
def test_every_exit_leaves_the_arm_without_force(emulator, api, ending, sent_signal, returncode):
    device = emulator(*NO_WATCHDOG)
    child = python_child(PUSHING + ending, device.path)
    wait_for_line(child, "pushing")
    if sent_signal is not None:
        child.send_signal(sent_signal)
    errors = finish(child)
    assert child.returncode == returncode, errors
    stream = api.SerialStream(device.path)
    assert api.Pendra3(stream).get_motor_currents() == [0.0, 0.0, 0.0]


C_PROGRAM_EXITS = """
import sys, time
import cffi
from kivra import _ffi as ffi, _lib as lib
libc = cffi.FFI()
libc.cdef("void exit(int);")
c_exit = libc.dlopen(None).exit
arm, loop = ffi.new("kivra_arm**"), ffi.new("kivra_servo**")
assert lib.kivra_arm_open(sys.argv[1].encode(), 1.0, 0, arm, ffi.NULL) == lib.KIVRA_OK
assert lib.kivra_servo_start(arm[0], 500.0, ffi.NULL, loop, ffi.NULL) == lib.KIVRA_OK
effects = ffi.new("kivra_effects*")
lib.kivra_effects_default(effects)
effects.constant_force = (0.0, -3.0, 1.0)
assert lib.kivra_servo_set_effects(loop[0], effects) == lib.KIVRA_OK
tick = ffi.new("kivra_tick*")
while lib.kivra_servo_get_state(loop[0], tick) == lib.KIVRA_OK and tick.force[1] > -2.9:
    time.sleep(0.01)
print("pushing", flush=True)
c_exit(0)  # the C library's exit: what a C program does, without the interpreter's own handlers
"""


@pytest.mark.slow
def test_a_c_program_that_exits_leaves_the_arm_without_force(emulator, api):
    device = emulator(*NO_WATCHDOG)
    child = python_child(C_PROGRAM_EXITS, device.path)
    wait_for_line(child, "pushing")
    errors = finish(child)
    assert child.returncode == 0, errors
    stream = api.SerialStream(device.path)
    assert api.Pendra3(stream).get_motor_currents() == [0.0, 0.0, 0.0]


@pytest.fixture
def arm(emulator):
    with kivra.Arm(emulator().path, timeout=1.0) as opened:
        yield opened


@pytest.mark.parametrize("rate", [1.0, 10000.0])
def test_stop_and_new_effects_act_at_once_at_any_rate(arm, rate):
    loop = kivra.ServoLoop(arm, rate=rate, realtime=False)
    try:
        # A whole period passes before the first tick at 1 Hz; the effects must not wait for the next.
        while loop.state().tick == 0 and loop.stats().ticks == 0:
            time.sleep(0.001)
        time.sleep(0.05)
        started = time.monotonic()
        loop.set_effects(kivra.ConstantForce((0.0, 0.0, 1.0)))
        while loop.state().force[2] != pytest.approx(1.0) and time.monotonic() - started < 1.0:
            time.sleep(0.0002)
        applied = time.monotonic() - started
    finally:
        started = time.monotonic()
        loop.stop()
        stopped = time.monotonic() - started
    # Bounds far below a 1 Hz period and far above what the machine needs.
    assert applied < bound(0.1) and stopped < bound(0.1), (applied, stopped)


@pytest.mark.parametrize("rate", [0.5, 10001.0, math.nan, math.inf])
def test_rates_outside_the_range_are_refused(arm, rate):
    with pytest.raises(ValueError, match="rate must be from 1 to 10000 Hz, got %r" % rate):
        kivra.ServoLoop(arm, rate=rate, realtime=False)


EXCHANGES = ["exchange_force", "exchange_position", "exchange_joint_torques", "exchange_joint_angles"]


@pytest.mark.parametrize("method", EXCHANGES)
@pytest.mark.parametrize("command", [(math.nan, 0.0, 0.0), (0.0, math.inf, 0.0), (0.0, 0.0, -1e40)])
@pytest.mark.parametrize("as_buffer", [False, True])
def test_direct_exchanges_send_nothing_non_finite(peer, method, command, as_buffer):
    sent = command
    if as_buffer:
        sent = kivra.Arm.buffer()
        sent[0:3] = command  # 1e40 becomes infinity in a float buffer
    with kivra.Arm(peer.path, timeout=0.05) as arm:
        with pytest.raises(ValueError, match=r"a command must be finite and within float32 range, got \("):
            getattr(arm, method)(sent)
    assert peer.drain() == b""
    arm.close()


def test_buffers_hold_three_floats():
    for values in ([1.0, 2.0], [1.0, 2.0, 3.0, 4.0]):
        with pytest.raises(ValueError, match="a buffer holds 3 floats, got %d values" % len(values)):
            kivra.Arm.buffer(values)


WALL = dict(point=(0.0, 0.0, 0.0), normal=(0.0, 0.0, 1.0), stiffness=100.0, damping=1.0)


@pytest.mark.parametrize(
    "effects, force_limit, problem",
    [
        ([kivra.Spring(stiffness=-1.0)], 10.0, "spring stiffness must be finite and 0 or more"),
        ([kivra.Spring(stiffness=10.0, damping=-0.5)], 10.0, "spring damping must be finite and 0 or more"),
        ([kivra.Wall(**dict(WALL, stiffness=-100.0))], 10.0, "wall stiffness must be finite and 0 or more"),
        ([kivra.Wall(**dict(WALL, damping=-1.0))], 10.0, "wall damping must be finite and 0 or more"),
        ([kivra.Wall(**dict(WALL, normal=(0.0, 0.0, 0.0)))], 10.0, "wall normal must not be zero"),
        ([kivra.Damping(-2.0)], 10.0, "viscous damping must be finite and 0 or more"),
        ([], 0.0, r"force limit must be above 0 and at most the arm's maximum force \(20 N\)"),
        ([], -1.0, r"force limit must be above 0 and at most the arm's maximum force \(20 N\)"),
        ([], 3e38, r"force limit must be above 0 and at most the arm's maximum force \(20 N\)"),
        ([], math.nan, r"force limit must be above 0 and at most the arm's maximum force \(20 N\)"),
    ],
)
def test_unsafe_effects_are_refused_and_change_nothing(arm, effects, force_limit, problem):
    with kivra.ServoLoop(arm, realtime=False) as loop:
        loop.set_effects(kivra.Damping(1.0))
        with pytest.raises(ValueError, match=problem):
            loop.set_effects(*effects, force_limit=force_limit)
        time.sleep(0.02)
        assert loop.state().force == (0.0, 0.0, 0.0)
        # The C interface refuses the same whatever reaches it.
        chosen = kivra._ffi.new("kivra_effects*")
        kivra._lib.kivra_effects_default(chosen)
        chosen.force_limit = 3e38
        assert kivra._lib.kivra_servo_set_effects(loop._handle, chosen) == kivra._lib.KIVRA_INVALID_ARGUMENT
    assert kivra.MAX_FORCE == 20.0


@pytest.mark.slow
def test_a_device_slower_than_the_time_out_never_answers_another_request(emulator):
    # Every reply comes 30 ms after its request, after the 20 ms time-out.
    arm = kivra.Arm(emulator("--delay", "0.03").path, timeout=0.02)
    outcomes = []
    for _ in range(100):
        sent = time.monotonic()
        try:
            arm.exchange_force((0.0, 0.0, 0.0))
            outcomes.append(time.monotonic() - sent)
        except kivra.DeviceTimeout:
            outcomes.append("timeout")
    arm.close()
    assert "timeout" in outcomes
    # A process the machine holds back past a reply's arrival may take that
    # reply, its own, late: never sooner than the device gives it. A reply
    # left over from the request before would come 10 ms into this one.
    assert all(took >= 0.0295 for took in outcomes if took != "timeout"), outcomes


@pytest.mark.slow
def test_a_truncated_reply_costs_the_loop_one_tick(emulator):
    arm = kivra.Arm(emulator("--truncate-every", "100").path, timeout=1.0)
    with kivra.ServoLoop(arm, realtime=False) as loop:
        time.sleep(2.0)
        stats = loop.stats()
    arm.close()
    # Some 20 truncated replies in 2 s: a loop that waited out the arm's 1 s
    # time-out for each would see two. A loaded machine adds time-outs of its
    # own, and a truncated reply that is also late counts as one of them.
    assert stats.short_replies + stats.timeouts >= 10, stats
    kinds = stats.timeouts + stats.short_replies + stats.wrong_codes + stats.hang_ups
    assert stats.failed_exchanges == kinds, stats


WAITS = {
    "exchange": "kivra.Arm(sys.argv[1], timeout=30).exchange_force((0.0, 0.0, 0.0))",
    "discovery": "kivra.find_devices(30, directory=sys.argv[2])",
}


@pytest.mark.parametrize("wait", sorted(WAITS))
def test_ctrl_c_ends_a_wait_at_once(peer, tmp_path, wait):
    os.symlink(peer.path, str(tmp_path / "ttyACM0"))
    script = "import sys, kivra\nprint('waiting', flush=True)\n" + WAITS[wait]
    child = python_child(script, peer.path, str(tmp_path))
    wait_for_line(child, "waiting")
    time.sleep(0.3)  # into the wait
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    errors = finish(child)
    took = time.monotonic() - sent
    assert "KeyboardInterrupt" in errors
    assert took < bound(5.0), took  # not the 30 s time-out


@pytest.mark.parametrize(
    "first, second",
    [(True, False), (False, True), (True, True)],
    ids=["exclusive-then-shared", "shared-then-exclusive", "exclusive-twice"],
)
def test_an_exclusive_holder_and_any_other_opener_exclude_each_other(emulator, first, second):
    # As root too: the lock binds where the terminal's own exclusive mode does not.
    path = emulator().path
    with kivra.Arm(path, exclusive=first):
        with pytest.raises(kivra.PortInUse, match=r"the port is in use by this process \(pid %d\)" % os.getpid()):
            kivra.Arm(path, exclusive=second)


def test_sharers_share(emulator):
    path = emulator().path
    with kivra.Arm(path, exclusive=False) as one, kivra.Arm(path, exclusive=False) as other:
        assert one.is_open and other.is_open


def test_a_constructor_given_an_uninitialised_stream_raises(api):
    with pytest.raises(TypeError, match="was given an uninitialized KivraHardwareAPI.SerialStream object"):
        api.Pendra3(api.SerialStream.__new__(api.SerialStream))


def test_an_emulator_killed_leaves_a_link_the_next_takes_over(emulator, tmp_path):
    link = str(tmp_path / "arm")
    emulator("--link", link).stop(signal.SIGKILL)
    assert os.path.islink(link) and not os.path.exists(link)
    assert os.path.realpath(emulator("--link", link).path) == os.path.realpath(link)
