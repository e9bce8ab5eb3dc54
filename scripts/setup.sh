#!/usr/bin/env bash
# Installs the Debian packages Quillet needs (only the missing ones) and builds it.
# Usage: scripts/setup.sh [build-dir] [extra cmake args...]
# QUILLET_TARGETS="a b ..." builds only those targets (and what they need); unset, everything.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-serialport-dev libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev libjpeg62-turbo-dev libelf-dev libedit-dev
  xvfb xauth xdotool openbox x11-apps srecord fonts-liberation)
# The test command also checks files made by an AVR toolchain build, and the installed tree and
# the Debian package, and runs the gateway firmware on the simulated Arduino (libsimavr; its
# pkg-config file needs libelf-dev, which the build takes anyway), and checks the generated chip
# tables against their generators (python3) and the changed sources against the house style
# (clang-format, clang-tidy).
if [ "${QUILLET_TEST_TOOLS:-0}" = 1 ]; then
  PACKAGES+=(gcc-avr binutils-avr avr-libc avrdude man-db desktop-file-utils appstream lintian
    simavr libsimavr-dev file python3 clang-format clang-tidy)
fi
# Packages a caller needs besides, e.g. the package command's.
# shellcheck disable=SC2206
PACKAGES+=(${QUILLET_EXTRA_PACKAGES:-})

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

BUILD_DIR="${1:-build}"
shift || true
cmake -S . -B "$BUILD_DIR" -G Ninja "$@" >/dev/null
TARGETS=()
read -r -a TARGETS <<<"${QUILLET_TARGETS:-}"
if [ ${#TARGETS[@]} -gt 0 ]; then
  cmake --build "$BUILD_DIR" --target "${TARGETS[@]}"
else
  cmake --build "$BUILD_DIR"
fi
