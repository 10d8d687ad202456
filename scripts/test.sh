#!/usr/bin/env bash
# Builds TarvosD natively, natively with AddressSanitizer and UndefinedBehaviorSanitizer, and for
# Windows with mingw-w64, then runs every test: the native ones twice, the Windows ones under Wine.
# Fails when any build or test fails.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh || exit 1

jobs=$(nproc 2>/dev/null || echo 2)
summary=()
status=0

build() {  # build <dir> <cmake args...>
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null && cmake --build "$dir" -j "$jobs"
}

run_unit() {  # run_unit <label> <command...>
  local label=$1; shift
  local log
  log=$(mktemp)
  "$@" >"$log" 2>&1
  local code=$?
  grep -E '^\[  (PASSED|FAILED|SKIPPED) |^\[==========\]|FAILED' "$log" || true
  local passed failed
  passed=$(grep -oE '^\[  PASSED  \] [0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0)
  failed=$(grep -oE '^\[  FAILED  \] [0-9]+ test' "$log" | grep -oE '[0-9]+' || echo 0)
  # A sanitizer report after the last test (a leak) shows only in the exit code.
  if [ "$code" -ne 0 ] || ! grep -q '^\[  PASSED  \]' "$log" || [ "${failed:-0}" != 0 ]; then
    grep -B2 -A15 -E 'Failure|ERROR|Sanitizer' "$log" | head -80
    summary+=("$label: FAILED (${passed:-0} passed, ${failed:-?} failed, exit code $code)")
    status=1
  else
    summary+=("$label: ${passed} tests passed")
  fi
  rm -f "$log"
}

run_cli() {  # run_cli <label> <build dir>
  local label=$1 dir=$2
  if tests/app/cli_test.sh "$dir/TarvosD" "$dir/tarvos-sample-hive" >"$dir/cli.log" 2>&1; then
    summary+=("$label: $(grep -c '^ok' "$dir/cli.log") command-line checks passed")
  else
    grep -E '^FAIL' "$dir/cli.log"
    summary+=("$label: command-line checks FAILED")
    status=1
  fi
}

run_safe_saves() {  # runs killed while they save, runs that race, signals at a prompt
  local runs=${TARVOS_KILL_RUNS:-40 10 5}
  # shellcheck disable=SC2086
  if tests/save/safe_save_test.sh build/TarvosD build/tarvos-sample-hive $runs >build/safe-save.log 2>&1; then
    summary+=("native: $(grep -c '^ok' build/safe-save.log) safe-save checks passed ($runs)")
  else
    grep -E '^FAIL|^run|^race' build/safe-save.log
    summary+=("native: safe-save checks FAILED"); status=1
  fi
}

run_screen() {  # run_screen <label> <Windows build dir or nothing>: the full screen in tmux
  local label=$1 win=${2:-}
  local log="build/screen-$label.log"
  local demo=() run=()
  [ -n "$win" ] && demo=("$win/tarvos-console-demo.exe") && run=("$win/TarvosD.exe")
  if tests/console/console_tmux_test.sh build/tarvos-console-demo "${demo[@]}" >"$log" 2>&1 &&
    tests/console/run_tmux_test.sh build/TarvosD build/tarvos-sample-hive "${run[@]}" >>"$log" 2>&1; then
    summary+=("$label: $(grep -c '^ok' "$log") full-screen checks passed in tmux")
  else
    grep -E '^FAIL' "$log"
    summary+=("$label: full-screen checks FAILED"); status=1
  fi
}

echo "== native build"
if build build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVOS_TESTS=ON -DTARVOS_BENCH=ON; then
  run_unit "native" build/tarvos_tests
  run_cli "native" build
  run_safe_saves
  run_screen "native"
else
  summary+=("native: BUILD FAILED"); status=1
fi

echo "== native build with AddressSanitizer and UndefinedBehaviorSanitizer"
if build build-asan -DCMAKE_BUILD_TYPE=Debug -DTARVOS_SANITIZE=ON; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_unit "sanitizers" build-asan/tarvos_tests
  ASAN_OPTIONS=detect_leaks=1 run_cli "sanitizers" build-asan
else
  summary+=("sanitizers: BUILD FAILED"); status=1
fi

echo "== Windows build (mingw-w64), tests under Wine"
if build build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release; then
  export WINEDEBUG=-all WINEPREFIX="$PWD/build-win/wineprefix"
  run_unit "windows (wine)" wine build-win/tarvos_tests.exe
  if tests/platform/wine_cli_test.sh build-win/TarvosD.exe build/tarvos-sample-hive >build-win/cli.log 2>&1; then
    summary+=("windows (wine): $(grep -c '^ok' build-win/cli.log) command-line checks passed")
  else
    grep -E '^FAIL' build-win/cli.log
    summary+=("windows (wine): command-line checks FAILED"); status=1
  fi
  run_screen "windows" build-win
  # Wine's own console window on a virtual display: sizes, resizes and the title.
  if tests/console/wineconsole_test.sh build-win/TarvosD.exe build/tarvos-sample-hive >build-win/wineconsole.log 2>&1; then
    summary+=("windows (wine): $(grep -c '^ok' build-win/wineconsole.log) checks passed in Wine's console window")
  else
    grep -E '^FAIL' build-win/wineconsole.log
    summary+=("windows (wine): checks in Wine's console window FAILED"); status=1
  fi
else
  summary+=("windows: BUILD FAILED"); status=1
fi

echo "== packages: static Linux binary, Debian package, Windows zip (built twice)"
if tests/package/package_test.sh build/tarvos-sample-hive >build/package.log 2>&1; then
  summary+=("packages: $(grep -c '^ok' build/package.log) checks passed ($(grep '^size' build/package.log | grep -v SHA256SUMS | awk '{printf "%s%s %s bytes", sep, $3, $2; sep=", "}'))")
else
  grep -E '^FAIL' build/package.log
  summary+=("packages: checks FAILED"); status=1
fi

echo "== fuzz targets (clang with AddressSanitizer and UndefinedBehaviorSanitizer), a short run each"
grep -qs "CMAKE_CXX_COMPILER:.*=clang++-19" build-fuzz/CMakeCache.txt || rm -f build-fuzz/CMakeCache.txt
if build build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVOS_FUZZ=ON -DTARVOS_SANITIZE=ON \
  -DCMAKE_CXX_COMPILER=clang++-19; then
  for pair in tarvos_fuzz:check:65536 tarvos_logs_fuzz:logs:131072; do
    IFS=: read -r target name maxlen <<<"$pair"
    corpus=build-fuzz/corpus-$target
    # From the committed seeds (real hives cut to size, tests/fuzz/make_corpus.py), copied so that
    # a short run leaves the repository as it was; scripts/fuzz.sh is the long run that adds to them.
    rm -rf "$corpus" && mkdir -p "$corpus" && cp tests/fuzz/corpus/$name/* "$corpus"/
    if build-fuzz/$target "$corpus" -max_len="$maxlen" -max_total_time="${TARVOS_FUZZ_SECONDS:-60}" -rss_limit_mb=4096 -timeout=60 \
      -artifact_prefix=build-fuzz/$target- >build-fuzz/$target.log 2>&1; then
      summary+=("fuzz: $target ran $(grep -oE 'Done [0-9]+ runs' build-fuzz/$target.log | grep -oE '[0-9]+') inputs, no fault")
    else
      tail -30 build-fuzz/$target.log
      summary+=("fuzz: $target FAILED"); status=1
    fi
  done
else
  summary+=("fuzz: BUILD FAILED"); status=1
fi

echo
echo "== summary"
printf '%s\n' "${summary[@]}"
exit $status
