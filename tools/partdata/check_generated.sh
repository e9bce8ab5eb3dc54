#!/usr/bin/env bash
# The generated chip tables must be what their generators make of the committed extract
# (atdf-facts.txt), avr-libc's headers and avrdude's part file: a table edited by hand, or a
# generator changed without running it, fails here.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
export PYTHONDONTWRITEBYTECODE=1
skip() { echo "SKIP: $1"; exit 77; }
command -v python3 >/dev/null || skip "python3 is missing"
[ -f /usr/lib/avr/include/avr/io.h ] || skip "avr-libc's headers are missing (Debian package avr-libc)"
[ -f /etc/avrdude.conf ] || skip "/etc/avrdude.conf is missing (Debian package avrdude)"
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
python3 "$HERE/partdata.py" --out "$OUT/PartTable.cpp" >/dev/null
python3 "$HERE/fusefields.py" --out "$OUT/FuseFields.cpp" >/dev/null
status=0
for f in PartTable.cpp FuseFields.cpp; do
  if ! diff -u "$REPO/chips/generated/$f" "$OUT/$f" >"$OUT/$f.diff"; then
    echo "FAIL: chips/generated/$f is not what its generator makes; run it again (tools/partdata/partdata.py or fusefields.py):"
    head -40 "$OUT/$f.diff"
    status=1
  fi
done
[ $status = 0 ] && echo "chips/generated/ is what the generators make"
exit $status
