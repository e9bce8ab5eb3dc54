#!/usr/bin/env bash
# The Debian package: built with CPack from the build folder into a temporary folder, its
# files listed against what the install rules install under /usr, its control fields and
# dependencies checked, and lintian run on it (no errors).
#
#   bash package_test.sh BUILD_DIR
set -euo pipefail

BUILD=$(readlink -f "${1:?usage: package_test.sh BUILD_DIR}")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/quillet-package.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

for tool in cpack dpkg-deb dpkg-shlibdeps file lintian; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (QUILLET_TEST_TOOLS=1 scripts/setup.sh installs it)" >&2; exit 1; }
done

cpack --config "$BUILD/CPackConfig.cmake" -B "$WORK/out" >"$WORK/cpack.log" 2>&1 || { cat "$WORK/cpack.log" >&2; exit 1; }
debs=("$WORK"/out/quillet_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: no single quillet_*.deb: ${debs[*]}" >&2; exit 1; }
DEB=${debs[0]}
version=$(sed -n 's/^project(Quillet VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
[ "$(basename "$DEB")" = "quillet_${version}_$(dpkg --print-architecture).deb" ] || fail "file name $(basename "$DEB")"

# ---- its contents are exactly what the install rules put under /usr
DESTDIR="$WORK/root" cmake --install "$BUILD" --prefix /usr >/dev/null
(cd "$WORK/root" && find . -type f -o -type l | sort) >"$WORK/rules.list"
dpkg-deb --fsys-tarfile "$DEB" | tar -t | grep -v '/$' | sort >"$WORK/deb.list"
if ! diff -u "$WORK/rules.list" "$WORK/deb.list" >"$WORK/contents.diff"; then
  fail "the package's files differ from the install rules' (- rules, + package):"
  cat "$WORK/contents.diff" >&2
fi
for file in ./usr/bin/quillet ./usr/bin/quillet-cli ./usr/bin/quillet-gateway-sim \
    ./usr/share/man/man1/quillet-cli.1.gz ./usr/share/applications/quillet.desktop \
    ./usr/share/doc/quillet/user-guide.md ./usr/share/doc/quillet/copyright; do
  grep -qxF "$file" "$WORK/deb.list" || fail "the package lacks $file"
done
grep -q '^\./usr/share/quillet/pictures/.*\.jpg$' "$WORK/deb.list" || fail "the package has no pictures"

# ---- control fields: the package's own run-time needs, none of the build's or the tests'
field() { dpkg-deb --field "$DEB" "$1"; }
[ "$(field Package)" = quillet ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), project $version"
depends=$(field Depends)
for needed in fonts-liberation qt6-qpa-plugins libqt6widgets6 libqt6serialport6 libjpeg62-turbo libc6; do
  [[ ", $depends," == *", $needed "* || ", $depends," == *", $needed,"* ]] || fail "Depends lacks $needed: $depends"
done
for tool in avrdude gcc-avr binutils-avr avr-libc srecord xvfb xdotool xauth lintian man-db appstream \
    desktop-file-utils libgtest libgmock googletest libbenchmark cmake ninja-build; do
  [[ ", $depends," != *", $tool"* ]] || fail "Depends names the build or test tool $tool: $depends"
done
[ -n "$(field Maintainer)" ] && [ -n "$(field Description)" ] || fail "no Maintainer or Description"

# ---- lintian: errors fail, warnings are shown
lintian --allow-root "$DEB" >"$WORK/lintian.out" 2>&1 || true
grep -v '^N:' "$WORK/lintian.out" || true
if grep -q '^E:' "$WORK/lintian.out"; then fail "lintian reports errors"; fi

[ "$failures" -eq 0 ] || exit 1
echo "$(basename "$DEB"): $(wc -l <"$WORK/deb.list") files as the install rules say; Depends: $depends"
