#!/bin/sh
# Makes the Debian packages of the build and has them judged as a packager
# would: lintian must report no error or warning, nor mandoc on their manual
# pages (long lines aside). Skipped (77) where lintian is not installed, as on
# a machine that never ran `make deb`, once the command line's is checked.
# Usage: check_package.sh <cpack> <build folder>
set -eu
command -v dpkg-shlibdeps >/dev/null || { echo "dpkg-dev is not installed"; exit 77; }
cpack=$1
build=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
# The command line's package brings no Qt, nor does its program link it.
cli=$(echo "$out"/terminelle-cli_*.deb)
if dpkg-deb -f "$cli" Depends | grep -i qt; then exit 1; fi
dpkg-deb -f "$out"/terminelle_*.deb Depends | grep -q '^terminelle-cli (= '
dpkg-deb -x "$cli" "$out/root"
if ldd "$out/root/usr/bin/terminelle-cli" | grep -i qt; then exit 1; fi
"$out/root/usr/bin/terminelle-cli" --version >/dev/null
if ! command -v lintian >/dev/null; then
  echo "lintian is not installed"
  exit 77
fi
lintian --fail-on error,warning "$out"/*.deb
if command -v mandoc >/dev/null; then
  dpkg-deb -x "$out"/terminelle_*.deb "$out/root"
  for page in "$out"/root/usr/share/man/man1/*.1.gz; do
    gzip -dc "$page" >"$out/$(basename "$page" .gz)"
  done
  mandoc -T lint -W warning "$out"/*.1
fi
