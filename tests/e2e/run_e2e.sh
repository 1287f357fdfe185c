#!/usr/bin/env bash
# End-to-end test of the real program: two copies on one private X display, inside one private
# D-Bus session, driven through the accessibility tree by two_copies.py.
# Usage: run_e2e.sh EXECUTABLE [SCREENSHOT_DIR]
# Starts its own Xvfb, and a private PulseAudio when one is installed (for the talking step),
# and ends them (those only, by process id) when done.
set -euo pipefail

exe=$(realpath "$1")
shots=${2:-}
# shellcheck source=session.sh
. "$(dirname "$0")/session.sh"
pulse_env=

e2e_need Xvfb dbus-run-session import
e2e_start_xvfb

if command -v pulseaudio >/dev/null && command -v parecord >/dev/null; then
  if e2e_start_pulse "$e2e_work/pulse"; then
    pulse_env=$e2e_work/pulse/env
  else
    echo "the private sound server did not start: talking is skipped" >&2
  fi
fi

e2e_drive 120 "$e2e_here/two_copies.py" "$exe" "$e2e_work" "$shots" "$pulse_env"
