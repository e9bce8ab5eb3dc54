#!/usr/bin/env bash
# The house style, on what changed since the formatter's configuration came in: commit subjects
# of at most 72 characters, and every changed line of C and C++ in clang-format's layout. Then
# clang-tidy's checks on the C++ sources changed by the last commit (a merge: by its branch)
# and not yet committed, with the build's compile commands (the build folder, default build/).
# Generated tables are left out.
# Usage: scripts/lint.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
skip() { echo "SKIP: $1"; exit 77; }
command -v git-clang-format >/dev/null || skip "clang-format is missing (Debian package clang-format)"
command -v clang-tidy >/dev/null || skip "clang-tidy is missing (Debian package clang-tidy)"
git rev-parse --git-dir >/dev/null 2>&1 || skip "not a git checkout"
BASE=$(git log --diff-filter=A --format=%H -- .clang-format | tail -1)
[ -n "$BASE" ] || skip ".clang-format is not committed yet"
status=0

while IFS= read -r subject; do
  if [ ${#subject} -gt 72 ]; then
    echo "FAIL: a commit subject over 72 characters: $subject"
    status=1
  fi
done < <(git log --no-merges --format=%s "$BASE^..HEAD")

changed() {  # C and C++ files changed since $1, in the working tree, generated ones left out
  git diff --name-only --diff-filter=ACMR "$1" -- '*.cpp' '*.h' '*.c' | grep -v '^chips/generated/' || true
  git ls-files --others --exclude-standard -- '*.cpp' '*.h' '*.c'
}
mapfile -t FILES < <(changed "$BASE^")
if [ ${#FILES[@]} -gt 0 ]; then
  out=$(git clang-format --diff --extensions c,cpp,h "$BASE^" -- "${FILES[@]}" 2>&1 || true)
  if ! grep -qE "^(no modified files to format|clang-format did not modify any files)" <<<"$out"; then
    echo "FAIL: changed lines not in the house layout (git clang-format $BASE^ fixes them):"
    head -60 <<<"$out"
    status=1
  fi
fi

LAST=$(git rev-parse HEAD~1 2>/dev/null || echo "$BASE^")
mapfile -t SOURCES < <(changed "$LAST" | grep '\.cpp$' || true)
# Each source takes clang-tidy seconds: a large commit is checked in part within the test
# suite's time; QUILLET_LINT_ALL=1 checks every one.
MAX_TIDY=20
if [ "${QUILLET_LINT_ALL:-0}" != 1 ] && [ ${#SOURCES[@]} -gt $MAX_TIDY ]; then
  echo "note: clang-tidy on $MAX_TIDY of the ${#SOURCES[@]} sources of the last commit (QUILLET_LINT_ALL=1: all)"
  SOURCES=("${SOURCES[@]:0:$MAX_TIDY}")
fi
if [ ! -f "$BUILD_DIR/compile_commands.json" ]; then
  echo "note: no $BUILD_DIR/compile_commands.json: clang-tidy not run"
else
  for f in "${SOURCES[@]}"; do
    [ -f "$f" ] || continue
    grep -q "\"file\": \"$PWD/$f\"" "$BUILD_DIR/compile_commands.json" || continue
    if ! clang-tidy --quiet -p "$BUILD_DIR" "$f" >"$BUILD_DIR/lint.out" 2>&1; then
      echo "FAIL: clang-tidy on $f:"
      grep -E "warning:|error:" "$BUILD_DIR/lint.out" | head -20
      status=1
    fi
  done
fi
[ $status = 0 ] && echo "${#FILES[@]} files changed since $BASE: changed lines formatted, ${#SOURCES[@]} of the last commit clean"
exit $status
