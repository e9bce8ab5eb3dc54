#!/usr/bin/env bash
# The fast transfers under one line fault at every byte of their set-up and first blocks, both
# directions, flip, loss, repetition and delay, on a byte-write chip and a page chip, reads and
# verified writes: prints the number of cases and how many ended in success; any read that
# changed the chip, success with wrong contents or hang fails it. Every byte takes many hours;
# a stride samples every N-th byte.
# Usage: bench/fault_sweep.sh [build-dir] [stride]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
mkdir -p "$BUILD/tests/files/sweep"
TEST_TMPDIR="$BUILD/tests/files/sweep/" QUILLET_FAULT_SWEEP="${2:-full}" QT_QPA_PLATFORM=offscreen "$BUILD/tests/integration_fast_faults_test" 2>&1 |
  grep -v '^state file'
