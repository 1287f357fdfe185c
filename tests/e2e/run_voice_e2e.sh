#!/usr/bin/env bash
# End-to-end voice test of the real program: three copies driven through the accessibility tree
# by voice_e2e.py. A and B share one private X display and one private sound server; C, the
# second talker, has a display and a sound server of its own (its own mouse and microphone).
# Usage: run_voice_e2e.sh EXECUTABLE [OUTPUT_DIR]
# OUTPUT_DIR receives the screenshots and the recordings of the last run.
set -euo pipefail

exe=$(realpath "$1")
out=${2:-}
# shellcheck source=session.sh
. "$(dirname "$0")/session.sh"

e2e_need Xvfb dbus-run-session import pulseaudio parec paplay espeak-ng
e2e_start_xvfb
e2e_start_xvfb
for name in ab c; do
  e2e_start_pulse "$e2e_work/pulse-$name" ||
    { echo "a private sound server did not start" >&2; exit 1; }
done

e2e_drive 240 "$e2e_here/voice_e2e.py" "$exe" "$e2e_work" "$out" \
  "$e2e_work/pulse-ab/env" "$e2e_work/pulse-c/env" "${e2e_displays[1]}"
