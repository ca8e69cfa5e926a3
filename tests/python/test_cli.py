"""The kivra command, run as a user runs it: a process, a terminal, another user."""

import json
import os
import re
import select
import shlex
import shutil
import signal
import subprocess
import sys
import time
import uuid

import pytest
from conftest import children

kivra = pytest.importorskip("kivra")
from kivra.tools.cli import emulator_path  # noqa: E402

MODULE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(kivra.__file__)))
ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
ENV = dict(os.environ, PYTHONPATH=MODULE_DIR)
try:
    emulator_path()
except FileNotFoundError:
    # The CPython build has no tools; the PyPy build's emulator serves both.
    ENV["KIVRA_EMULATOR"] = os.path.join(ROOT, "build", "pypy", "emulator", "kivra-emulator")


def kivra_command(*args):
    return [sys.executable, "-m", "kivra", *args]


def run_kivra(*args, prefix=(), timeout=60):
    # Run from the test's folder, not the source tree, whose kivra/ has no compiled module.
    return subprocess.run(
        [*prefix, *kivra_command(*args)], env=ENV, cwd="/", capture_output=True, text=True, timeout=timeout
    )


@pytest.fixture
def emulated():
    """Starts an emulator with the given arguments, through `kivra emulate` when asked; returns its port."""
    started = []

    def start(device, *args, through_kivra=False):
        if through_kivra:
            command = kivra_command("emulate", device, *args)
        else:
            # One interpreter start less, which counts under an emulated CPU.
            command = [ENV.get("KIVRA_EMULATOR") or emulator_path(), "--device", device, *args]
        process = subprocess.Popen(command, env=ENV, cwd="/", stdout=subprocess.PIPE, text=True, start_new_session=True)
        started.append(process)
        return process.stdout.readline().strip()

    yield start
    for process in started:
        process.terminate()
        assert process.wait(timeout=5) == 0
        process.stdout.close()


def test_version_names_the_project_version_and_the_interface():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as text:
        project = re.search(r"project\([^)]*VERSION\s+([0-9.]+)", text.read()).group(1)
    result = run_kivra("--version")
    assert result.returncode == 0
    assert result.stdout == "kivra %s (KivraHardwareAPI interface 0.1.12)\n" % project
    assert kivra.__version__ == project


def test_list_json_reports_each_emulated_device_with_its_names(tmp_path, emulated):
    unique = "00112233445566778899aabbccddeeff"
    arm = emulated("arm", "--link", str(tmp_path / "ttyACM7"), "--unique-id", unique, through_kivra=True)
    handle = emulated("handle", "--link", str(tmp_path / "rfcomm3"), "--device-id", "9")
    result = run_kivra("list", "--json", "--directory", str(tmp_path))
    assert result.returncode == 0, result.stderr
    records = {r["kind"]: r for r in json.loads(result.stdout)}
    assert (records["arm"]["port"], records["arm"]["unique_id"]) == (arm, str(uuid.UUID(unique)))
    assert records["arm"]["links"] == [str(tmp_path / "ttyACM7")]
    assert (records["handle"]["port"], records["handle"]["device_id"]) == (handle, 9)


@pytest.mark.parametrize(
    "device, options, status, says",
    [
        (
            "arm",
            ["--device-id", "77"],
            0,
            r"^device id: +77\n(.*\n)*power: +on\n(.*\n)*exchange latency: p50 [0-9.]+ ms, "
            r"p99 [0-9.]+ ms, max [0-9.]+ ms over 50 exchanges\n",
        ),
        ("handle", ["--device-id", "5"], 0, r"^kind: +handle\ninfo: +HandleInfo\(device_id=5, "),
        ("arm", ["--silent"], 1, r"^kivra probe: no reply from /dev/\S+ within 0.5 s\n"),
    ],
)
def test_probe_reports_identity_status_and_latency(emulated, device, options, status, says):
    port = emulated(device, *options)
    result = run_kivra("probe", port, "-n", "50")
    assert result.returncode == status, result.stderr
    assert re.search(says, result.stdout + result.stderr, re.M), result.stdout + result.stderr
    assert "Traceback" not in result.stderr


def test_doctor_names_the_process_that_holds_the_port(emulated):
    port = emulated("arm")
    with kivra.Arm(port):
        result = run_kivra("doctor", port)
    assert result.returncode == 1
    assert re.search(
        r"^\[FAIL\] in use +%s is locked by pid %d \(" % (re.escape(port), os.getpid()), result.stdout, re.M
    ), result.stdout


@pytest.mark.parametrize(
    "user, prefix, status, says",
    [
        ("root", (), 0, r"\[ok  \] permission .*: root can open it"),
        (
            "nobody",
            ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"),
            1,
            r"\[FAIL\] permission .*\(crw-rw---- root:dialout\): nobody cannot open it: the port belongs to the group "
            r"dialout, and nobody is not in it\n +fix: sudo usermod -aG dialout nobody, then log out and in again",
        ),
    ],
)
def test_doctor_names_the_group_to_join(emulated, user, prefix, status, says):
    if os.geteuid() != 0:
        pytest.skip("needs root to hand the port to dialout and to switch users")
    port = emulated("arm")
    shutil.chown(port, group="dialout")
    os.chmod(port, 0o660)
    result = run_kivra("doctor", port, "-n", "20", prefix=prefix)
    assert result.returncode == status, result.stdout + result.stderr
    assert re.search(says, result.stdout), result.stdout
    assert "Traceback" not in result.stderr


def tmux_run(shell, width=200):
    """A tmux server of this test's own with shell in its one pane; returns the tmux command prefix."""
    tmux = ["tmux", "-L", "kivra-test-%d" % os.getpid(), "-f", "/dev/null"]
    subprocess.run([*tmux, "new-session", "-d", "-x", str(width), "-y", "20", shell], check=True)
    return tmux


def in_shell(*args):
    return "cd / && env %s %s" % (
        " ".join(shlex.quote("%s=%s" % (k, ENV[k])) for k in ("PYTHONPATH", "KIVRA_EMULATOR") if k in ENV),
        " ".join(shlex.quote(a) for a in kivra_command(*args)),
    )


@pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux")
def test_monitor_redraws_live_values_and_ctrl_c_ends_it_at_once(tmp_path):
    done = tmp_path / "done"
    tmux = tmux_run("%s; echo $? $(date +%%s.%%N) > %s; sleep 30" % (in_shell("monitor"), shlex.quote(str(done))),
                    width=100)
    try:

        def screen():
            return subprocess.run([*tmux, "capture-pane", "-p"], capture_output=True, text=True, check=True).stdout

        def tick(text):
            found = re.search(r"tick (\d+)", text)
            return int(found.group(1)) if found else None

        deadline = time.monotonic() + 15
        while not tick(screen()) and time.monotonic() < deadline:
            time.sleep(0.1)
        first = screen()
        time.sleep(0.5)
        second = screen()
        assert (tick(second) or 0) > (tick(first) or 0) > 0, second
        assert re.search(r"loop rate +[0-9.]+ Hz", second) and "position" in second
        # The view stays one block redrawn in place, not a scroll of copies.
        assert second.count("kivra monitor") == 1

        pressed = time.time()
        subprocess.run([*tmux, "send-keys", "C-c"], check=True)
        while not done.exists() and time.time() < pressed + 5:
            time.sleep(0.01)
        time.sleep(0.05)
        status, ended = done.read_text().split()
        assert int(status) == 130
        assert float(ended) - pressed < 0.5
        assert "Traceback" not in screen()
    finally:
        subprocess.run([*tmux, "kill-server"], capture_output=True)


def running(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


@pytest.mark.parametrize(
    "args,signal_number,status",
    [
        (("monitor",), signal.SIGTERM, 130),  # stops as Ctrl-C does
        (("monitor", "--web"), signal.SIGTERM, 130),
        (("monitor",), signal.SIGKILL, -signal.SIGKILL),  # no cleanup runs: the emulator sees its parent gone
    ],
)
def test_a_stopped_monitor_leaves_no_emulator_behind(args, signal_number, status):
    monitor = subprocess.Popen(kivra_command(*args), env=ENV, cwd="/", stdout=subprocess.PIPE, start_new_session=True)
    try:
        # Its first output comes once the loop runs (a slow start under an emulated processor).
        assert select.select([monitor.stdout], [], [], 120)[0] and monitor.stdout.read1(4096)
        (emulator,) = children(monitor.pid)
        monitor.send_signal(signal_number)
        assert monitor.wait(timeout=5) == status
        deadline = time.monotonic() + 2
        while running(emulator) and time.monotonic() < deadline:
            time.sleep(0.02)
        assert not running(emulator)
    finally:
        if monitor.poll() is None:
            monitor.kill()
            monitor.wait()
        monitor.stdout.close()


@pytest.mark.parametrize(
    "args, status, says",
    [
        (("monitor", "--refresh", "0"), 2,
         "kivra monitor: error: argument --refresh: must be a number above 0, got '0'\n"),
        (("monitor", "--refresh", "nan"), 2,
         "kivra monitor: error: argument --refresh: must be a number above 0, got 'nan'\n"),
        (("monitor", "--http-port", "99999"), 2,
         "kivra monitor: error: argument --http-port: must be a TCP port number from 0 to 65535, got '99999'\n"),
        (("monitor", "--web", "--no-token", "--host", "0.0.0.0"), 1, "kivra monitor: a server on 0.0.0.0 is open to "
         "other machines: it needs a token (only a loopback address may go without)\n"),
    ],
)
def test_option_values_that_cannot_work_are_refused_before_anything_starts(args, status, says):
    result = run_kivra(*args)
    assert (result.returncode, result.stderr.splitlines(True)[-1]) == (status, says)
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize(
    "port, says",
    [
        (lambda emulated: "/dev/null", r"^\[FAIL\] port +/dev/null is not a terminal, so not a serial port$"),
        (lambda emulated: emulated("arm", "--silent"),
         r"^\[FAIL\] exchange latency +/dev/\S+: no arm answered \(no reply from /dev/\S+ within 0.05 s\)\n"
         r" +fix: is the arm"),
    ],
)
def test_doctor_fails_on_a_port_without_a_working_arm(emulated, port, says):
    result = run_kivra("doctor", port(emulated), "-n", "20")
    assert result.returncode == 1
    assert re.search(says, result.stdout, re.M), result.stdout


def holds(pid, path):
    try:
        return any(os.readlink("/proc/%d/fd/%s" % (pid, fd)) == path for fd in os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return False


@pytest.mark.parametrize(
    "args",
    [
        ("list", "--timeout", "30", "--directory", "{folder}"),
        ("probe", "{port}", "--timeout", "30"),
        ("monitor", "{port}", "--timeout", "30"),
        ("monitor", "--web", "{port}", "--timeout", "30"),
    ],
)
def test_ctrl_c_ends_a_wait_for_a_silent_device_at_once(tmp_path, peer, args):
    os.symlink(peer.path, tmp_path / "ttyACM0")
    command = kivra_command(*(a.format(folder=tmp_path, port=peer.path) for a in args))
    # Ctrl-C as a terminal sends it, whatever this test's own runner left SIGINT as.
    reset = lambda: signal.signal(signal.SIGINT, signal.SIG_DFL)  # noqa: E731
    process = subprocess.Popen(command, env=ENV, cwd="/", stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               preexec_fn=reset)
    try:
        deadline = time.monotonic() + 60
        while not holds(process.pid, peer.path):  # the wait for the reply is on
            assert time.monotonic() < deadline and process.poll() is None, process.communicate()
            time.sleep(0.01)
        pressed = time.monotonic()
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=10) == 130
        assert time.monotonic() - pressed < 2
        assert process.stderr.read() == "kivra %s: interrupted\n" % args[0]
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        process.stdout.close()
        process.stderr.close()


@pytest.mark.parametrize("command", ["", "list", "probe", "monitor", "export", "replay", "emulate", "doctor"])
def test_every_help_ends_with_examples_of_its_command(command):
    result = run_kivra(*command.split(), "--help")
    assert result.returncode == 0
    examples = result.stdout.split("\nexamples:\n")[1].splitlines()
    assert examples and all(line.startswith("  kivra " + command) for line in examples), result.stdout


@pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux")
@pytest.mark.parametrize("hand, moves", [("none", False), ("press", True)])
def test_emulate_says_what_it_serves_and_its_hand_pushes_the_arm(tmp_path, hand, moves):
    done = tmp_path / "done"
    emulate = in_shell("emulate", "arm", "--hand", hand, "--device-id", "7")
    tmux = tmux_run("%s; echo $? > %s; sleep 30" % (emulate, shlex.quote(str(done))))
    try:
        def screen():
            return subprocess.run([*tmux, "capture-pane", "-p"], capture_output=True, text=True, check=True).stdout

        deadline = time.monotonic() + 30
        while "Ctrl-C" not in screen() and time.monotonic() < deadline:
            time.sleep(0.1)
        shown = re.search(r"^(/dev/pts/\d+)\nan arm \(model 4, device id 7, unique id [0-9a-f-]{36}, firmware id "
                          r"[0-9a-f-]{36}\)(.*) on (\S+); Ctrl-C stops it", screen(), re.M)
        assert shown and shown.group(1) == shown.group(3), screen()
        assert ("hand" in shown.group(2)) == moves
        with kivra.Arm(shown.group(1), timeout=1.0) as arm:
            first, _ = arm.exchange_force((0.0, 0.0, 0.0))
            time.sleep(0.3)  # the hand's push rises over the first half second
            second, _ = arm.exchange_force((0.0, 0.0, 0.0))
        assert (second[2] < first[2] - 0.005) == moves, (first, second)
        subprocess.run([*tmux, "send-keys", "C-c"], check=True)
        deadline = time.monotonic() + 5
        while not done.exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.05)
        assert done.read_text().strip() == "0" and "Traceback" not in screen()
    finally:
        subprocess.run([*tmux, "kill-server"], capture_output=True)


KERNELS = {
    "plain": {"proc/sys/kernel/version": "#1 SMP PREEMPT_DYNAMIC Debian 6.1.0-18",
              "proc/sys/kernel/sched_rt_runtime_us": "950000", "sys/devices/system/cpu/isolated": ""},
    "tuned": {"proc/sys/kernel/version": "#1 SMP PREEMPT_RT Debian 6.1.0-18-rt",
              "proc/sys/kernel/sched_rt_runtime_us": "-1", "sys/devices/system/cpu/isolated": "2-3"},
    "rt by flag": {"proc/sys/kernel/version": "#1 SMP", "sys/kernel/realtime": "1"},
}


@pytest.mark.parametrize(
    "kernel, says",
    [
        ("plain", ["[info] real-time kernel     not a PREEMPT_RT kernel (#1 SMP PREEMPT_DYNAMIC Debian 6.1.0-18)",
                   "[info] real-time throttling real-time threads may run 95% of each second",
                   "[info] isolated processors  no processor is kept from ordinary work"]),
        ("tuned", ["[ok  ] real-time kernel     a PREEMPT_RT kernel (#1 SMP PREEMPT_RT Debian 6.1.0-18-rt)",
                   "[ok  ] real-time throttling off (sched_rt_runtime_us -1)",
                   "[ok  ] isolated processors  processors 2-3 are kept from ordinary work"]),
        ("rt by flag", ["[ok  ] real-time kernel     a PREEMPT_RT kernel (#1 SMP)"]),
    ],
)
def test_doctor_reads_the_kernels_real_time_setup_and_sums_up(tmp_path, kernel, says):
    for path, text in KERNELS[kernel].items():
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_text(text + "\n")
    result = run_kivra("doctor", "-n", "0", "--root", str(tmp_path))
    lines = result.stdout.splitlines()
    found = [line for line in lines if line.startswith("[") and re.search("kernel|throttling|isolated", line)]
    assert [line[: len(said)] for line, said in zip(found, says)] == says and len(found) == len(says), result.stdout
    tags = [line[1:5].strip() for line in lines if line.startswith("[")]
    summary = "kivra doctor: %d failed, %d warnings, %d notes, %d ok; " % tuple(
        tags.count(tag) for tag in ("FAIL", "warn", "info", "ok"))
    assert lines[-1].startswith(summary) and lines[-1].endswith("(exit status %d)" % result.returncode)
