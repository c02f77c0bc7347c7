#!/bin/sh
# Installs the build into a scratch folder and checks what a desktop reads.
# Usage: check_installed.sh <cmake> <build folder>
set -eu
cmake=$1
build=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" "$cmake" --install "$build" --prefix /usr >/dev/null
share=$stage/usr/share
id=fr.terminelle.Terminelle
desktop-file-validate "$share/applications/$id.desktop"
appstreamcli validate --no-net "$share/metainfo/$id.metainfo.xml"
# The entry starts the installed program on a folder and shows an installed icon.
grep -qx 'Exec=terminelle %f' "$share/applications/$id.desktop"
grep -qx 'Icon=terminelle' "$share/applications/$id.desktop"
test -x "$stage/usr/bin/terminelle"
for size in 16 24 32 48 64 128 256; do test -s "$share/icons/hicolor/${size}x$size/apps/terminelle.png"; done
gzip -t "$share/man/man1/terminelle.1.gz"
# Debian reads the licence and the changelog there.
grep -q '^License: Expat$' "$share/doc/terminelle/copyright"
gzip -t "$share/doc/terminelle/changelog.gz"
