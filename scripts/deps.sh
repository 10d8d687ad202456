#!/usr/bin/env bash
# Installs the Debian packages that the builds and tests need, when any is missing.
# With --run, only what building and running the program needs; with --package, what
# scripts/package.sh needs.
set -euo pipefail
packages=(cmake ninja-build g++)
case "${1:-}" in
  --run) ;;
  --package) packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix python3 dpkg) ;;
  *) packages+=(libgtest-dev googletest libbenchmark-dev g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 util-linux bsdutils
       libhivex-bin libregf-utils tmux python3 procps xvfb xdotool clang-19 libclang-rt-19-dev lintian groff-base man-db) ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
# A mirror in the middle of a sync fails some index; what the others list is still installable.
$sudo apt-get update -qq || echo "deps.sh: apt-get update failed in part; installing from the lists it has"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
