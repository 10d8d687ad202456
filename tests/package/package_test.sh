#!/usr/bin/env bash
# The files scripts/package.sh makes, taken away as a user would: the static binary checks a hive
# in an empty root with an empty environment; the .deb, unpacked into a scratch root, prints its
# version and its manual page renders, and lintian finds no error; each zip's TarvosD.exe (64-bit
# and 32-bit) runs under Wine; the sums hold; and a second run of the script gives the same files.
# Usage: package_test.sh <tarvos-sample-hive>   (run from the repository's top folder)
set -u
make_hive=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/../support/checks.sh"
version=$(sed -n 's/^project(TarvosD VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)

DIST=$work/dist PKG_BUILD=$work/build scripts/package.sh >"$work/first.log" 2>&1
check "the packaging script succeeds" test $? -eq 0
linux=$work/dist/tarvosd-$version-linux-x86_64
deb=$work/dist/tarvosd_${version}_amd64.deb
zip=$work/dist/tarvosd-$version-windows-x86_64.zip
zip32=$work/dist/tarvosd-$version-windows-x86.zip
check "the four files and their sums are made" test -x "$linux" -a -s "$deb" -a -s "$zip" -a -s "$zip32"
check "and the sums hold" bash -c "cd '$work/dist' && sha256sum --quiet -c SHA256SUMS"

# The static binary: no interpreter, no shared library, alone in a root of its own.
check "the Linux binary is static and stripped" bash -c "file '$linux' | grep -q 'statically linked.*stripped'"
check "it asks for no shared library" bash -c "! readelf -lW '$linux' | grep -q INTERP && ! readelf -dW '$linux' | grep -q NEEDED"
mkdir -p "$work/root"
cp "$linux" "$work/root/tarvosd"
"$make_hive" --several "$work/root/SAMPLE"
cp "$work/root/SAMPLE" "$work/original"
printf 'aaaaaaaaaao' | env -i unshare -rR "$work/root" /tarvosd /t /SAMPLE >"$work/root.out" 2>&1; code=$?
check "in an empty root with no environment it repairs and saves a hive (exit 1)" test $code -eq 1
check "with its backup beside it" cmp -s "$work/root/SAMPLE.BAK" "$work/original"
env -i unshare -rR "$work/root" /tarvosd /t /SAMPLE </dev/null >"$work/again.out" 2>&1; code=$?
check "and the saved hive checks clean" bash -c "test $code -eq 0 && ! grep -q 'Error found' '$work/again.out'"

# The Debian package.
mkdir -p "$work/deb"
dpkg-deb -x "$deb" "$work/deb"
check "the package holds the program, its manual page, the user's README and the copyright" \
  test -x "$work/deb/usr/bin/tarvosd" -a -s "$work/deb/usr/share/man/man1/tarvosd.1.gz" \
  -a -s "$work/deb/usr/share/doc/tarvosd/copyright" -a ! -e "$work/deb/usr/share/doc/tarvosd/README.md.gz"
check "and that README is the user's text" cmp -s <(gzip -dc "$work/deb/usr/share/doc/tarvosd/README.gz") doc/README-user.txt
check "its control names the package and the version" \
  test "$(dpkg-deb -f "$deb" Package Version Architecture | tr '\n' ' ')" = "Package: tarvosd Version: $version Architecture: amd64 "
check "the installed tarvosd --version prints the version" \
  test "$("$work/deb/usr/bin/tarvosd" --version)" = "TarvosD $version (Linux x86-64)"
MANWIDTH=80 man -l "$work/deb/usr/share/man/man1/tarvosd.1.gz" >"$work/man.txt" 2>"$work/man.err"
check "its manual page renders, with the version in its footer" \
  bash -c "grep -q 'tarvosd - check and repair Windows registry hive files' '$work/man.txt' && grep -q 'TarvosD $version' '$work/man.txt' && ! test -s '$work/man.err'"
check "groff finds no fault in the manual page" bash -c "test -z \"\$(groff -man -ww -z doc/tarvosd.1 2>&1)\""
if command -v lintian >/dev/null; then
  lintian --fail-on error "$deb" >"$work/lintian.out" 2>&1
  check "lintian finds no error in the package" test $? -eq 0
fi

# The Windows zips, 64-bit and 32-bit. A Wine without its 32-bit part (wine32) starts no 32-bit
# program at all; that case is named, not passed over in silence.
for pair in "$zip:x86-64" "$zip32:x86"; do
  file=${pair%:*} arch=${pair##*:}
  rm -rf "$work/zip" && python3 -c "import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])" "$file" "$work/zip"
  check "the $arch zip holds TarvosD.exe and README.txt" bash -c "cd '$work/zip' && test \"\$(ls | tr '\n' ' ')\" = 'README.txt TarvosD.exe '"
  check "its README is the user's text with CR LF line ends" bash -c "test \"\$(grep -c \$'\\r\$' '$work/zip/README.txt')\" = \"\$(wc -l <'$work/zip/README.txt')\" && tr -d '\r' <'$work/zip/README.txt' | cmp -s - doc/README-user.txt"
  command -v wine >/dev/null || continue
  if [ "$arch" = x86 ] && ! ls -d /usr/lib/wine/i386-windows /usr/lib/i386-linux-gnu/wine >/dev/null 2>&1; then
    echo "ok   skipped: the x86 zip under Wine: this Wine has no 32-bit part (wine32)"
    continue
  fi
  out=$(WINEDEBUG=-all timeout 120 wine "$work/zip/TarvosD.exe" /v 2>/dev/null </dev/null | tr -d '\r')
  check "the $arch zip's TarvosD.exe runs under Wine" test "$out" = "TarvosD $version (Windows $arch)"
done

# The same commit, built again elsewhere: the same bytes.
DIST=$work/dist2 PKG_BUILD=$work/build2 scripts/package.sh >"$work/second.log" 2>&1
check "a second run of the script gives the same SHA256SUMS" cmp -s "$work/dist/SHA256SUMS" "$work/dist2/SHA256SUMS"
ls -l "$work/dist" | awk 'NR > 1 {print "size", $5, $9}'
echo "$failures failure(s)"
test "$failures" -eq 0
