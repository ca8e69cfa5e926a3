"""kivra as a user's type checker sees it: mypy --strict over the README's first example and over uses that
must pass or fail by the types of the exchanges and the effects."""

import os
import re
import subprocess

import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
USES = '''\
import uuid

import kivra


def uses(arm: kivra.Arm, loop: kivra.ServoLoop) -> uuid.UUID:
    x, v = arm.buffer(), arm.buffer()
    angles, rates = arm.exchange_joint_angles((0.0, -45.0, -135.0))
    filled: None = arm.exchange_position((0.0, 0.0, 0.0), x, v)
    arm.exchange_force((0.0, 0.0, 0.0), x)  # refused: one buffer
    returned: None = arm.exchange_joint_torques(x)  # refused: it returns the state
    loop.set_effects(kivra.Damping(1.0), kivra.Wall(), "wall")  # refused: not an effect
    print(loop.stats().last_failure_name.lower(), angles[0] + rates[0])
    return arm.unique_id()
'''


def readme_example():
    with open(os.path.join(ROOT, "README.md")) as readme:
        return re.search(r"```python\n(.*?)```", readme.read(), re.S).group(1)


@pytest.mark.slow
def test_mypy_strict_takes_the_readme_example_and_refuses_wrong_uses(tmp_path):
    mypy = subprocess.run(["/usr/bin/python3", "-c", "import mypy"], capture_output=True)
    if mypy.returncode != 0:
        pytest.skip("no mypy for /usr/bin/python3 (apt-get install mypy)")
    (tmp_path / "example.py").write_text(readme_example())
    (tmp_path / "uses.py").write_text(USES)
    result = subprocess.run(
        ["/usr/bin/python3", "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
         "example.py", "uses.py"],
        cwd=tmp_path, env=dict(os.environ, MYPYPATH=os.path.join(ROOT, "python")), capture_output=True, text=True,
    )
    errors = sorted({(name, int(line)) for name, line in re.findall(r"^(\w+)\.py:(\d+): error", result.stdout, re.M)})
    refused = [("uses", i + 1) for i, line in enumerate(USES.splitlines()) if "# refused" in line]
    assert errors == refused, result.stdout
