#!/usr/bin/env bash
# One user's whole session, end to end: a real X server, the real program, the simulated
# gateway with an ATtiny2313, driven with the mouse and the keyboard as a user would. Then the
# chip's memories and fuses (the simulator's state file) and the saved log are checked.
#
#   bash session_test.sh QUILLET_BINARY SIMULATOR_BINARY
#
# The window's picture is taken after Verify Program (needs ImageMagick's `import`; skipped
# without it). QUILLET_UPDATE_SCREENSHOT=1 stores it as docs/screenshot.png in the repository.
set -euo pipefail

QUILLET=$(readlink -f "${1:?usage: session_test.sh QUILLET_BINARY SIMULATOR_BINARY}")
SIM=$(readlink -f "${2:?usage: session_test.sh QUILLET_BINARY SIMULATOR_BINARY}")
REPO=$(cd "$(dirname "$0")/../.." && pwd)
# The wiring pictures, drawn into the build folder beside the program.
PICTURES=$(dirname "$QUILLET")/pictures

for tool in Xvfb xdotool timeout awk; do
  if ! command -v "$tool" >/dev/null; then
    echo "FAIL: $tool is missing (scripts/setup.sh installs it)" >&2
    exit 1
  fi
done

# The port name must stay short enough for the port box.
WORK=$(mktemp -d "${TMPDIR:-/tmp}/quillet-e2e.XXXXXX")
if [ ${#WORK} -gt 60 ]; then rmdir "$WORK"; WORK=$(mktemp -d /tmp/quillet-e2e.XXXXXX); fi
XVFB_PID="" SIM_PID="" Q_PID=""
STEP="start-up"
STARTED=$(date +%s.%N)

# ---------------------------------------------------------------- logging and clean-up

log() { awk -v now="$(date +%s.%N)" -v t0="$STARTED" -v m="$*" 'BEGIN {printf "[%6.2fs] %s\n", now - t0, m}'; }
step() { STEP=$*; log "$STEP"; }
fail() { echo "FAIL in step '$STEP': $*" >&2; exit 1; }

alive() {  # a live process of ours (a zombie that was not waited for counts as gone)
  local state
  [ -n "$1" ] && state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) && [ "$state" != Z ]
}

stop() {  # ends one process that this script started, by its id
  local pid=$1
  [ -n "$pid" ] || return 0
  if alive "$pid"; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 100); do alive "$pid" || break; sleep 0.05; done
    alive "$pid" && kill -9 "$pid" 2>/dev/null
  fi
  wait "$pid" 2>/dev/null || true
}

rtf_lines() {  # the text lines of a log saved by the program (one paragraph a line)
  tr -d '\r' <"$1" | sed -n 's/^\\viewkind4\\uc1\\pard\\f0\\fs20 //; s/\\par$//p' |
    sed 's/\\\\/\\/g; s/\\{/{/g; s/\\}/}/g'
}

diagnose() {
  echo "---- diagnostics (kept in $WORK) ----" >&2
  if [ -n "${DISPLAY:-}" ] && command -v import >/dev/null; then
    import -window root "$WORK/failure-screen.png" 2>/dev/null &&
      echo "screen at the failure: $WORK/failure-screen.png" >&2
  fi
  # The log pane, saved through the program itself when it still answers.
  if alive "$Q_PID" && [ -n "${MAIN:-}" ] && [ ! -s "$WORK/session.rtf" ]; then
    ( save_log "$WORK/failure-log.rtf" ) >/dev/null 2>&1 || true
  fi
  for f in "$WORK/session.rtf" "$WORK/failure-log.rtf"; do
    if [ -s "$f" ]; then echo "-- log pane ($f):" >&2; rtf_lines "$f" | sed 's/^/   | /' >&2; fi
  done
  echo "-- quillet output:" >&2; sed 's/^/   | /' "$WORK/quillet.out" >&2 2>/dev/null || true
  echo "-- simulator output:" >&2; sed 's/^/   | /' "$WORK/sim.out" >&2 2>/dev/null || true
  if [ -s "$WORK/trace" ]; then
    echo "-- simulator trace, last 40 of $(wc -l <"$WORK/trace") lines:" >&2
    tail -n 40 "$WORK/trace" | sed 's/^/   | /' >&2
  fi
}

cleanup() {
  local rc=$?
  trap - EXIT
  set +e
  [ $rc -ne 0 ] && diagnose
  stop "$Q_PID"
  stop "$SIM_PID"
  stop "$XVFB_PID"
  if [ $rc -eq 0 ]; then rm -rf "$WORK"; fi
  exit $rc
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# ---------------------------------------------------------------- waiting

# Polls until the command succeeds; fails after SECS seconds, or at once when the program died.
wait_until() {
  local secs=$1; shift
  local deadline=$(($(date +%s%N) + secs * 1000000000))
  until "$@"; do
    if [ -n "$Q_PID" ] && ! alive "$Q_PID"; then fail "quillet ended unexpectedly"; fi
    [ "$(date +%s%N)" -lt $deadline ] || fail "no success within ${secs}s: $*"
    sleep 0.1
  done
}

geometry() {  # prints "x y width height" of a window; -1s when it has gone meanwhile
  xdotool getwindowgeometry --shell "$1" 2>/dev/null |
    awk -F= '{v[$1]=$2} END {if (v["X"] == "") print -1, -1, -1, -1;
                             else print v["X"], v["Y"], v["WIDTH"], v["HEIGHT"]}'
}

visible() { xdotool search --onlyvisible --pid "$Q_PID" 2>/dev/null | grep -qx "$1"; }
gone() { ! visible "$1"; }

# Sets WIN to the first visible window of the program whose title matches the regex.
find_titled() {
  WIN=$(xdotool search --all --onlyvisible --pid "$Q_PID" --name "$1" 2>/dev/null | head -n 1)
  [ -n "$WIN" ]
}
wait_titled() {  # regex [secs]
  wait_until "${2:-20}" find_titled "$1"
}

# Sets POPUP to a visible menu of the program hanging from the main window's menu bar.
find_menu_popup() {
  local w x y wd ht
  POPUP=""
  for w in $(xdotool search --onlyvisible --pid "$Q_PID" 2>/dev/null); do
    [ "$w" = "$MAIN" ] && continue
    read -r x y wd ht < <(geometry "$w")
    if [ "$y" -ge $((MAIN_Y + MENU_H - 4)) ] && [ "$y" -le $((MAIN_Y + MENU_H + 8)) ] &&
       [ "$x" -ge $((MAIN_X - 4)) ] && [ "$x" -le $((MAIN_X + 300)) ]; then
      POPUP=$w
      return 0
    fi
  done
  return 1
}

# The progress dialog (its fixed size tells it apart from our other windows).
no_progress_dialog() {
  local w x y wd ht
  for w in $(xdotool search --onlyvisible --pid "$Q_PID" 2>/dev/null); do
    read -r x y wd ht < <(geometry "$w")
    [ "$wd" = 281 ] && [ "$ht" = 33 ] && return 1
  done
  return 0
}

trace_count() { grep -c -- "$1" "$WORK/trace" 2>/dev/null || true; }
# The value the last "<what> -> XX" line of the trace read; a timing warning may follow it.
trace_value() { sed -n "s/.*$1 -> \([0-9A-F][0-9A-F]\).*/\1/p" "$WORK/trace" | tail -n 1; }
trace_reaches() { [ "$(trace_count "$1")" -ge "$2" ]; }

# ---------------------------------------------------------------- acting

focus() { timeout 5 xdotool windowfocus --sync "$1" || fail "cannot focus window $1"; }

click_at() {  # window x y: a left click at a point relative to the window
  # No --sync: it waits forever when the pointer is already there. The server keeps the
  # order of the move and the click anyway.
  xdotool mousemove --window "$1" "$2" "$3" click 1
}

# The commands block the window until they end, and Qt keeps the input for later meanwhile.
# A menu opened now shows only after every earlier click has been handled, so seeing it open
# (and closing it again by its title) proves the program idle in its main window. A click that
# comes while a modal dialog is still winding up is dropped, not kept: then it is repeated, but
# never while a progress dialog shows that a command runs (two kept clicks would open and close).
settle() {
  local secs=${1:-60} deadline quiet
  deadline=$(($(date +%s%N) + secs * 1000000000))
  POPUP=""
  while [ -z "$POPUP" ]; do
    click_at "$MAIN" "$HELP_X" "$MENU_Y"
    quiet=0
    until find_menu_popup; do
      alive "$Q_PID" || fail "quillet ended unexpectedly"
      [ "$(date +%s%N)" -lt $deadline ] || fail "the program stayed busy for ${secs}s"
      if no_progress_dialog; then quiet=$((quiet + 1)); else quiet=0; fi
      [ $quiet -ge 20 ] && break
      sleep 0.1
    done
  done
  local popup=$POPUP
  for _ in 1 2 3; do
    click_at "$MAIN" "$HELP_X" "$MENU_Y"
    for _ in $(seq 40); do gone "$popup" && break 2; sleep 0.05; done
  done
  gone "$popup" || fail "the Help menu does not close"
  wait_until 10 no_progress_dialog
}

menu() {  # title-x, number of Down presses (Up presses if negative): runs a menu bar item
  local x=$1 downs=$2 keys=() i
  click_at "$MAIN" "$x" "$MENU_Y"
  wait_until 10 find_menu_popup
  for ((i = 0; i < downs; i++)); do keys+=(Down); done
  for ((i = 0; i > downs; i--)); do keys+=(Up); done
  xdotool key --delay 40 "${keys[@]}" Return
  wait_until 10 popup_closed
}
# The popup has gone, or the program with it (File > Exit): its exit status is checked after.
popup_closed() { gone "$POPUP" || ! alive "$Q_PID"; }

answer_yes() {  # the Yes/No warning box, answered with the keyboard
  wait_titled '^Warning$'
  local box=$WIN
  focus "$box"
  xdotool key y
  wait_until 10 gone "$box"
}

file_dialog() {  # title regex, full path: types the path into the file name field
  wait_titled "$1"
  local dialog=$WIN
  focus "$dialog"
  xdotool key ctrl+a
  xdotool type --delay 8 "$2"
  xdotool key Return
  # A completion list may take the first Enter.
  for _ in $(seq 40); do visible "$dialog" || return 0; sleep 0.05; done
  xdotool key Return
  wait_until 10 gone "$dialog"
}

# From the bottom of the File menu: the recent files above come and go.
save_log() { menu "$FILE_X" -2; file_dialog '^Save' "$1"; }

# ---------------------------------------------------------------- the test data

# 64 known bytes at address 0, as Intel HEX with 16-byte records.
PROGRAM_BYTES=()
for i in $(seq 0 63); do PROGRAM_BYTES+=($(((i * 37 + 11) & 0xFF))); done
HEX_FILE="$WORK/blink.hex"
{
  for rec in 0 1 2 3; do
    sum=$((16 + rec * 16))
    line=$(printf ':10%04X00' $((rec * 16)))
    for j in $(seq 0 15); do
      b=${PROGRAM_BYTES[$((rec * 16 + j))]}
      line+=$(printf '%02X' "$b")
      sum=$((sum + b))
    done
    printf '%s%02X\r\n' "$line" $(((256 - (sum & 0xFF)) & 0xFF))
  done
  printf ':00000001FF\r\n'
} >"$HEX_FILE"
PROGRAM_HEX=$(printf '%02X' "${PROGRAM_BYTES[@]}")
EEPROM_DIGITS=A5  # typed into the first byte of the data view

# ---------------------------------------------------------------- start-up

step "start Xvfb on a free display"
# -noreset: the server would otherwise reset when its last client (a readiness probe) leaves,
# and a program connecting in that moment dies.
Xvfb -displayfd 3 -noreset -screen 0 1280x1024x24 -nolisten tcp 3>"$WORK/display" >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
display_known() { [ -s "$WORK/display" ] || { alive "$XVFB_PID" || fail "Xvfb did not start: $(cat "$WORK/xvfb.log")"; false; }; }
wait_until 20 display_known
DISPLAY=":$(head -n 1 "$WORK/display")"
export DISPLAY
x_ready() { xdotool getdisplaygeometry >/dev/null 2>&1; }
wait_until 20 x_ready
log "display $DISPLAY"

step "start the simulated gateway with an ATtiny2313"
# The simulator dates each byte by the time it reads it, so when it is kept waiting for the
# CPU it sees a write's pause as too short and counts a timing violation that never was.
# A higher priority keeps it on time on a busy machine, where we are allowed to ask for one.
BOOST=()
if chrt -r 1 true 2>/dev/null; then BOOST=(chrt -r 1)
elif nice -n -10 true 2>/dev/null; then BOOST=(nice -n -10)
fi
"${BOOST[@]}" "$SIM" --link "$WORK/gw" --chip ATtiny2313 --state "$WORK/state" --trace "$WORK/trace" \
  >"$WORK/sim.out" 2>&1 &
SIM_PID=$!
link_ready() { [ -e "$WORK/gw" ] || { alive "$SIM_PID" || fail "simulator ended"; false; }; }
wait_until 10 link_ready

step "start quillet --port $WORK/gw"
export XDG_RUNTIME_DIR="$WORK/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
# The program remembers its set-up: keep the user's own settings out of the test and back.
export XDG_CONFIG_HOME="$WORK/config"
export ASAN_OPTIONS=detect_leaks=0
unset QT_QPA_PLATFORMTHEME QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS QT_STYLE_OVERRIDE
[ -d "$PICTURES" ] || fail "no pictures at $PICTURES"
(cd "$PICTURES" && QT_QPA_PLATFORM=xcb exec "$QUILLET" --port "$WORK/gw") >"$WORK/quillet.out" 2>&1 &
Q_PID=$!
wait_titled '^Quillet$' 30
MAIN=$WIN
read -r MAIN_X MAIN_Y MAIN_W MAIN_H < <(geometry "$MAIN")
log "main window $MAIN at $MAIN_X,$MAIN_Y, ${MAIN_W}x$MAIN_H"
# The client area is 529 pixels high; the menu bar takes the rest.
MENU_H=$((MAIN_H - 529))
if [ "$MENU_H" -lt 10 ] || [ "$MENU_H" -gt 40 ]; then fail "unexpected window height $MAIN_H"; fi
MENU_Y=$((MENU_H / 2))
FILE_X=19 EDIT_X=51 HELP_X=157
settle 20

# Control centres within the client area, which starts below the menu bar.
declare -A CONTROL=(
  [Connect]="48 14" [DelayRightEnd]="336 56" [Autosearch]="138 24"
  [ReadProgram]="49 90" [WriteProgram]="126 90" [VerifyProgram]="204 90" [WriteData]="126 110"
  # the data view's address column: page control at 128, its tabs, the view at 176 of the page
  [DataViewAddress]="28 $((128 + 24 + 176 + 30))"
)
click_control() {
  local x y
  read -r x y <<<"${CONTROL[$1]}"
  click_at "$MAIN" "$x" $((y + MENU_H))
}

# ---------------------------------------------------------------- the session

step "Connect"
click_control Connect
settle

# A longer delay between the gateway steps leaves room for a busy machine's scheduling: the
# simulated chip must never see a write's pause cut short (see the priority above).
step "Delays value: to the right end (5)"
for _ in 1 2 3 4 5; do click_control DelayRightEnd; done
settle

step "Autosearch chip"
click_control Autosearch
settle
trace_reaches 'Read signature byte 2' 1 || fail "the signature was not read"

step "Read Program"
click_control ReadProgram
settle

step "Load Program from File... $HEX_FILE"
menu "$FILE_X" 1
file_dialog '^Open$' "$HEX_FILE"
settle

step "Write Program (Yes)"
click_control WriteProgram
answer_yes
settle 120
trace_reaches 'Write page at word 03F0' 1 || fail "the last Flash page was not written"

step "Verify Program"
click_control VerifyProgram
settle

if command -v import >/dev/null; then
  SHOT="$WORK/screenshot.png"
  [ "${QUILLET_UPDATE_SCREENSHOT:-}" = 1 ] && SHOT="$REPO/docs/screenshot.png"
  step "screenshot of the main window into $SHOT"
  xdotool mousemove 1 1  # no hover highlight in the picture
  sleep 0.3
  import -window "$MAIN" "$SHOT"
else
  log "ImageMagick's import is missing: no screenshot"
fi

step "type $EEPROM_DIGITS into the first byte of the data view"
focus "$MAIN"
click_control DataViewAddress
# Up to the first line, still in the address column; a key there steps onto the first digit.
xdotool key --delay 20 Up Up Up Up Up Up Up Up Up Up 0
xdotool type --delay 40 "$(echo "$EEPROM_DIGITS" | tr 'A-F' 'a-f')"
settle

step "Write Data (Yes)"
click_control WriteData
answer_yes
settle 60

step "Edit > Lock & Fuses..."
menu "$EDIT_X" 1
wait_titled '^Lock & Fuses$'
LF=$WIN

# The dialog lays itself out: its width follows its longest setting, its groups stand at the
# top left; the buttons share the row under the groups 5:3:3 (Save & Close, Read, Write).
read -r _ _ LF_W _ < <(geometry "$LF")
LF_BUTTON_Y=233
lf_button() { echo $((4 + (LF_W - 8) * $1 / 22)); }  # the centre of a button, in 22nds
step "Lock & Fuses: Read"
click_at "$LF" "$(lf_button 13)" "$LF_BUTTON_Y"
wait_until 20 trace_reaches 'Read fuse low' 1
wait_until 10 no_progress_dialog
LOW_READ=$(trace_value 'Read fuse low')
log "low fuse read: $LOW_READ"

step "Lock & Fuses: toggle CKSEL0, Write"
click_at "$LF" 24 175
click_at "$LF" "$(lf_button 19)" "$LF_BUTTON_Y"
wait_until 20 trace_reaches 'Write lock bits' 1
wait_until 10 no_progress_dialog

step "Lock & Fuses: close with OK"
click_at "$LF" "$(lf_button 5)" "$LF_BUTTON_Y"
wait_until 10 gone "$LF"
settle

step "File > Save Log as... $WORK/session.rtf"
save_log "$WORK/session.rtf"
settle
[ -s "$WORK/session.rtf" ] || fail "no log file was written"

step "File > Exit"
menu "$FILE_X" -1
exited() { ! alive "$Q_PID"; }
wait_until 30 exited
Q_STATUS=0
wait "$Q_PID" || Q_STATUS=$?
Q_PID=""
[ "$Q_STATUS" -eq 0 ] || fail "quillet exited with status $Q_STATUS"

step "stop the simulator (it saves the chip's state)"
stop "$SIM_PID"
SIM_PID=""

# ---------------------------------------------------------------- checks

step "check the chip's state"
[ -s "$WORK/state" ] || fail "no state file"
state() { awk -v k="$1" '$1 == k {sub(/^[^ ]+ /, ""); print; exit}' "$WORK/state" | tr 'a-f' 'A-F'; }
FLASH=$(state flash)
[ ${#FLASH} -eq 4096 ] || fail "Flash is ${#FLASH} digits long, not 4096"
[ "${FLASH:0:128}" = "$PROGRAM_HEX" ] ||
  fail "Flash starts with ${FLASH:0:128}, expected $PROGRAM_HEX"
[[ ${FLASH:128} =~ ^(FF)+$ ]] || fail "Flash after the program is not erased: ${FLASH:128:64}..."
EEPROM=$(state eeprom)
[ "${EEPROM:0:2}" = "$EEPROM_DIGITS" ] || fail "EEPROM byte 0 is ${EEPROM:0:2}, expected $EEPROM_DIGITS"
[[ ${EEPROM:2} =~ ^(FF)+$ ]] || fail "EEPROM holds more than the typed byte: ${EEPROM:0:64}..."
read -r FUSE_LOW FUSE_HIGH FUSE_EXT < <(state fuses)
EXPECTED_LOW=$(printf '%02X' $((0x$LOW_READ ^ 0x01)))
[ "$FUSE_LOW" = "$EXPECTED_LOW" ] || fail "low fuse $FUSE_LOW, expected $EXPECTED_LOW (read $LOW_READ, CKSEL0 toggled)"
HIGH_READ=$(trace_value 'Read fuse high')
[ "$FUSE_HIGH" = "$HIGH_READ" ] || fail "high fuse changed: $HIGH_READ -> $FUSE_HIGH"
[ "$(state lock)" = FF ] || fail "lock bits $(state lock), expected FF"
[ "$(state violations)" = 0 ] || fail "$(state violations) timing violations"
log "Flash, EEPROM, fuses ($FUSE_LOW $FUSE_HIGH $FUSE_EXT), lock bits: as expected"

step "check the saved log"
rtf_lines "$WORK/session.rtf" >"$WORK/session.txt"
# In this order (glob patterns); other lines may come between them.
EXPECTED=(
  "The COM-port is open: $WORK/gw"
  "Selected chip is  ATtiny2313"
  "Trying to read the program" "Start time: *" "       Finished" "End time: *"
  "Loading program from file: $HEX_FILE" "Operation complete"
  "Trying to write the program" "Start time: *" "       Finished" "End time: *"
  "Trying to verify the program" "Start time: *"
  "       Finished. No differences found." "End time: *"
  "Trying to write the EEPROM" "Start time: *" "       Finished" "End time: *"
  "Trying to read lock-bits" "       Finished with success."
  "Trying to read fuse extended byte" "       Finished with success."
  "Trying to read fuse high byte" "       Finished with success."
  "Trying to read fuse low byte" "       Finished with success."
  "Trying to write fuse extended byte" "       Finished with success."
  "Trying to write fuse high byte" "       Finished with success."
  "Trying to write fuse low byte" "       Finished with success."
  "Trying to write lock-bits" "       Finished with success."
)
next=0
while IFS= read -r line && [ $next -lt ${#EXPECTED[@]} ]; do
  # shellcheck disable=SC2053  # the expected line is a pattern
  [[ $line == ${EXPECTED[$next]} ]] && next=$((next + 1))
done <"$WORK/session.txt"
[ $next -eq ${#EXPECTED[@]} ] || fail "the saved log lacks, in order: '${EXPECTED[$next]}'"
# Exit closes the port after the save; nothing failed on the way.
for bad in "The COM-port is closed" "Error" "with fail" "Wrong file" "No chip selected" \
           "Log saved to file"; do
  if grep -qF -- "$bad" "$WORK/session.txt"; then fail "the saved log holds '$bad'"; fi
done
log "saved log: $(wc -l <"$WORK/session.txt") lines, as expected"

step "passed"
