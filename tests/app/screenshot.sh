#!/bin/sh
# Takes a picture of the main window under a virtual X display.
# Usage: tests/app/screenshot.sh <build folder> <output.png> [width height]
set -eu
build=${1:?build folder}
out=${2:?output png}
shift 2
export XDG_CONFIG_HOME="${XDG_CONFIG_HOME:-$(mktemp -d)}"
export ASAN_OPTIONS=detect_leaks=0
xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$build/tests/app/app_screenshot" "$out" "$@"
echo "$out"
