#!/usr/bin/env bash
# Builds Quillet, starts the simulated gateway on a pseudo-terminal with a simulated chip,
# and starts Quillet pointed at it. Extra arguments go to the simulator (e.g. --chip ATtiny85).
set -euo pipefail
cd "$(dirname "$0")/.."
# Only what this command runs: the program with its pictures and documents, and the simulator.
QUILLET_TARGETS="quillet quillet-gateway-sim pictures quillet-docs" scripts/setup.sh build

LINK="${TMPDIR:-/tmp}/quillet-gateway-$$"
STATE="${TMPDIR:-/tmp}/quillet-chip-state"
if [ $# -eq 0 ]; then set -- --chip ATtiny2313; fi
build/quillet-gateway-sim --link "$LINK" --state "$STATE" "$@" &
SIM=$!
trap 'kill $SIM 2>/dev/null; rm -f "$LINK"' EXIT
for _ in $(seq 50); do [ -e "$LINK" ] && break; sleep 0.1; done
# The program finds its pictures and documents beside itself in the build folder.
build/quillet --port "$LINK"
