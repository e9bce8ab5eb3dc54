#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite with ctest: once as
# released, once built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
export QUILLET_TEST_TOOLS=1

scripts/setup.sh build
(cd build && ctest --output-on-failure -j2)

echo "== The same suite under AddressSanitizer and UndefinedBehaviorSanitizer =="
scripts/setup.sh build-asan -DQUILLET_SANITIZE=ON -DQUILLET_BENCH=OFF
(cd build-asan && ctest --output-on-failure -j2)
