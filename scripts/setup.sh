#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test the project.
# Idempotent: a second run only checks.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
DEPS="$ROOT/.deps"

APT_PACKAGES=(
  build-essential cmake ninja-build libgtest-dev
  pypy3 pypy3-dev pypy3-venv
  python3 python3-dev python3-pytest python3-exceptiongroup python3-tomli
  python3-serial python3-matplotlib python3-cffi
  python3-venv mypy flake8 clang-format tmux
  libzstd-dev liblz4-dev
  chromium
  python3-sphinx python3-myst-parser
  cyclonedds-dev cyclonedds-tools
)
if [ "${KIVRA_SETUP_EXTRA:-}" != "" ]; then
  # shellcheck disable=SC2206
  APT_PACKAGES+=(${KIVRA_SETUP_EXTRA})
fi

missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Debian 13's archive, through a private apt configuration that leaves the
# system's own sources, lists and cache alone: packages from it are only
# downloaded and unpacked into .deps, never installed.
APTDIR="$DEPS/apt-trixie"
APTOPTS=(-o "Dir::Etc::SourceList=$APTDIR/etc/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
         -o "Dir::State::Lists=$APTDIR/lists" -o "Dir::Cache=$APTDIR/cache"
         -o "Dir::State::status=$APTDIR/etc/status" -o "APT::Architectures::=amd64"
         -o "Acquire::Languages=none" -o "APT::Sandbox::User=root")
trixie_lists_fresh=0
trixie_fetch() {  # package version: downloads package_<version>*.deb into $APTDIR/debs
  local package=$1 version=$2 deb_version
  mkdir -p "$APTDIR/lists/partial" "$APTDIR/cache/archives/partial" "$APTDIR/etc" "$APTDIR/debs"
  echo "deb http://deb.debian.org/debian trixie main" > "$APTDIR/etc/sources.list"
  [ -f "$APTDIR/etc/status" ] || : > "$APTDIR/etc/status"
  if [ "$trixie_lists_fresh" = 0 ]; then
    apt-get "${APTOPTS[@]}" update -qq
    trixie_lists_fresh=1
  fi
  deb_version=$(apt-cache "${APTOPTS[@]}" madison "$package" | awk -F'|' -v v="$version" '$2 ~ v {gsub(/ /,"",$2); print $2; exit}')
  [ -n "$deb_version" ] || { echo "setup: $package $version not found" >&2; exit 1; }
  (cd "$APTDIR/debs" && rm -f "${package}"_*.deb && apt-get "${APTOPTS[@]}" download -qq "$package=$deb_version")
}

# pybind11 2.13: Debian 12 only ships 2.10, so take the header-only package of
# the next Debian release.
PYBIND11_VERSION=2.13.6
PYBIND11_DIR="$DEPS/pybind11"
if [ ! -f "$PYBIND11_DIR/usr/lib/cmake/pybind11/pybind11Config.cmake" ] ||
   ! grep -q "PACKAGE_VERSION \"$PYBIND11_VERSION\"" "$PYBIND11_DIR/usr/lib/cmake/pybind11/pybind11ConfigVersion.cmake"; then
  echo "setup: fetching pybind11-dev $PYBIND11_VERSION"
  trixie_fetch pybind11-dev "$PYBIND11_VERSION"
  rm -rf "$PYBIND11_DIR"
  dpkg -x "$APTDIR"/debs/pybind11-dev_*.deb "$PYBIND11_DIR"
fi

# The wheels' build backend, scikit-build-core, with what it imports that
# Debian 12 lacks or ships too old; pure Python, put on PYTHONPATH by
# scripts/build-wheels.sh for the build only.
WHEEL_TOOLS_DIR="$DEPS/wheel-tools"
WHEEL_TOOLS=(python3-scikit-build-core=0.11.1 python3-pyproject-metadata=0.9.1
             python3-pathspec=0.12.1 python3-packaging=25.0)
WHEEL_TOOLS_STAMP="$WHEEL_TOOLS_DIR/.kivra-packages"
if [ ! -f "$WHEEL_TOOLS_STAMP" ] || [ "$(cat "$WHEEL_TOOLS_STAMP")" != "${WHEEL_TOOLS[*]}" ]; then
  echo "setup: fetching ${WHEEL_TOOLS[*]}"
  rm -rf "$WHEEL_TOOLS_DIR"
  for tool in "${WHEEL_TOOLS[@]}"; do
    trixie_fetch "${tool%%=*}" "${tool#*=}"
    dpkg -x "$APTDIR"/debs/"${tool%%=*}"_*.deb "$WHEEL_TOOLS_DIR"
  done
  echo "${WHEEL_TOOLS[*]}" > "$WHEEL_TOOLS_STAMP"
fi
# uPlot for the page of 'kivra monitor --web' (CMake copies it into the
# package), puppeteer-core for the page's browser test and the MCAP and ROS 2
# readers of the recording tests (tests/readers), at the versions
# of scripts/node/package-lock.json, into .deps/node.
NODE_DIR="$DEPS/node"
if ! command -v npm >/dev/null; then
  echo "setup: installing nodejs npm"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends nodejs npm >/dev/null
fi
if ! cmp -s scripts/node/package-lock.json "$NODE_DIR/package-lock.json" ||
   [ ! -f "$NODE_DIR/node_modules/uplot/dist/uPlot.iife.min.js" ] || [ ! -d "$NODE_DIR/node_modules/puppeteer-core" ] ||
   [ ! -d "$NODE_DIR/node_modules/@mcap/core" ] || [ ! -d "$NODE_DIR/node_modules/@foxglove/rosmsg2-serialization" ]; then
  echo "setup: npm ci into $NODE_DIR"
  rm -rf "$NODE_DIR"
  mkdir -p "$NODE_DIR"
  cp scripts/node/package.json scripts/node/package-lock.json "$NODE_DIR/"
  (cd "$NODE_DIR" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi
echo "setup: ok (pybind11 $PYBIND11_VERSION in $PYBIND11_DIR, scikit-build-core in $WHEEL_TOOLS_DIR)"
bash scripts/setup-aarch64.sh
