#!/usr/bin/env bash
# Builds what the endurance run needs (if missing or stale) and runs it:
# 1000 connect/disconnect cycles and 50 Read Program + Verify Program cycles of an ATtiny2313
# against the unpaced simulator program. Exits non-zero when a failure line was logged or
# memory grew beyond the noise margin.
#
# Usage: bench/endurance.sh [connect cycles] [read+verify cycles]
#   BUILD_DIR   build directory to use (default: build-endurance beside this folder)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build-endurance}"

if [[ ! -f "$BUILD_DIR/build.ninja" ]]; then
  cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD_DIR" --target quillet_commands quillet_core quillet-gateway-sim -j2

# The benchmark glob takes *_bench.cpp only; this program is built here, against the core.
BIN="$BUILD_DIR/endurance"
SRC="$ROOT/bench/endurance.cpp"
LIBS=("$BUILD_DIR/libquillet_commands.a" "$BUILD_DIR/libquillet_core.a")
if [[ ! -x "$BIN" || "$SRC" -nt "$BIN" || "$ROOT/tests/support/SimProcess.cpp" -nt "$BIN" || "${LIBS[0]}" -nt "$BIN" || "${LIBS[1]}" -nt "$BIN" ]]; then
  "${CXX:-c++}" -std=c++20 -O2 -g -Wall -Wextra -I"$ROOT" -I"$ROOT/tests" \
    -DQUILLET_SIM_BINARY="\"$BUILD_DIR/quillet-gateway-sim\"" \
    "$SRC" "$ROOT/tests/support/SimProcess.cpp" "${LIBS[@]}" -pthread -o "$BIN"
fi

exec "$BIN" "$@"
