#!/usr/bin/env bash
# End-to-end test of the real program: two copies on one private X display, inside one private
# D-Bus session, driven through the accessibility tree by two_copies.py.
# Usage: run_e2e.sh EXECUTABLE [SCREENSHOT_DIR]
# Starts its own Xvfb, and a private PulseAudio when one is installed (for the talking step),
# and ends them (those only, by process id) when done.
set -euo pipefail

exe=$(realpath "$1")
shots=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/voxilen-e2e.XXXXXX")
xvfb_pid=
pulse_env=

cleanup() {
  if [ -n "$pulse_env" ]; then
    bash "$root/scripts/pulse/stop.sh" "$work/pulse" || true
  fi
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

for tool in Xvfb dbus-run-session import; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps.sh)" >&2; exit 1; }
done

# A free display of our own; Xvfb writes its number to fd 6 once it accepts clients.
Xvfb -displayfd 6 -screen 0 1280x800x24 -nolisten tcp 6>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || { cat "$work/xvfb.log" >&2; exit 1; }
  sleep 0.1
done
[ -s "$work/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
display=":$(head -n1 "$work/display")"

if command -v pulseaudio >/dev/null && command -v parecord >/dev/null &&
  [ -f "$root/scripts/pulse/start.sh" ]; then
  if bash "$root/scripts/pulse/start.sh" "$work/pulse" >/dev/null; then
    pulse_env=$work/pulse/env
  else
    echo "the private sound server did not start: talking is skipped" >&2
  fi
fi

args=("$exe" "$work" "$shots" "$pulse_env")
# The session bus (and the accessibility bus it launches) ends with the driver.
DISPLAY=$display XAUTHORITY=/dev/null timeout 120 \
  dbus-run-session -- /usr/bin/python3 "$here/two_copies.py" "${args[@]}" 2> >(grep -v '^dbus-daemon\[' >&2)
