#!/usr/bin/env bash
# Installs the Debian packages that the builds and tests need, when any is missing.
# With --run, only what building and running the program needs; with --package, what
# scripts/package.sh needs.
set -euo pipefail
packages=(cmake ninja-build g++)
case "${1:-}" in
  --run) ;;
  --package) packages+=(g++-mingw-w64-x86-64-posix python3 dpkg) ;;
  *) packages+=(libgtest-dev googletest libbenchmark-dev g++-mingw-w64-x86-64-posix wine wine64 util-linux bsdutils
       libhivex-bin libregf-utils tmux python3 procps xvfb xdotool clang libclang-rt-14-dev lintian groff-base man-db) ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
