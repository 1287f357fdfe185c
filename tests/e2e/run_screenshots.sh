#!/usr/bin/env bash
# Pictures of every window of the real program (screenshots.py says which), for looking at by
# eye; not part of the test suite.
# Usage: run_screenshots.sh EXECUTABLE OUTPUT_DIR
# Starts its own Xvfb inside a private D-Bus session and ends it (that only, by process id).
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: $0 EXECUTABLE OUTPUT_DIR" >&2; exit 2; }
exe=$(realpath "$1")
mkdir -p "$2"
out=$(realpath "$2")
# shellcheck source=session.sh
. "$(dirname "$0")/session.sh"

e2e_need Xvfb dbus-run-session import
e2e_start_xvfb
# With PulseAudio installed, the program sees two speakers and two microphones of a private
# sound server; without it, no sound device at all.
sound_env=
if e2e_start_pulse "$e2e_work/pulse" "$e2e_root/scripts/pulse/shots.pa"; then
  sound_env=$e2e_work/pulse/env
fi
e2e_drive 120 "$e2e_here/screenshots.py" "$exe" "$e2e_work" "$out" "$sound_env"
