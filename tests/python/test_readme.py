"""The README's Python snippets, taken from the file and run as a reader would, against the emulator."""

import os
import re
import subprocess
import sys

import pytest
from conftest import REPO, TIME_SCALE, _MODULE_DIR, _emulator_program, bound

with open(os.path.join(REPO, "README.md")) as _readme:
    SNIPPETS = re.findall(r"^```python\n(.*?)^```$", _readme.read(), re.S | re.M)


def run(snippet):
    environment = dict(os.environ, PYTHONPATH=os.path.abspath(_MODULE_DIR), KIVRA_EMULATOR=_emulator_program())
    done = subprocess.run([sys.executable, "-c", snippet], capture_output=True, text=True, env=environment,
                          cwd=REPO, timeout=bound(30))
    assert (done.returncode, done.stderr) == (0, "")
    return done.stdout


def test_quick_start_feels_the_wall_with_its_stiffness():
    assert "kivra.Emulator" in SNIPPETS[0] and "stiffness=800.0" in SNIPPETS[0]
    printed = re.fullmatch(r"(-?[\d.]+) mm into the wall, which pushes back with (-?[\d.]+) N\n", run(SNIPPETS[0]))
    assert printed, "the quick start printed something else"
    depth, force = float(printed.group(1)), float(printed.group(2))
    if TIME_SCALE > 1:
        # An emulated processor's late ticks keep the contact ringing: the
        # position and the force printed are not those of an arm at rest.
        # The wall never pulls, and keeps within its limit.
        assert 0.0 <= force <= 5.0
        return
    # 800 N/m is 0.8 N per mm, and nothing outside the wall (a busy machine may keep the arm out);
    # both are printed to 0.1, and the damping adds little at the end of the push.
    assert abs(force - 0.8 * max(depth, 0.0)) <= 0.15


@pytest.mark.parametrize("index", range(1, len(SNIPPETS)))
def test_other_snippets_run_cleanly(index):
    assert run(SNIPPETS[index])
