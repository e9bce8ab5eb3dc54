#!/usr/bin/env bash
# Builds the Debian package build/quillet_<version>_<arch>.deb. Installs what is missing first,
# with the AVR toolchain so the package carries the gateway firmware, then builds the package
# target in build/ (which builds everything it installs). Install it with
#   sudo apt install ./build/quillet_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

# CPack's dependency list needs `file` (and dpkg-shlibdeps, which build-essential brings); the
# AVR toolchain builds the gateway firmware that the package carries.
export QUILLET_EXTRA_PACKAGES="file gcc-avr binutils-avr avr-libc"
rm -f build/quillet_*.deb
QUILLET_TARGETS=package scripts/setup.sh build
ls build/quillet_*.deb
