#!/usr/bin/env bash
# Installs what the 64-bit Arm target needs on an x86_64 Debian 12 machine: the
# cross compiler and qemu-user from apt, and an aarch64 PyPy 3.9 (Debian's own
# arm64 packages, unpacked, never installed) in .deps/aarch64-root.
# Idempotent: a second run only checks.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
DEPS="$ROOT/.deps"
TARGET_ROOT="$DEPS/aarch64-root"
DEBS="$DEPS/aarch64-debs"
WRAPPER="$DEPS/aarch64-pypy3"

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

HOST_PACKAGES=(g++-aarch64-linux-gnu qemu-user libgtest-dev python3-pytest)
# pypy3 with every shared library it loads, plus the C++ runtime the module and
# the C++ tests need; pypy3-dev is architecture-independent (the C API headers);
# zstd and lz4 with their headers for the recorder (the cross build links them
# from here, through pkg-config: cmake/aarch64-linux-gnu.cmake).
TARGET_PACKAGES=(
  pypy3:arm64 pypy3-lib:arm64 pypy3-dev
  libc6:arm64 libgcc-s1:arm64 libstdc++6:arm64
  libbz2-1.0:arm64 libexpat1:arm64 libffi8:arm64 libgdbm6:arm64 liblzma5:arm64
  libncursesw6:arm64 libtinfo6:arm64 libsqlite3-0:arm64 libssl3:arm64 zlib1g:arm64
  libzstd1:arm64 libzstd-dev:arm64 liblz4-1:arm64 liblz4-dev:arm64
)

missing=()
for p in "${HOST_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup-aarch64: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The stamp names the packages that were unpacked; a changed list unpacks anew.
STAMP="$TARGET_ROOT/.kivra-packages"
wanted=$(printf '%s\n' "${TARGET_PACKAGES[@]}")
if [ ! -f "$STAMP" ] || [ "$(cat "$STAMP")" != "$wanted" ] ||
   [ ! -x "$TARGET_ROOT/usr/bin/pypy3.9" ] || [ ! -e "$TARGET_ROOT/lib/ld-linux-aarch64.so.1" ]; then
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    echo "setup-aarch64: adding the arm64 architecture to dpkg"
    $SUDO dpkg --add-architecture arm64
  fi
  # The arm64 package lists arrive with the first update after that.
  if [ -z "$(apt-cache policy pypy3:arm64 2>/dev/null | awk '/Candidate:/ && $2 != "(none)"')" ]; then
    $SUDO apt-get update -qq
  fi
  echo "setup-aarch64: fetching ${TARGET_PACKAGES[*]}"
  rm -rf "$DEBS" "$TARGET_ROOT"
  mkdir -p "$DEBS" "$TARGET_ROOT"
  fetch() { (cd "$DEBS" && apt-get -o APT::Sandbox::User=root download -qq "${TARGET_PACKAGES[@]}"); }
  # Lists older than the archive name files it no longer has: update once.
  fetch || { $SUDO apt-get update -qq && fetch; }
  for deb in "$DEBS"/*.deb; do
    dpkg -x "$deb" "$TARGET_ROOT"
  done
  # Debian's PyPy puts <prefix>/lib/python3/dist-packages on sys.path when it
  # exists; pointing it at the host's gives the emulated PyPy the same pure
  # Python packages (pytest) as the native one.
  mkdir -p "$TARGET_ROOT/usr/lib/python3"
  ln -sfn /usr/lib/python3/dist-packages "$TARGET_ROOT/usr/lib/python3/dist-packages"
  printf '%s\n' "$wanted" > "$STAMP"
fi

# The aarch64 PyPy as one host command, for CMake (which asks it for the
# module's suffix and the C API headers) and for the test runs. qemu-user
# cannot follow an exec of an aarch64 program, so the command gives its own
# path to PyPy as argv[0]: sys.executable is then this command, and a test that
# starts sys.executable gets the emulated PyPy again. It lives beside pypy3
# because PyPy finds its standard library from the directory of sys.executable.
RUNNER="$TARGET_ROOT/usr/bin/pypy3-qemu"
cat > "$RUNNER.tmp" <<EOF
#!/bin/sh
# Runs the aarch64 PyPy 3.9 of $TARGET_ROOT under qemu-user.
exec qemu-aarch64 -L "$TARGET_ROOT" -0 "$RUNNER" \\
  -E LD_LIBRARY_PATH="$TARGET_ROOT/usr/lib/aarch64-linux-gnu:$TARGET_ROOT/lib/aarch64-linux-gnu" \\
  "$TARGET_ROOT/usr/bin/pypy3" "\$@"
EOF
chmod +x "$RUNNER.tmp"
if cmp -s "$RUNNER.tmp" "$RUNNER"; then rm -f "$RUNNER.tmp"; else mv "$RUNNER.tmp" "$RUNNER"; fi
[ "$(readlink "$WRAPPER" 2>/dev/null)" = "$RUNNER" ] || ln -sfn "$RUNNER" "$WRAPPER"

machine=$("$WRAPPER" -S -c 'import platform; print(platform.machine())' 2>&1) || true
if [ "$machine" != aarch64 ]; then
  echo "setup-aarch64: the emulated PyPy does not start: $machine" >&2
  exit 1
fi
echo "setup-aarch64: ok (aarch64 PyPy in $TARGET_ROOT, run by $WRAPPER)"
