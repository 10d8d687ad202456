#!/usr/bin/env bash
# Builds the files a user takes away, into dist/ (or the folder DIST names):
#   tarvosd-VERSION-linux-x86_64         one static, stripped executable for any x86-64 Linux
#   tarvosd_VERSION_amd64.deb            /usr/bin/tarvosd, its manual page, the user's README, copyright
#   tarvosd-VERSION-windows-x86_64.zip   TarvosD.exe (static) and README.txt with CR LF
#   tarvosd-VERSION-windows-x86.zip      the same for 32-bit Windows
#   SHA256SUMS                           of the four
# The README of the zips and the .deb is doc/README-user.txt, the user's text.
# Two runs from the same commit give the same bytes: time stamps come from the commit, archive
# members are sorted, and no build path is left in the binaries. The builds go to build-pkg/ (or
# the folder PKG_BUILD names), made afresh each run.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
scripts/deps.sh --package

version=$(sed -n 's/^project(TarvosD VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package.sh: no version in CMakeLists.txt" >&2; exit 1; }
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 0)}
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C
dist=${DIST:-dist}
builds=${PKG_BUILD:-build-pkg}
jobs=$(nproc 2>/dev/null || echo 2)
mkdir -p "$dist"
dist=$(cd "$dist" && pwd)
rm -rf "$builds"
mkdir -p "$builds"
builds=$(cd "$builds" && pwd)
# The source folder and the build folder are named "." and "build" in what the compiler keeps.
prefix_maps="-ffile-prefix-map=$src=. -ffile-prefix-map=$builds=build"

build() {  # build <dir> <cmake args...>: the program alone, optimised, stripped
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVOS_TESTS=OFF -DTARVOS_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$prefix_maps" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" --target TarvosD >/dev/null
}

echo "== Linux, static"
build "$builds/linux" -DCMAKE_EXE_LINKER_FLAGS="-static -s -Wl,--build-id=none"
linux="tarvosd-$version-linux-x86_64"
install -m 755 "$builds/linux/TarvosD" "$dist/$linux"

zip_windows() {  # zip_windows <toolchain file> <zip name>: TarvosD.exe and README.txt
  local dir="$builds/windows-$2" stage="$builds/zip-$2"
  build "$dir" -DCMAKE_TOOLCHAIN_FILE="$1" -DCMAKE_EXE_LINKER_FLAGS="-s -Wl,--no-insert-timestamp"
  mkdir -p "$stage"
  cp "$dir/TarvosD.exe" "$stage/TarvosD.exe"
  sed 's/\r*$/\r/' doc/README-user.txt >"$stage/README.txt"
  python3 - "$stage" "$dist/$2" <<'EOF'
import os, sys, time, zipfile
stage, out = sys.argv[1:]
stamp = time.gmtime(max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800))[:6]  # zip dates start in 1980
with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
    for name in sorted(os.listdir(stage)):
        info = zipfile.ZipInfo(name, stamp)
        info.external_attr = 0o644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        with open(os.path.join(stage, name), "rb") as f:
            z.writestr(info, f.read(), compresslevel=9)
EOF
}

echo "== Windows, static, 64-bit and 32-bit"
windows="tarvosd-$version-windows-x86_64.zip"
windows32="tarvosd-$version-windows-x86.zip"
zip_windows cmake/mingw-w64.cmake "$windows"
zip_windows cmake/mingw-w64-i686.cmake "$windows32"

echo "== Debian package"
deb="tarvosd_${version}_amd64.deb"
root="$builds/deb"
date=$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%d)
install -D -m 755 "$dist/$linux" "$root/usr/bin/tarvosd"
mkdir -p "$root/usr/share/man/man1" "$root/usr/share/doc/tarvosd" "$root/usr/share/lintian/overrides" "$root/DEBIAN"
# Static on purpose: the same binary runs from a rescue system of any distribution.
echo "tarvosd: statically-linked-binary [usr/bin/tarvosd]" >"$root/usr/share/lintian/overrides/tarvosd"
sed "s/^\.TH TARVOSD 1 [^ ]* \"TarvosD [^\"]*\"/.TH TARVOSD 1 $date \"TarvosD $version\"/" doc/tarvosd.1 |
  gzip -n -9 >"$root/usr/share/man/man1/tarvosd.1.gz"
gzip -n -9 <doc/README-user.txt >"$root/usr/share/doc/tarvosd/README.gz"
cat >"$root/usr/share/doc/tarvosd/copyright" <<EOF
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: TarvosD
Source: https://github.com/tarvosd/tarvosd

Files: *
Copyright: 2026 The TarvosD project
License: GPL-3+
 This program is free software: you can redistribute it and/or modify it under the terms of the
 GNU General Public License as published by the Free Software Foundation, either version 3 of the
 License, or (at your option) any later version.
 .
 On Debian systems, the complete text of the GNU General Public License version 3 can be found in
 "/usr/share/common-licenses/GPL-3".
EOF
printf 'tarvosd (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- TarvosD project <tarvosd@example.org>  %s\n' \
  "$version" "$version" "$(date -u -R -d "@$SOURCE_DATE_EPOCH")" | gzip -n -9 >"$root/usr/share/doc/tarvosd/changelog.gz"
size=$(du -k -s --apparent-size "$root/usr" | cut -f1)
cat >"$root/DEBIAN/control" <<EOF
Package: tarvosd
Version: $version
Architecture: amd64
Maintainer: TarvosD project <tarvosd@example.org>
Installed-Size: $size
Section: admin
Priority: optional
Homepage: https://github.com/tarvosd/tarvosd
Description: check and repair Windows registry hive files
 TarvosD checks Windows registry hive files (SYSTEM, SOFTWARE, SAM,
 NTUSER.DAT and the others) as files on disk: the base block, every frame
 and cell, and the whole key tree with its lists, values and security
 blocks. Every fault is reported with a numbered message; the repairs you
 allow are saved after a backup, and a failed save never leaves a
 half-written hive. Transaction logs of a dirty hive are applied first.
 .
 The program is statically linked and has a full-screen interface and a
 line mode for scripts.
EOF
(cd "$root" && find usr -type f | sort | xargs md5sum >DEBIAN/md5sums)
find "$root" -type d -exec chmod 755 {} +
find "$root/usr/share" "$root/DEBIAN" -type f -exec chmod 644 {} +
find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
dpkg-deb --root-owner-group -Zxz --build "$root" "$dist/$deb" >/dev/null

(cd "$dist" && sha256sum "$linux" "$deb" "$windows" "$windows32" >SHA256SUMS)
echo "== $dist"
(cd "$dist" && ls -l "$linux" "$deb" "$windows" "$windows32" SHA256SUMS)
