#!/usr/bin/env bash
# Runs one command inside a private headless desktop: an Xvfb display, a
# session bus, the accessibility bus and the openbox window manager. Every
# service is started in its own process group and stopped by that group's id
# when the command ends, however it ends. The command finds the services'
# process ids in DESKTOP_XVFB_PID, DESKTOP_SESSION_BUS_PID and
# DESKTOP_ATSPI_LAUNCHER_PID (tests that stop or kill one of them).
# Usage: scripts/desktop-session.sh COMMAND [ARGUMENT]...
set -euo pipefail

[ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARGUMENT]..." >&2; exit 2; }

workdir=$(mktemp -d)
groups=()
cleanup() {
  local status=$?
  # Newest first: the window manager and buses before the display.
  for ((i = ${#groups[@]} - 1; i >= 0; i--)); do
    kill -TERM -- "-${groups[i]}" 2>/dev/null || true
  done
  for group in "${groups[@]}"; do
    for _ in $(seq 50); do
      kill -0 -- "-$group" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL -- "-$group" 2>/dev/null || true
  done
  rm -rf "$workdir"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP

# Waits until a file has a first line, for at most 10 seconds.
wait_for_line() {
  for _ in $(seq 100); do
    [ -s "$1" ] && return 0
    sleep 0.1
  done
  echo "desktop-session: $2 did not start" >&2
  return 1
}

export HOME="$workdir/home" XDG_RUNTIME_DIR="$workdir/run" XDG_CONFIG_HOME="$workdir/config"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME"
chmod 700 "$XDG_RUNTIME_DIR"
unset NO_AT_BRIDGE WAYLAND_DISPLAY SESSION_MANAGER

setsid Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$workdir/display" >/dev/null 2>&1 &
groups+=($!)
wait_for_line "$workdir/display" Xvfb
export DISPLAY=":$(head -n1 "$workdir/display")"
export DESKTOP_XVFB_PID=$!

setsid dbus-daemon --session --nofork --print-address=3 3>"$workdir/bus" >/dev/null 2>&1 &
groups+=($!)
wait_for_line "$workdir/bus" dbus-daemon
export DBUS_SESSION_BUS_ADDRESS="$(head -n1 "$workdir/bus")"
export DESKTOP_SESSION_BUS_PID=$!

setsid /usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
groups+=($!)
export DESKTOP_ATSPI_LAUNCHER_PID=$!
# The launcher answers on the session bus once the accessibility bus runs.
for _ in $(seq 100); do
  dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress 2>/dev/null |
    grep -q unix: && break
  sleep 0.1
done

setsid openbox --sm-disable >/dev/null 2>&1 &
groups+=($!)
for _ in $(seq 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && break
  sleep 0.1
done

"$@"
