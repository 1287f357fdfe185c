#!/usr/bin/env bash
# End-to-end test of per-partner volume and of the chosen speaker: one copy of the program on a
# private X display with a private sound server, its partners played by partner_volume_e2e.py.
# Usage: run_partner_volume_e2e.sh EXECUTABLE [OUTPUT_DIR]
# OUTPUT_DIR receives the recordings and pictures of the last run.
set -euo pipefail

exe=$(realpath "$1")
out=${2:-}
# shellcheck source=session.sh
. "$(dirname "$0")/session.sh"

e2e_need Xvfb dbus-run-session import pulseaudio parec pactl
e2e_start_xvfb
e2e_start_pulse "$e2e_work/pulse" || { echo "a private sound server did not start" >&2; exit 1; }

e2e_drive 240 "$e2e_here/partner_volume_e2e.py" "$exe" "$e2e_work" "$out" "$e2e_work/pulse/env"
