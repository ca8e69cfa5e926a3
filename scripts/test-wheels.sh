#!/usr/bin/env bash
# Builds the wheels (scripts/build-wheels.sh) and tries each as its users get
# it: the PyPy 3.9 and CPython 3.11 wheels in fresh virtual environments
# (install offline, `kivra --version`, an emulated arm from `kivra emulate`
# probed by `kivra probe`, both modules imported, versions compared, clean
# uninstall), the aarch64 PyPy wheel in the emulated aarch64 PyPy; then checks
# the module's stub with stubtest and the typed code with mypy --strict, both
# against the installed CPython wheel. Exits non-zero if anything fails.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WORK="$ROOT/build/wheel-check"
A64_PYPY="$ROOT/.deps/aarch64-pypy3"
A64_ROOT="$ROOT/.deps/aarch64-root"
INTERFACE=0.1.12  # KivraHardwareAPI.get_cpp_version(), fixed

started=$SECONDS
bash scripts/build-wheels.sh >"$ROOT/build/wheel-build.log" 2>&1 ||
  { tail -40 "$ROOT/build/wheel-build.log"; echo "wheel build failed"; exit 1; }
echo "wheels built in $((SECONDS - started)) s (log: build/wheel-build.log)"
VERSION=$(sed -nE 's/^project\([^)]*VERSION[[:space:]]+([0-9][0-9.]*).*/\1/p' CMakeLists.txt)
WHEEL_PYPY="dist/kivra-$VERSION-pp39-pypy39_pp73-linux_x86_64.whl"
WHEEL_CPYTHON="dist/kivra-$VERSION-cp311-cp311-linux_x86_64.whl"
WHEEL_A64="dist/kivra-$VERSION-pp39-pypy39_pp73-linux_aarch64.whl"
rm -rf "$WORK"
mkdir -p "$WORK"

source scripts/steps.sh

# What each wheel holds: the module and its stub, the kivra package with its
# compiled parts for the wheel's machine, the two commands, and nothing else.
contents_check() {
  /usr/bin/python3 - "$VERSION" "$WHEEL_PYPY" "$WHEEL_CPYTHON" "$WHEEL_A64" <<'PY'
import re, sys, zipfile
version, wheels = sys.argv[1], sys.argv[2:]
machines = {"x86_64": 62, "aarch64": 183}
failed = False
for wheel in wheels:
    tag = re.match(r".*/kivra-[^-]+-(.+)\.whl$", wheel).group(1)
    machine = machines["aarch64" if tag.endswith("aarch64") else "x86_64"]
    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
        problems = []
        wanted = [r"KivraHardwareAPI\..+\.so", r"KivraHardwareAPI\.pyi", r"KivraHardwareAPI-stubs/__init__\.pyi", r"kivra/__init__\.py", r"kivra/tools/cli\.py",
                  r"kivra/tools/doctor\.py", r"kivra/py\.typed", r"kivra/_kivra_ffi\..+\.so",
                  r"kivra/libkivra\.so\.%s" % re.escape(".".join(version.split(".")[:2])), r"kivra/kivra-emulator"]
        for pattern in wanted:
            if not any(re.fullmatch(pattern, n) for n in names):
                problems.append("no " + pattern)
        for n in names:
            if not re.match(r"(KivraHardwareAPI\.|KivraHardwareAPI-stubs/|kivra/|kivra-%s\.dist-info/)" % re.escape(version), n):
                problems.append("stray " + n)
            if n.endswith(".so") or n.endswith("kivra-emulator") or ".so." in n:
                header = z.read(n)[:20]
                if int.from_bytes(header[18:20], "little") != machine:
                    problems.append("%s is not built for %s" % (n, tag))
        meta = "kivra-%s.dist-info/" % version
        if "Tag: %s" % tag not in z.read(meta + "WHEEL").decode():
            problems.append("WHEEL does not carry the tag " + tag)
        entry_points = z.read(meta + "entry_points.txt").decode()
        for script in ("kivra = kivra.tools.cli:main", "kivra-emulator = kivra.tools.cli:emulator_main"):
            if script not in entry_points:
                problems.append("no console script " + script)
    print("%s: %d files%s" % (wheel, len(names), "".join("\n  " + p for p in problems)))
    failed |= bool(problems)
sys.exit(failed)
PY
}

# The versions agree: the wheel's metadata, kivra.__version__ and `kivra
# --version` say the project's version, libkivra's file name its major.minor;
# the specified module keeps its own texts. Run from a folder without the sources.
versions_check() {  # site-packages folder, python command...
  local site=$1; shift
  (cd / && "$@" - "$VERSION" "$INTERFACE" "$site" <<'PY'
import glob, os, platform, sys
import importlib.metadata as metadata
import kivra, KivraHardwareAPI
version, interface, site = sys.argv[1:]
package = os.path.dirname(kivra.__file__)
found = {
    "metadata": metadata.version("kivra"),
    "kivra.__version__": kivra.__version__,
    "libkivra": [os.path.basename(p) for p in glob.glob(os.path.join(package, "libkivra.so*"))],
    "KivraHardwareAPI.__version__": KivraHardwareAPI.__version__,
    "get_cpp_version()": KivraHardwareAPI.get_cpp_version(),
}
wanted = {
    "metadata": version,
    "kivra.__version__": version,
    "libkivra": ["libkivra.so." + ".".join(version.split(".")[:2])],
    "KivraHardwareAPI.__version__": "dev",
    "get_cpp_version()": interface,
}
print("  %s %s on %s: %s" % (platform.python_implementation(), platform.python_version(), platform.machine(), found))
for module in (kivra, KivraHardwareAPI):
    if not os.path.realpath(module.__file__).startswith(os.path.realpath(site)):
        sys.exit("%s comes from %s, not from %s" % (module.__name__, module.__file__, site))
sys.exit(0 if found == wanted else "versions disagree: wanted %s" % wanted)
PY
  )
}

version_line_check() {  # kivra command...
  local line
  line=$(cd / && "$@" --version) || return 1
  echo "  $line"
  [ "$line" = "kivra $VERSION (KivraHardwareAPI interface $INTERFACE)" ]
}

# An emulated arm from `emulate`, probed by `probe`: both commands installed.
emulate_and_probe() {  # "emulator command" "kivra command"
  local out="$WORK/emulator.out" pid port status=0
  : > "$out"
  (cd / && exec setsid $1 --device-id 42 > "$out") &
  pid=$!
  for _ in $(seq 100); do port=$(head -1 "$out"); [ -n "$port" ] && break; sleep 0.1; done
  if [ -z "$port" ]; then echo "  the emulator printed no port"; kill "$pid" 2>/dev/null; return 1; fi
  (cd / && $2 probe "$port" -n 200) > "$WORK/probe.out" 2>&1 || status=1
  sed 's/^/  /' "$WORK/probe.out"
  grep -qE '^device id: +42$' "$WORK/probe.out" || status=1
  kill -TERM "$pid"
  wait "$pid" || { echo "  the emulator did not exit cleanly"; status=1; }
  return $status
}

native_check() {  # interpreter, wheel, venv options...
  local python=$1 wheel=$2; shift 2
  local venv="$WORK/venv-$(basename "$python")" site before after
  "$python" -m venv "$@" "$venv" || return 1
  site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
  before=$(cd "$venv" && find . -path ./lib -prune -o -print | sort; ls -A "$site")
  "$venv/bin/pip" install --no-index --quiet "$wheel" || return 1
  local status=0
  version_line_check "$venv/bin/kivra" || status=1
  versions_check "$site" "$venv/bin/python" || status=1
  emulate_and_probe "$venv/bin/kivra emulate arm" "$venv/bin/kivra" || status=1
  "$venv/bin/pip" uninstall --yes --quiet kivra || return 1
  after=$(cd "$venv" && find . -path ./lib -prune -o -print | sort; ls -A "$site")
  if [ "$before" != "$after" ]; then
    echo "  left behind after the uninstall:"; diff <(echo "$before") <(echo "$after") | sed 's/^/  /'
    status=1
  fi
  return $status
}

# The stub against the installed module, and mypy --strict over the typed
# code, as a user's type checker sees the installed wheel: stubs and py.typed
# found in site-packages, not in the source tree. In the CPython venv, where
# Debian's mypy is one of the system's packages.
TYPING_VENV="$WORK/venv-python3"
typing_install() {
  "$TYPING_VENV/bin/pip" install --no-index --quiet "$WHEEL_CPYTHON"
}
stubtest_check() {
  (cd "$WORK" && "$TYPING_VENV/bin/python" -m mypy.stubtest KivraHardwareAPI --allowlist "$ROOT/python/stubtest-allowlist.txt")
}
mypy_package_check() {
  cat > "$WORK/uses_module.py" <<'PY'
import KivraHardwareAPI as api


def first_position(port: str) -> float:
    arm = api.Pendra3(api.SerialStream(port))
    position, _velocity = arm.end_effector_force([0.0, 0.0, 1.0])
    return position[0] + arm.get_temperature()
PY
  # mypy takes either packages or files in one run.
  (cd "$WORK" && "$TYPING_VENV/bin/python" -m mypy --strict --cache-dir "$WORK/mypy-cache" -p kivra &&
     "$TYPING_VENV/bin/python" -m mypy --strict --cache-dir "$WORK/mypy-cache" uses_module.py)
}
mypy_examples_check() {
  local examples
  examples=$(grep -lE '^(import kivra|from kivra)' "$ROOT"/examples/*.py)
  [ -n "$examples" ] || { echo "  no example uses kivra"; return 0; }
  echo "  $(echo $examples | xargs -n1 basename | tr '\n' ' ')"
  (cd "$ROOT/examples" && "$TYPING_VENV/bin/python" -m mypy --strict --cache-dir "$WORK/mypy-cache" $examples)
}

aarch64_check() {
  local target="$WORK/aarch64-site" status=0 emulator
  if [ ! -x "$A64_PYPY" ]; then echo "  no emulated aarch64 PyPy (scripts/setup-aarch64.sh)"; return 1; fi
  # A venv of the emulated PyPy would start the host's wrapper, which names
  # its own interpreter, so the wheel goes into a plain folder (pip --target,
  # with the host's pure-Python pip that the emulated PyPy shares).
  "$A64_PYPY" -m pip install --no-index --no-compile --quiet --target "$target" "$WHEEL_A64" 2>&1 |
    grep -v "Running pip as the 'root' user" || true
  [ -f "$target/kivra/__init__.py" ] || { echo "  pip --target installed nothing"; return 1; }
  version_line_check env PYTHONPATH="$target" "$A64_PYPY" -m kivra || status=1
  versions_check "$target" env PYTHONPATH="$target" "$A64_PYPY" || status=1
  # The wheel's own aarch64 emulator, under qemu-user like the interpreter.
  emulator="qemu-aarch64 -L $A64_ROOT $target/kivra/kivra-emulator --device arm"
  emulate_and_probe "$emulator" "env PYTHONPATH=$target $A64_PYPY -m kivra" || status=1
  return $status
}

run "wheel contents" contents_check
run "PyPy 3.9 wheel in a fresh venv" native_check /usr/bin/pypy3 "$WHEEL_PYPY"
# CPython takes cffi's backend from Debian (python3-cffi-backend).
run "CPython 3.11 wheel in a fresh venv" \
  native_check /usr/bin/python3 "$WHEEL_CPYTHON" --system-site-packages
if typing_install; then
  run "stubtest KivraHardwareAPI (installed)" stubtest_check
  run "mypy --strict: the kivra package and a use of the module (installed)" mypy_package_check
  run "mypy --strict: the examples that use kivra" mypy_examples_check
else
  failures+=("installing the CPython wheel for the type checks")
fi
run "aarch64 PyPy 3.9 wheel (qemu-aarch64)" aarch64_check

echo "wheels: $((SECONDS - started)) s"
finish wheels
