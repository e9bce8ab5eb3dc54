#!/usr/bin/env bash
# The installed program, moved away from where it was installed and from any build folder's
# reach: installs into a temporary prefix, moves the prefix, then starts the installed window
# offscreen (with the probe plugin looking inside it) and the installed quillet-cli, and
# formats every manual page.
#
#   bash install_test.sh BUILD_DIR PROBE_PLUGIN_DIR
#
# One installed picture is damaged on purpose: its chip must report "cannot be read", which
# proves the installed pictures are looked up before the build folder's intact copy.
set -euo pipefail

BUILD=$(readlink -f "${1:?usage: install_test.sh BUILD_DIR PROBE_PLUGIN_DIR}")
PROBE=$(readlink -f "${2:?usage: install_test.sh BUILD_DIR PROBE_PLUGIN_DIR}")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/quillet-install.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

for tool in man timeout desktop-file-validate appstreamcli; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (QUILLET_TEST_TOOLS=1 scripts/setup.sh installs it)" >&2; exit 1; }
done

cmake --install "$BUILD" --prefix "$WORK/installed" >"$WORK/install.log" || { cat "$WORK/install.log" >&2; exit 1; }
mv "$WORK/installed" "$WORK/moved"
P="$WORK/moved"

# ---- the layout: what the install rules promise
expected=(
  bin/quillet bin/quillet-cli bin/quillet-gateway-sim
  share/doc/quillet/README.md share/doc/quillet/user-guide.md share/doc/quillet/gateway.md
  share/doc/quillet/simulator.md share/doc/quillet/copyright share/doc/quillet/changelog.gz
  share/man/man1/quillet.1.gz share/man/man1/quillet-cli.1.gz share/man/man1/quillet-gateway-sim.1.gz
  share/applications/quillet.desktop share/icons/hicolor/scalable/apps/quillet.svg
  share/metainfo/quillet.metainfo.xml
)
FIRMWARE=""
for hex in "$BUILD"/firmware/*.hex; do
  [ -e "$hex" ] && expected+=("share/quillet/firmware/$(basename "$hex")")
done
if [ -x "$BUILD/sim/avr/quillet-gateway-avr" ]; then
  FIRMWARE=share/quillet/firmware/$(basename "$BUILD"/firmware/*.elf)
  expected+=(bin/quillet-gateway-avr share/man/man1/quillet-gateway-avr.1.gz "$FIRMWARE")
fi
for file in "${expected[@]}"; do
  [ -f "$P/$file" ] || fail "not installed: $file"
done
pictures=$(find "$P/share/quillet/pictures" -name '*.jpg' | wc -l)
[ "$pictures" -ge 25 ] || fail "only $pictures pictures installed in share/quillet/pictures"
if grep -rqs -- "$BUILD" "$P/share/applications" "$P/share/metainfo"; then
  fail "the menu entry or the metadata names the build folder"
fi

# ---- the window, offscreen, looked at by the probe
DAMAGED=ATtiny2313
[ -f "$P/share/quillet/pictures/$DAMAGED.jpg" ] || fail "no picture of $DAMAGED to damage"
echo "not a picture" >"$P/share/quillet/pictures/$DAMAGED.jpg"
mkdir "$WORK/elsewhere"
status=0
(cd "$WORK/elsewhere" && XDG_CONFIG_HOME="$WORK/config" QT_QPA_PLATFORM=offscreen QT_PLUGIN_PATH="$PROBE" QT_QPA_GENERIC_PLUGINS=quilletprobe \
  timeout 120 "$P/bin/quillet" >"$WORK/probe.out" 2>"$WORK/probe.err") || status=$?
if [ "$status" -ne 0 ] || ! grep -qx 'probe: done' "$WORK/probe.out"; then
  fail "the installed quillet ended with status $status without the probe's report"
  cat "$WORK/probe.out" "$WORK/probe.err" >&2
fi
shown=0
while IFS= read -r line; do
  chip=${line#chip }; chip=${chip%%: *}; result=${line#*: }
  if [ "$chip" = "$DAMAGED" ]; then
    [[ $result == message*"cannot be read"* ]] || fail "$DAMAGED: the damaged installed picture was not the one used: $result"
  elif [ -f "$P/share/quillet/pictures/$chip.jpg" ]; then
    if [[ $result == shown* ]]; then shown=$((shown + 1)); else fail "$chip: its installed picture was not shown: $result"; fi
  fi
done < <(grep '^chip ' "$WORK/probe.out" || true)
[ "$shown" -ge 24 ] || fail "only $shown chips showed their installed picture"

links=(Label5:gateway.md Label7:README.md Label11:user-guide.md)
for link in "${links[@]}"; do
  label=${link%%:*} document=${link#*:}
  opened=$(sed -n "s/^link $label: //p" "$WORK/probe.out")
  [ "$opened" = "$P/share/doc/quillet/$document" ] || fail "$label opened '$opened', not $P/share/doc/quillet/$document"
done

# ---- the command line
if ! "$P/bin/quillet-cli" --list-parts >"$WORK/parts.out" 2>&1; then
  fail "quillet-cli --list-parts failed"; cat "$WORK/parts.out" >&2
elif ! grep -q '^ATtiny2313 ' "$WORK/parts.out"; then
  fail "quillet-cli --list-parts does not list the ATtiny2313"
fi

# The simulated Arduino runs the installed firmware: damaged, it must be the one refused.
if [ -n "$FIRMWARE" ]; then
  echo "not firmware" >"$P/$FIRMWARE"
  status=0
  timeout 20 "$P/bin/quillet-gateway-avr" --no-chip >"$WORK/avr.out" 2>&1 || status=$?
  [ "$status" -eq 1 ] && grep -qF "$P/$FIRMWARE" "$WORK/avr.out" ||
    fail "quillet-gateway-avr did not look for its installed firmware (status $status): $(cat "$WORK/avr.out")"
fi

# ---- manual pages, desktop entry, metadata
for page in "$P"/share/man/man1/*.1.gz; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man -l $(basename "$page") failed"
  [ -z "$warnings" ] || fail "man -l $(basename "$page") warns: $warnings"
done
desktop-file-validate "$P/share/applications/quillet.desktop" || fail "desktop-file-validate"
# The one warning kept: the id is the program's name, as its desktop file's, not a reversed domain.
issues=$(appstreamcli validate --no-net "$P/share/metainfo/quillet.metainfo.xml" 2>&1 |
  grep -E '^[EW]:' | grep -v 'cid-desktopapp-is-not-rdns' || true)
[ -z "$issues" ] || fail "appstreamcli validate: $issues"

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s); the probe said:" >&2
  cat "$WORK/probe.out" >&2
  exit 1
fi
echo "installed, moved and started: $shown chips showed their pictures, 3 links inside the prefix, ${#expected[@]} files in place"
