#!/bin/sh
# Makes the Debian package of the build and has it judged as a packager would:
# lintian must report no error or warning, nor mandoc on its manual pages
# (long lines aside). Skipped (77) where lintian is not installed, as on a
# machine that never ran `make deb`.
# Usage: check_package.sh <cpack> <build folder>
set -eu
if ! command -v lintian >/dev/null; then
  echo "lintian is not installed"
  exit 77
fi
cpack=$1
build=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
lintian --fail-on error,warning "$out"/*.deb
if command -v mandoc >/dev/null; then
  dpkg-deb -x "$out"/*.deb "$out/root"
  for page in "$out"/root/usr/share/man/man1/*.1.gz; do
    gzip -dc "$page" >"$out/$(basename "$page" .gz)"
  done
  mandoc -T lint -W warning "$out"/*.1
fi
