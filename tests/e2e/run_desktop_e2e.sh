#!/usr/bin/env bash
# Talking while another program has the focus (desktop_e2e.py): one copy on a private X display
# with openbox and a private sound server, inside one private D-Bus session.
# Usage: run_desktop_e2e.sh EXECUTABLE [SCREENSHOT_DIR]
# Starts its own Xvfb, openbox and PulseAudio, and ends them (those only, by process id).
set -euo pipefail

exe=$(realpath "$1")
shots=${2:-}
# shellcheck source=session.sh
. "$(dirname "$0")/session.sh"

e2e_need Xvfb openbox xprop xev xdotool dbus-send dbus-run-session import pulseaudio parecord
e2e_start_xvfb
e2e_start_wm
e2e_start_pulse "$e2e_work/pulse"

e2e_drive 240 "$e2e_here/desktop_e2e.py" "$exe" "$e2e_work" "$shots" "$e2e_work/pulse/env"
