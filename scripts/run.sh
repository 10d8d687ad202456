#!/usr/bin/env bash
# Builds TarvosD when needed, makes a small sample hive with faults of several kinds (its base
# block, a key's subkey count, a value, a security block's ring) and checks it: full-screen in a
# terminal, in line mode (/t) otherwise or when /t is given. Answer with F (fix), A (fix all of
# this kind), S (stop), then O to save with a backup; the mouse works too. Extra arguments are
# passed on, e.g. /t or /l.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --run
if [ ! -x build/TarvosD ] || [ ! -x build/tarvos-sample-hive ]; then
  echo "Building TarvosD and its sample-hive maker into build/ (a minute or two the first time)..."
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVOS_TESTS=OFF >/dev/null
fi
# Ninja shows its progress on one line in a terminal, a line a step otherwise.
cmake --build build --target TarvosD tarvos-sample-hive
echo "Checking build/sample/SAMPLE, a hive made with faults of four kinds..."
mkdir -p build/sample
build/tarvos-sample-hive --several build/sample/SAMPLE
mode=()
[ -t 0 ] && [ -t 1 ] || mode=(/t)
set +e
build/TarvosD "${mode[@]}" "$@" build/sample/SAMPLE
code=$?
echo "TarvosD exit code: $code"
