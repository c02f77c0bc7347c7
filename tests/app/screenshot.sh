#!/bin/sh
# Takes a picture of the main window under a virtual X display.
# Usage: tests/app/screenshot.sh <build folder> <output.png> [width height | folder | message]
# DPI (default 96) sets the display's resolution.
set -eu
build=${1:?build folder}
out=${2:?output png}
shift 2
export XDG_CONFIG_HOME="${XDG_CONFIG_HOME:-$(mktemp -d)}"
export ASAN_OPTIONS=detect_leaks=0
export QT_QPA_PLATFORM=xcb
XVFB_OPTIONS="-screen 0 1024x768x24 -dpi ${DPI:-96}" \
  sh "$(dirname "$0")/../support/xvfb.sh" "$build/tests/app/app_screenshot" "$out" "$@"
echo "$out"
