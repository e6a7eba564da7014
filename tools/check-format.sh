#!/usr/bin/env bash
# Checks the formatting (.clang-format) of the lines changed since a base
# commit, committed or not; lines nobody touched are left as they are, so
# the tree is never reformatted wholesale.
#
#   tools/check-format.sh [BASE]   BASE: a commit, default the merge base with main
#   tools/check-format.sh --fix [BASE]   formats those lines in place instead
#
# Exits 1 with the diff clang-format wants when a changed line is out of
# style, 0 otherwise; 0 with a note when clang-format is not installed, since
# no build needs it.
set -euo pipefail
cd "$(dirname "$0")/.."

fix=0
if [ "${1:-}" = "--fix" ]; then
  fix=1
  shift
fi
base=${1:-}
if [ -z "$base" ]; then
  base=$(git merge-base HEAD main 2>/dev/null || git rev-parse HEAD)
fi
git rev-parse --verify --quiet "$base^{commit}" >/dev/null || { echo "check-format: no such commit: $base" >&2; exit 2; }

if ! command -v clang-format >/dev/null 2>&1; then
  echo "check-format: clang-format is not installed (Debian: clang-format); nothing checked"
  exit 0
fi

# The files changed since the base that clang-format reads.
mapfile -t files < <(git diff --name-only --diff-filter=d "$base" -- '*.cpp' '*.h' '*.cpp.in')
untracked=$(git ls-files --others --exclude-standard -- '*.cpp' '*.h')
if [ ${#files[@]} -eq 0 ] && [ -z "$untracked" ]; then
  echo "check-format: no C++ file changed since $(git rev-parse --short "$base")"
  exit 0
fi
[ -n "$untracked" ] && echo "check-format: not checked until added to git: $untracked" >&2
[ ${#files[@]} -eq 0 ] && exit 0

if command -v git-clang-format >/dev/null 2>&1; then
  if [ "$fix" = 1 ]; then
    git clang-format --force --extensions cpp,h,in "$base" -- "${files[@]}"
    exit 0
  fi
  out=$(git clang-format --diff --extensions cpp,h,in "$base" -- "${files[@]}" || true)
  case $out in
    "" | "no modified files to format" | "clang-format did not modify any files") out="" ;;
  esac
elif command -v clang-format-diff >/dev/null 2>&1; then
  if [ "$fix" = 1 ]; then
    git diff -U0 --no-color "$base" -- "${files[@]}" | clang-format-diff -p1 -i
    exit 0
  fi
  out=$(git diff -U0 --no-color "$base" -- "${files[@]}" | clang-format-diff -p1 || true)
else
  echo "check-format: neither git-clang-format nor clang-format-diff is installed; nothing checked"
  exit 0
fi

if [ -n "$out" ]; then
  printf '%s\n' "$out"
  echo "check-format: the lines above are out of style; tools/check-format.sh --fix $base formats them" >&2
  exit 1
fi
echo "check-format: the changed lines of ${#files[@]} files are in style"
