#!/usr/bin/env bash
# Builds TarvosD when needed, makes a small sample hive whose base block is damaged (its sequence
# numbers differ and its checksum is wrong), and checks it in line mode. Answer the prompts with
# F (fix), A (fix all of this kind) or S (stop). Extra arguments are passed on, e.g. /l.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --run
if [ ! -x build/TarvosD ] || [ ! -x build/tarvos-sample-hive ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVOS_TESTS=OFF >/dev/null
fi
cmake --build build --target TarvosD tarvos-sample-hive >/dev/null
mkdir -p build/sample
build/tarvos-sample-hive build/sample/SAMPLE
set +e
build/TarvosD /t "$@" build/sample/SAMPLE
code=$?
echo "TarvosD exit code: $code"
