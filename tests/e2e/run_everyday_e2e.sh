#!/usr/bin/env bash
# Everyday use of the real program under a window manager (everyday_e2e.py): two copies and a
# third without sound on a private X display with openbox, inside one private D-Bus session.
# Usage: run_everyday_e2e.sh EXECUTABLE [SCREENSHOT_DIR]
# Starts its own Xvfb, openbox and (when installed) a private PulseAudio, and ends them (those
# only, by process id) when done.
set -euo pipefail

exe=$(realpath "$1")
shots=${2:-}
# shellcheck source=session.sh
. "$(dirname "$0")/session.sh"
pulse_env=

e2e_need Xvfb openbox wmctrl xprop dbus-run-session import
e2e_start_xvfb
e2e_start_wm
if command -v pulseaudio >/dev/null && command -v parecord >/dev/null &&
  e2e_start_pulse "$e2e_work/pulse"; then
  pulse_env=$e2e_work/pulse/env
fi

e2e_drive 180 "$e2e_here/everyday_e2e.py" "$exe" "$e2e_work" "$shots" "$pulse_env"
