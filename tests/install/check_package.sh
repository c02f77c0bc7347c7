#!/bin/sh
# Makes the Debian packages of the build and checks them: the command line's
# package brings no Qt, nor does its program link it, and the program runs
# from the package's files; then they are judged as a packager would: lintian
# must report no error or warning, nor mandoc on their manual pages (long
# lines aside). Skipped (77) where dpkg-dev, which makes them, is not
# installed. Where lintian is not (a machine that never ran `make deb`), the
# lint is left out and, the rest passed, the test says it was skipped (77).
# Usage: check_package.sh <cpack> <build folder>
set -eu
if ! command -v dpkg-shlibdeps >/dev/null; then
  echo "dpkg-dev is not installed"
  exit 77
fi
cpack=$1
build=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
cli=$(echo "$out"/terminelle-cli_*.deb)
window=$(echo "$out"/terminelle_*.deb)
depends=$(dpkg-deb -f "$cli" Depends)
if echo "$depends" | grep -qi qt; then
  echo "terminelle-cli depends on Qt: $depends"
  exit 1
fi
if ! dpkg-deb -f "$window" Depends | grep -q '^terminelle-cli (= '; then
  echo "terminelle does not depend on terminelle-cli"
  exit 1
fi
dpkg-deb -x "$cli" "$out/cli"
if ldd "$out/cli/usr/bin/terminelle-cli" | grep -i qt; then
  echo "terminelle-cli links Qt"
  exit 1
fi
"$out/cli/usr/bin/terminelle-cli" --version >/dev/null
if ! command -v lintian >/dev/null; then
  echo "lintian is not installed"
  exit 77
fi
lintian --fail-on error,warning "$out"/*.deb
if command -v mandoc >/dev/null; then
  for deb in "$out"/*.deb; do dpkg-deb -x "$deb" "$out/root"; done
  for page in "$out"/root/usr/share/man/man1/*.1.gz; do
    gzip -dc "$page" >"$out/$(basename "$page" .gz)"
  done
  mandoc -T lint -W warning "$out"/*.1
fi
