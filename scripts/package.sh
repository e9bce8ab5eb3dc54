#!/usr/bin/env bash
# Builds the Debian package build/quillet_<version>_<arch>.deb. Installs what is missing first,
# with the AVR toolchain so the package carries the gateway firmware, then builds the package
# target in build/ (which builds everything it installs). Install it with
#   sudo apt install ./build/quillet_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

# CPack's dependency list needs `file` (and dpkg-shlibdeps, which build-essential brings).
PACKAGE_TOOLS=(file gcc-avr binutils-avr avr-libc)
missing=()
for p in "${PACKAGE_TOOLS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

rm -f build/quillet_*.deb
QUILLET_TARGETS=package scripts/setup.sh build
ls build/quillet_*.deb
