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
  python3-serial python3-matplotlib
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

# pybind11 2.13: Debian 12 only ships 2.10, so take the header-only package of
# the next Debian release through a private apt configuration that leaves the
# system's own sources, lists and cache alone.
PYBIND11_VERSION=2.13.6
PYBIND11_DIR="$DEPS/pybind11"
if [ ! -f "$PYBIND11_DIR/usr/lib/cmake/pybind11/pybind11Config.cmake" ] ||
   ! grep -q "PACKAGE_VERSION \"$PYBIND11_VERSION\"" "$PYBIND11_DIR/usr/lib/cmake/pybind11/pybind11ConfigVersion.cmake"; then
  echo "setup: fetching pybind11-dev $PYBIND11_VERSION"
  APTDIR="$DEPS/apt-trixie"
  mkdir -p "$APTDIR/lists/partial" "$APTDIR/cache/archives/partial" "$APTDIR/etc" "$APTDIR/debs"
  echo "deb http://deb.debian.org/debian trixie main" > "$APTDIR/etc/sources.list"
  : > "$APTDIR/etc/status"
  APTOPTS=(-o "Dir::Etc::SourceList=$APTDIR/etc/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
           -o "Dir::State::Lists=$APTDIR/lists" -o "Dir::Cache=$APTDIR/cache"
           -o "Dir::State::status=$APTDIR/etc/status" -o "APT::Architectures::=amd64"
           -o "Acquire::Languages=none" -o "APT::Sandbox::User=root")
  apt-get "${APTOPTS[@]}" update -qq
  deb_version=$(apt-cache "${APTOPTS[@]}" madison pybind11-dev | awk -F'|' -v v="$PYBIND11_VERSION" '$2 ~ v {gsub(/ /,"",$2); print $2; exit}')
  [ -n "$deb_version" ] || { echo "setup: pybind11-dev $PYBIND11_VERSION not found" >&2; exit 1; }
  (cd "$APTDIR/debs" && rm -f pybind11-dev_*.deb && apt-get "${APTOPTS[@]}" download -qq "pybind11-dev=$deb_version")
  rm -rf "$PYBIND11_DIR"
  dpkg -x "$APTDIR"/debs/pybind11-dev_*.deb "$PYBIND11_DIR"
fi
echo "setup: ok (pybind11 $PYBIND11_VERSION in $PYBIND11_DIR)"
bash scripts/setup-aarch64.sh
