#!/bin/sh
# Runs a command on a virtual X display of its own: Xvfb picks a free display
# number itself, so parallel runs cannot take the same one. Server options
# come from XVFB_OPTIONS (default: one 1280x1024 screen in true colour).
# Usage: xvfb.sh command [argument...]
set -eu
dir=$(mktemp -d)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 129' HUP INT TERM
# shellcheck disable=SC2086
Xvfb -displayfd 3 -nolisten tcp ${XVFB_OPTIONS:--screen 0 1280x1024x24} \
  3>"$dir/display" 2>"$dir/log" &
server=$!
# The number is written once the server takes clients.
while [ ! -s "$dir/display" ]; do
  if ! kill -0 "$server" 2>/dev/null; then
    cat "$dir/log" >&2
    exit 1
  fi
  sleep 0.1
done
DISPLAY=:$(cat "$dir/display")
export DISPLAY
# No desktop bus: the display is the only thing the command shares with us.
DBUS_SESSION_BUS_ADDRESS=disabled:
export DBUS_SESSION_BUS_ADDRESS
status=0
"$@" || status=$?
exit "$status"
