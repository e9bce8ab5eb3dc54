#!/usr/bin/env bash
# Builds the file reader's fuzzer (Intel HEX, S-record, ELF, binary, dump text) with clang's
# libFuzzer and runs it under AddressSanitizer and UndefinedBehaviorSanitizer.
#   tools/fuzz_hex.sh [seconds (default 600)] [work directory (default /tmp/quillet-fuzz-hex)]
# Findings (crash-*, leak-*, timeout-*) are left in the work directory.
set -euo pipefail

seconds=${1:-600}
work=${2:-/tmp/quillet-fuzz-hex}
root=$(cd "$(dirname "$0")/.." && pwd)
cxx=${CXX_FUZZ:-clang++}

mkdir -p "$work/corpus"
sources=$(ls "$root"/log/*.cpp "$root"/link/*.cpp "$root"/chips/*.cpp "$root"/image/*.cpp \
  "$root"/commands/*.cpp)
echo "building $work/fuzz_hex"
# shellcheck disable=SC2086
"$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root" "$root/tools/fuzz_hex.cpp" $sources -o "$work/fuzz_hex" -lelf -lutil -pthread

# Seeds: a few hand-made files covering every record type and line break, and srec_cat's
# output when it is installed.
seed() { printf '%b' "$2" > "$work/corpus/seed-$1"; }
seed data ':0400100001020304E2\r\n:00000001FF'
seed lf ':02002000abcd66\n:00000001ff\n'
seed cr '\r:01003000428D\r\r  \r:00000001FF\r'
seed segment ':020000020010EC\r\n:010005007783\r\n:00000001FF'
seed linear ':020000040001F9\r\n:0100000055AA\r\n:00000001FF'
seed type3 ':0100000022DD\r\n:0400000300001000E9\r\n:00000001FF'
seed type5 ':04000005000000C037\r\n:00000001FF'
seed checksum ':0100010033CC\r\n:00000001FF'
seed short ':0200010033CA\r\n'
seed srec 'S00600004844521B\r\nS1070000010203046E\r\nS5030001FB\r\nS9030000FC\r\n'
seed srec3 'S30900010000AABBCCDDEB\nS70500000000FA\n'
# An ELF header whose section count (0, the real one in section 0) claims a million sections:
# the section table fits in the grown file the harness reads it from, not in the input.
seed elf-claims '\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x53\0\x01\0\0\0\0\0\0\0\0\0\0\0\x34\0\0\0\0\0\0\0\x34\0\x20\0\0\0\x28\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x10\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0'
if command -v srec_cat >/dev/null 2>&1; then
  head -c 300 /dev/urandom > "$work/r.bin"
  srec_cat "$work/r.bin" -binary -offset 0xFFC0 -o "$work/corpus/seed-srec1" -intel -line-length=30
  srec_cat "$work/r.bin" -binary -o "$work/corpus/seed-srec2" -intel -address-length=3 -crlf
  srec_cat "$work/r.bin" -binary -o "$work/corpus/seed-srec3" -intel -execution-start-address=0
  srec_cat "$work/r.bin" -binary -offset 0x100 -o "$work/corpus/seed-srec4" -motorola
fi
# An ELF program as avr-gcc builds it, with EEPROM, when the toolchain is installed.
if command -v avr-gcc >/dev/null 2>&1; then
  printf '%s\n' '#include <avr/eeprom.h>' 'char EEMEM e[4] = {1, 2, 3, 4};' \
    'volatile char d[3] = {5, 6, 7};' 'int main(void) { return d[1] + eeprom_read_byte(e); }' \
    > "$work/p.c"
  avr-gcc -mmcu=attiny85 -Os "$work/p.c" -o "$work/corpus/seed-elf" || true
fi

cd "$work"
exec ./fuzz_hex -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 corpus
