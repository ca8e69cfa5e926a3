"""Recordings of the servo loop on the emulated arm, read back by independent
MCAP and ROS 2 readers (tests/readers/read_mcap.js, under Node): every tick in
order with the values the loop's own trace gave, the effects and scenes as they
changed, a file cut short by SIGKILL, a full disk, and the loop's timing beside
a recording; the library's own reader, `kivra export` and `kivra record --repair`."""

import csv

import io
import json
import math
import os
import shutil
import signal
import statistics
import subprocess
import sys
import time

import pytest

from conftest import REPO, TIME_SCALE, _MODULE_DIR, bound

kivra = pytest.importorskip("kivra")

NODE_MODULES = os.environ.get("KIVRA_NODE_MODULES", os.path.join(REPO, ".deps", "node", "node_modules"))
READER = os.path.join(REPO, "tests", "readers", "read_mcap.js")
TICK_TOPICS = ("/kivra/joint_states", "/kivra/pose", "/kivra/twist", "/kivra/wrench", "/kivra/tick_timing")


def read_back(path, mode="indexed"):
    node = shutil.which("node")
    if node is None or not os.path.isdir(os.path.join(NODE_MODULES, "@mcap", "core")):
        pytest.skip("node or the MCAP readers in %s are missing (scripts/setup.sh installs them)" % NODE_MODULES)
    done = subprocess.run(
        [node, READER, path, mode], env=dict(os.environ, NODE_PATH=NODE_MODULES), capture_output=True, text=True
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def kivra_command(*args):
    done = subprocess.run([sys.executable, "-m", "kivra", *args], cwd=os.path.abspath(_MODULE_DIR),
                          capture_output=True, text=True, timeout=bound(60.0))
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.fixture
def arm(emulator):
    with kivra.Arm(emulator().path, timeout=1.0) as opened:
        yield opened


def nanoseconds(stamp):
    return stamp[0] * 1000000000 + stamp[1]


@pytest.mark.parametrize("compression", ["zstd", "lz4", "none"])
def test_every_tick_reads_back_as_the_trace_gave_it(arm, tmp_path, compression):
    path = str(tmp_path / "ticks.mcap")
    wall = kivra.Wall(point=(0.0, 0.0, 0.3), normal=(0.0, 0.0, 1.0), stiffness=500.0, damping=1.0)
    with kivra.ServoLoop(arm, 1000.0, realtime=False) as loop:
        with loop.record(path, compression, identity={"unique id": "abc", "model": "4"}) as recording:
            loop.set_host_force((0.5, -0.25, 1.0))
            time.sleep(0.7)
            loop.set_effects(wall, force_limit=5.0)
            time.sleep(0.7)
            loop.set_scene(kivra.Sphere(0.01, kivra.Material(100.0), position=(0.0, 0.0, -1.0)))
            time.sleep(0.7)
            loop.stop()
            trace = {t.tick: t for t in loop.trace()}
        written = recording.status()
    got = read_back(path)
    assert got["trailing"] == 0 and got["stampMismatches"] == 0
    assert set(got["schemas"]) >= {"sensor_msgs/msg/JointState", "kivra_msgs/msg/TickTiming", "std_msgs/msg/String"}
    assert all(s["encoding"] == "ros2msg" for s in got["schemas"].values())

    timing = got["topics"]["/kivra/tick_timing"]
    ticks = [t[1] for t in timing]
    assert ticks == list(range(ticks[0], ticks[0] + len(ticks))) and ticks[-1] == max(trace)
    assert written.ticks_written == len(ticks) and written.ticks_dropped == 0
    summary = got["summary"]
    assert summary["compression"] == ["" if compression == "none" else compression]
    assert summary["chunkCount"] == summary["chunkIndexes"] >= 2
    assert summary["messageCount"] == sum(len(m) for m in got["topics"].values())
    counts = summary["channelMessageCounts"]  # the handle's topics too, empty without a handle
    assert set(got["topics"]) <= set(counts)
    assert counts == {topic: len(got["topics"].get(topic, [])) for topic in counts}
    for topic in TICK_TOPICS:
        assert len(got["topics"][topic]) == len(ticks), topic

    first = trace[ticks[0]]
    zipped = zip(timing, *(got["topics"][t] for t in TICK_TOPICS[:4]))
    for (stamp, tick, t, lateness, exchange, outcome, host, effects, scenes), joints, pose, twist, wrench in zipped:
        want = trace[tick]
        assert stamp[2] == "kivra_base" and joints[0] == pose[0] == twist[0] == wrench[0] == stamp
        assert abs(nanoseconds(stamp) - nanoseconds(timing[0][0]) - round((t - first.time) * 1e9)) <= 1
        assert (t, lateness, exchange, outcome, tuple(host)) == (
            want.time, want.wakeup_lateness, want.exchange_time, want.status, want.host_force)
        assert (effects, scenes) == (want.effects_changes, want.scene_changes)
        assert joints[1:] == [["x", "y", "z"], list(want.position), list(want.velocity), list(want.force)]
        assert pose[1:] == [list(want.position), [0, 0, 0, 1]]
        assert twist[1:] == [list(want.velocity), [0, 0, 0]] and wrench[1:] == [list(want.force), [0, 0, 0]]

    changes = got["topics"]["/kivra/effects"]
    assert [c["kind"] for c in changes] == ["effects", "effects", "scene"]
    assert changes[0]["tick"] == ticks[0] and changes[0]["effects"]["walls"] == []
    for change, counter in zip(changes[1:], ("effects_changes", "scene_changes")):
        took_effect = min(t for t in ticks if getattr(trace[t], counter) == change[counter])
        assert change["tick"] == took_effect and change["time"] == trace[took_effect].time
    assert changes[1]["effects"]["walls"] == [{"point": [0, 0, 0.300000012], "normal": [0, 0, 1],
                                               "stiffness": 500, "damping": 1}]
    assert changes[1]["effects"]["force_limit"] == 5 and "Sphere" in changes[2]["scene"][0]

    identity, = got["topics"]["/kivra/identity"]
    assert identity["status"][0]["hardware_id"] == "abc" and identity["status"][0]["values"] == {
        "unique id": "abc", "model": "4"}
    diagnostics = got["topics"]["/kivra/diagnostics"]
    assert len(diagnostics) >= 1
    values = diagnostics[-1]["status"][0]["values"]
    assert 0 < int(values["ticks"]) <= max(trace) + 1 and float(values["loop rate [Hz]"]) > 0
    assert values["dropped ticks"] == "0"


_KILLED = r"""
import sys, time
sys.path.insert(0, sys.argv[1])
import kivra
arm = kivra.Arm(sys.argv[2], timeout=1.0)
loop = kivra.ServoLoop(arm, 1000.0, realtime=False)
recording = loop.record(sys.argv[3])
print("recording", flush=True)
time.sleep(600)
"""


def test_a_killed_recording_reads_back_up_to_its_last_chunk(emulator, tmp_path):
    path = str(tmp_path / "killed.mcap")
    child = subprocess.Popen([sys.executable, "-c", _KILLED, os.path.abspath(_MODULE_DIR), emulator().path, path],
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "recording"
        time.sleep(5.0)
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
    got = read_back(path, "stream")
    assert got["error"] is None and got["trailing"] == 0
    times = [t[2] for t in got["topics"]["/kivra/tick_timing"]]
    ticks = [t[1] for t in got["topics"]["/kivra/tick_timing"]]
    assert times[-1] - times[0] >= 4.0 and ticks == list(range(ticks[0], ticks[0] + len(ticks)))
    assert [r.state.tick for r in kivra.read_recording(path)] == ticks

    # Cut inside a later chunk or its indexes: both readers stop at the same whole chunk.
    with open(path, "r+b") as cut:
        cut.truncate(os.path.getsize(path) * 2 // 3)
    torn = [t[1] for t in read_back(path, "stream")["topics"]["/kivra/tick_timing"]]
    assert [r.state.tick for r in kivra.read_recording(path)] == torn and 0 < len(torn) < len(ticks)
    assert kivra_command("record", "--repair", path) == "kivra record: repaired %s: %d ticks kept\n" % (path, len(torn))
    whole = read_back(path)  # through the new summary and chunk indexes
    assert [t[1] for t in whole["topics"]["/kivra/tick_timing"]] == torn and whole["trailing"] == 0
    assert whole["summary"]["messageCount"] == sum(len(m) for m in whole["topics"].values())
    assert whole["summary"]["chunkCount"] == whole["summary"]["chunkIndexes"] >= 1
    assert "is whole (%d ticks); left as it is" % len(torn) in kivra_command("record", "--repair", path)


def wait_ticks(loop, count):
    """Until count more ticks: a loaded machine slows the test down instead of failing it."""
    until, deadline = loop.state().tick + count, time.monotonic() + bound(30.0)
    while loop.state().tick < until and time.monotonic() < deadline:
        time.sleep(0.01)


@pytest.mark.parametrize("compression", ["zstd", "lz4", "none"])
def test_export_gives_the_trace_row_by_row(arm, tmp_path, compression):
    path = str(tmp_path / "export.mcap")
    with kivra.ServoLoop(arm, 1000.0, realtime=False) as loop:
        with loop.record(path, compression):
            loop.set_host_force((0.5, -0.25, 1.0))
            wait_ticks(loop, 200)
            loop.set_effects(kivra.Spring((0.0, 0.0, 0.0), 50.0), force_limit=4.0)
            wait_ticks(loop, 200)
            loop.stop()
            trace = loop.trace()
    rows = list(csv.reader(io.StringIO(kivra_command("export", path, "--csv", "-"))))
    assert rows[0] == ["t", "x", "y", "z", "vx", "vy", "vz", "fx", "fy", "fz", "hx", "hy", "hz", "outcome",
                       "lateness", "exchange"]
    times = [t.time for t in trace]
    first = times.index(float(rows[1][0]))
    assert len(rows) - 1 == len(trace) - first > 300
    for row, want in zip(rows[1:], trace[first:]):
        assert [float(v) for v in row] == [want.time, *want.position, *want.velocity, *want.force,
                                           *want.host_force, want.status, want.wakeup_lateness, want.exchange_time]
    assert any(t.host_force[2] > 0 for t in trace[first:]) and any(t.force[0] != 0 for t in trace[first:])

    # The effects changes come with the tick they first applied to, and the file written beside it.
    recorded = list(kivra.read_recording(path))
    with_changes = [r.state.tick for r in recorded if r.changes]
    changed = [t.tick for t, before in zip(trace[first + 1:], trace[first:])
               if t.effects_changes != before.effects_changes]
    assert with_changes == [trace[first].tick] + changed and len(changed) == 1
    assert recorded[with_changes[1] - with_changes[0]].changes[0]["effects"]["spring"]["stiffness"] == 50
    assert kivra_command("export", path, "--csv") == "kivra export: %d ticks into %s\n" % (
        len(rows) - 1, path[:-5] + ".csv")


def _library_renamed(data):
    return data.replace(b"kivra", b"kivrb", 1)


def _chunk_byte_flipped(data):
    at = data.index(b"kivra_base")  # a message's frame, inside the first chunk (not compressed)
    return data[:at] + b"X" + data[at + 1:]


@pytest.mark.parametrize("damage, problem", [
    (lambda data: b"time,x,y,z\n0,1,2,3\n", r"not an MCAP file \(it does not start with MCAP's magic bytes\)"),
    (_library_renamed, r'an MCAP file, but not a recording of kivra \(profile "ros2", library "kivrb"\)'),
    (_chunk_byte_flipped, r"damaged at byte \d+: a chunk whose CRC does not match"),
])
def test_a_file_that_is_no_recording_is_refused_clearly(arm, tmp_path, damage, problem):
    path = str(tmp_path / "damaged.mcap")
    with kivra.ServoLoop(arm, 1000.0, realtime=False) as loop:
        with loop.record(path, "none"):
            time.sleep(0.1)
    with open(path, "rb") as whole:
        data = damage(whole.read())
    with open(path, "wb") as damaged:
        damaged.write(data)
    with pytest.raises(kivra.RecordingError, match=problem):
        list(kivra.read_recording(path))
    with pytest.raises(kivra.RecordingError, match=problem):
        kivra.repair_recording(path)


@pytest.fixture
def full_disk(tmp_path):
    folder = tmp_path / "small"
    folder.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(folder)], capture_output=True)
    if mounted.returncode != 0:
        pytest.skip("cannot mount a small tmpfs: %s" % mounted.stderr.decode().strip())
    yield folder
    subprocess.run(["umount", str(folder)], check=True)


def test_a_full_disk_ends_the_recording_and_not_the_loop(arm, full_disk):
    with kivra.ServoLoop(arm, 1000.0, realtime=False) as loop:
        recording = loop.record(str(full_disk / "full.mcap"), "none")
        deadline = time.monotonic() + bound(20.0)
        with pytest.raises(kivra.RecordingError, match="No space left on device"):
            while time.monotonic() < deadline:
                recording.status()
                time.sleep(0.05)
        with pytest.raises(kivra.RecordingError, match=r"full\.mcap: No space left on device"):
            recording.stop()
        before = loop.state().tick
        time.sleep(0.2)
        assert loop.running and loop.state().tick > before


def test_misses_with_a_recording_beside_the_loop(arm, tmp_path):
    """Alternating windows with and without a recording: the loop misses hardly more deadlines with one."""
    window = 1.5
    misses = {True: [], False: []}
    with kivra.ServoLoop(arm, 1000.0, realtime=False) as loop:
        for round_number in range(3):
            for recorded in (False, True):
                before = loop.stats().missed_deadlines
                if recorded:
                    with loop.record(str(tmp_path / ("%d.mcap" % round_number))):
                        time.sleep(window)
                else:
                    time.sleep(window)
                misses[recorded].append(loop.stats().missed_deadlines - before)
    without = statistics.median(misses[False])
    if without > 0.02 * 1000.0 * window * TIME_SCALE:
        pytest.skip("the machine is too loaded to compare: %g misses in a median window without recording" % without)
    # Emulated (qemu), the recorder's compression costs the shared cores ten times its own time.
    assert statistics.median(misses[True]) <= 1.2 * statistics.median(misses[False]) + 30 * TIME_SCALE, misses


def test_record_command_writes_the_arms_identity(emulator, tmp_path):
    path = str(tmp_path / "command.mcap")
    done = subprocess.run(
        [sys.executable, "-m", "kivra", "record", path, "--port", emulator("--unique-id", "00" * 15 + "2a").path,
         "--duration", "1", "--compression", "lz4"],
        cwd=os.path.abspath(_MODULE_DIR), capture_output=True, text=True, timeout=bound(60.0))
    assert done.returncode == 0, done.stderr
    assert "recording %s:" % path in done.stdout.splitlines()[-1]
    got = read_back(path)
    identity, = got["topics"]["/kivra/identity"]
    assert identity["status"][0]["hardware_id"] == "00000000-0000-0000-0000-00000000002a"
    assert got["summary"]["channelMessageCounts"]["/kivra/joint_states"] > 0


def record_wall_session(path, seconds):
    """A scripted hand pressing into a damped wall and a floor, the wall made stiffer halfway."""
    with kivra.Emulator("arm", hand="press") as emulator, kivra.Arm(emulator.port, timeout=1.0) as arm:
        with kivra.ServoLoop(arm) as loop:
            time.sleep(0.05)
            x, y, z = loop.state().position
            wall = kivra.Wall((x, y, z - 0.002), (0.0, 0.0, 1.0), 400.0, 2.0)
            loop.set_effects(wall, force_limit=8.0)
            loop.set_scene(kivra.Plane(kivra.Material(300.0), position=(x, y, z - 0.004)))
            with loop.record(path):
                time.sleep(seconds / 2)
                loop.set_effects(wall._replace(stiffness=800.0), force_limit=8.0)
                time.sleep(seconds / 2)


def test_a_replay_renders_the_recorded_forces_and_shows_a_stiffer_wall(tmp_path):
    path = str(tmp_path / "wall.mcap")
    record_wall_session(path, 2.0)
    forces = [max(abs(f) for f in t.state.force) for t in kivra.read_recording(path)]
    assert max(forces) > 1.0  # the hand pressed into the wall

    same = kivra.replay_recording(path)
    assert (same.ticks, same.differing) == (len(forces), 0) and same.largest < 1e-5, same
    assert same.compared >= 0.9 * same.ticks, same

    def replay(*options):
        return subprocess.run([sys.executable, "-m", "kivra", "replay", path, *options],
                              cwd=os.path.abspath(_MODULE_DIR), capture_output=True, text=True, timeout=bound(60.0))

    stiffer = replay("--wall-stiffness", "1200")
    assert stiffer.returncode == 1, stiffer.stdout + stiffer.stderr
    assert "DIFFERENT: " in stiffer.stdout and "largest difference 0.0000 N" not in stiffer.stdout
    unchanged = replay()
    assert unchanged.returncode == 0 and "the same: no tick differs" in unchanged.stdout, unchanged.stdout


@pytest.mark.parametrize("part", [
    "__import__('os').system('true')",
    "CForceLaw(path='/tmp/law.so')",
    "Plane(material=Material(stiffness=1.0), position=os.environ)",
])
def test_a_recorded_scene_is_made_again_from_literals_only(part):
    with pytest.raises(kivra.RecordingError, match="cannot be replayed"):
        kivra.replay.scene_from_json([part])
    made = kivra.replay.scene_from_json([repr(kivra.Sphere(0.01, kivra.Material(200.0), position=(0.0, -0.1, 1e-3)))])
    assert made == (kivra.Sphere(0.01, kivra.Material(200.0), position=(0.0, -0.1, 1e-3)),)


def test_an_open_handles_frames_are_recorded_beside_the_ticks(arm, emulator, tmp_path):
    path = str(tmp_path / "handle.mcap")
    with kivra.Handle(emulator("--device", "handle", "--stream-hold", "0.05").path) as handle:
        with kivra.ServoLoop(arm, realtime=False) as loop:
            with loop.record(path, handle=handle) as recording:
                with pytest.raises(kivra.DeviceBusy, match="a recording reads the status frames of"):
                    handle.read_status_frame()
                with pytest.raises(kivra.DeviceBusy, match="another recording reads the handle"):
                    loop.record(str(tmp_path / "second.mcap"), handle=handle)
                time.sleep(1.5)
            written = recording.status()
        # Once the recording has stopped, the handle is the program's again.
        assert handle.read_status_frame(timeout=1.0).battery_level > 3.0
    got = read_back(path)
    buttons, orientations = got["topics"]["/kivra/buttons"], got["topics"]["/kivra/orientation"]
    assert len(buttons) == len(orientations) == written.handle_frames >= 50  # 100 frames a second
    assert [b[0] for b in buttons] == [o[0] for o in orientations] and buttons[0][0][2] == "kivra_handle"
    assert got["stampMismatches"] == 0 and got["trailing"] == 0
    for (_, axes, pressed), (_, (x, y, z, w)) in zip(buttons, orientations):
        assert len(axes) == 1 and 0.0 <= axes[0] <= 1.0 and len(pressed) == 3 and set(pressed) <= {0, 1}
        assert math.sqrt(x * x + y * y + z * z + w * w) == pytest.approx(1.0, abs=2e-4)
    assert len({tuple(b[2]) for b in buttons}) >= 2  # the emulated buttons change every 0.8 s
