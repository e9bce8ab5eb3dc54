#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite with ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
export QT_QPA_PLATFORM=offscreen
(cd build && ctest --output-on-failure -j2)
