#!/usr/bin/env bash
# Since the formatter's configuration came in: commit subjects of at most 72 characters, and
# the C and C++ files changed (and those not yet committed) in clang-format's layout and clean
# of clang-tidy's checks, with the build's compile commands (the build folder, default build/).
# Generated tables are left out.
# Usage: scripts/lint.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
skip() { echo "SKIP: $1"; exit 77; }
command -v clang-format >/dev/null || skip "clang-format is missing (Debian package clang-format)"
command -v clang-tidy >/dev/null || skip "clang-tidy is missing (Debian package clang-tidy)"
git rev-parse --git-dir >/dev/null 2>&1 || skip "not a git checkout"
BASE=$(git log --diff-filter=A --format=%H -- .clang-format | tail -1)
[ -n "$BASE" ] || skip ".clang-format is not committed yet"
mapfile -t FILES < <(git diff --name-only --diff-filter=ACMR "$BASE^" -- '*.cpp' '*.h' '*.c' |
  grep -v '^chips/generated/' || true)
mapfile -t UNTRACKED < <(git ls-files --others --exclude-standard -- '*.cpp' '*.h' '*.c')
FILES+=("${UNTRACKED[@]}")
status=0
# Commit subjects say what changed in at most 72 characters.
while IFS= read -r subject; do
  if [ ${#subject} -gt 72 ]; then
    echo "FAIL: a commit subject over 72 characters: $subject"
    status=1
  fi
done < <(git log --no-merges --format=%s "$BASE^..HEAD")
[ ${#FILES[@]} -gt 0 ] || { echo "no C or C++ file changed since $BASE"; exit $status; }
for f in "${FILES[@]}"; do
  [ -f "$f" ] || continue
  if ! clang-format --dry-run --Werror "$f" 2>/dev/null; then
    echo "FAIL: $f is not formatted: clang-format -i $f"
    status=1
  fi
done
# clang-tidy needs each source's compile command: the ones the build knows.
if [ -f "$BUILD_DIR/compile_commands.json" ]; then
  for f in "${FILES[@]}"; do
    [[ "$f" == *.cpp && -f "$f" ]] || continue
    grep -q "\"file\": \"$PWD/$f\"" "$BUILD_DIR/compile_commands.json" || continue
    if ! clang-tidy --quiet -p "$BUILD_DIR" "$f" >"$BUILD_DIR/lint.out" 2>&1; then
      echo "FAIL: clang-tidy on $f:"
      grep -E "warning:|error:" "$BUILD_DIR/lint.out" | head -20
      status=1
    fi
  done
else
  echo "note: no $BUILD_DIR/compile_commands.json: clang-tidy not run"
fi
[ $status = 0 ] && echo "${#FILES[@]} changed files: formatted and clean"
exit $status
