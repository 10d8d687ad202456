#!/usr/bin/env bash
# Plants the faults listed in tests/mutants.txt one at a time and says which the tests miss.
# Usage: scripts/mutants.sh [list] [pattern]
#   list     the mutants file (tests/mutants.txt by default): one a line, tab-separated,
#            file <TAB> exact text <TAB> replacement <TAB> what it would break
#   pattern  only the mutants whose line matches it (grep -E)
# The mutants are planted in a copy of the sources (build-mutants/src), built there incrementally,
# and run against the unit tests and the command-line tests; the working tree is never changed.
# A mutant is killed when a test fails, survives when every test passes; one that does not build
# or whose text is not found once in its file is counted apart. Exits 1 when fewer than 90% of the
# mutants that built are killed, or when a listed text is not found.
set -uo pipefail
cd "$(dirname "$0")/.."
list=${1:-tests/mutants.txt}
pattern=${2:-}
root=$PWD
work=$root/build-mutants
copy=$work/src
# The copy's tests find the shared hives where the working tree's do.
[ -z "${TARVOS_HIVES:-}" ] && [ -d "$root/../shared/hives" ] && export TARVOS_HIVES="$(cd "$root/../shared/hives" && pwd)"
command -v python3 >/dev/null || { echo "mutants.sh needs python3" >&2; exit 2; }
[ -f "$list" ] || { echo "no mutants file: $list" >&2; exit 2; }

# The copy follows the working tree: only files whose bytes differ are copied (by content, not by
# time: a file checked out again may be older than the copy's), so builds stay incremental.
mkdir -p "$copy"
(cd "$root" && find . \( -path './build*' -o -path ./dist -o -path ./.git \) -prune -o -type f -print) |
  while IFS= read -r f; do
    cmp -s "$root/$f" "$copy/$f" || { mkdir -p "$copy/$(dirname "$f")" && cp "$root/$f" "$copy/$f"; }
  done
# and a file the tree no longer has goes from the copy (a source left there would still be built).
(cd "$copy" && find . -path './build*' -prune -o -type f -print) |
  while IFS= read -r f; do [ -e "$root/$f" ] || rm -f "$copy/$f"; done
cmake -S "$copy" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVOS_TESTS=ON >"$work/cmake.log" 2>&1 ||
  { echo "cmake failed: $work/cmake.log" >&2; exit 2; }
build() { cmake --build "$work/build" -j "$(nproc 2>/dev/null || echo 2)" >"$work/build.log" 2>&1; }
tests() {  # 0 when every test passes; each run has a deadline, so a mutant that hangs is killed
  timeout 900 "$work/build/tarvos_tests" --gtest_brief=1 >"$work/unit.log" 2>&1 </dev/null &&
    timeout 900 "$copy/tests/app/cli_test.sh" "$work/build/TarvosD" "$work/build/tarvos-sample-hive" >"$work/cli.log" 2>&1 </dev/null
}
build || { echo "the unchanged sources do not build: $work/build.log" >&2; exit 2; }
tests || { echo "the tests fail on the unchanged sources: $work/unit.log, $work/cli.log" >&2; exit 2; }

# Replaces the one occurrence of the text; exit 3 when it is not there exactly once.
plant() {
  python3 - "$@" <<'EOF'
import sys
path, text, replacement = sys.argv[1:4]
with open(path, encoding="utf-8") as f:
    source = f.read()
if source.count(text) != 1:
    sys.exit(3)
with open(path, "w", encoding="utf-8") as f:
    f.write(source.replace(text, replacement))
EOF
}

killed=0 survived=0 unbuilt=0 stale=0 n=0
survivors=()
start=$(date +%s)
while IFS=$'\t' read -r -u 3 file text replacement what; do
  case "$file" in '' | '#'*) continue ;; esac
  if [ -n "$pattern" ] && ! printf '%s\t%s\t%s\t%s\n' "$file" "$text" "$replacement" "$what" | grep -qE "$pattern"; then continue; fi
  n=$((n + 1))
  saved=$work/saved
  cp -p "$copy/$file" "$saved" 2>/dev/null || { echo "stale   #$n $file: no such file"; stale=$((stale + 1)); continue; }
  if ! plant "$copy/$file" "$text" "$replacement"; then
    echo "stale   #$n $file: text not found once: $text"
    stale=$((stale + 1))
    continue
  fi
  if ! build; then
    result=unbuilt; unbuilt=$((unbuilt + 1))
  elif tests; then
    result=SURVIVED; survived=$((survived + 1)); survivors+=("$file: $what")
  else
    result=killed; killed=$((killed + 1))
  fi
  printf '%-8s #%d %s: %s\n' "$result" "$n" "$file" "$what"
  # The file goes back with a new time, so the next build takes it.
  cp "$saved" "$copy/$file" && touch "$copy/$file"
done 3<"$list"
build >/dev/null 2>&1

tried=$((killed + survived))
share=$([ "$tried" -gt 0 ] && echo $((100 * killed / tried)) || echo 0)
echo
echo "$n mutants in $(($(date +%s) - start)) s: $killed killed, $survived survived, $unbuilt did not build, $stale not found"
for s in "${survivors[@]}"; do echo "  survived: $s"; done
echo "killed: $share% of those that built"
[ "$stale" -eq 0 ] && [ "$tried" -gt 0 ] && [ $((killed * 10)) -ge $((tried * 9)) ]
