#!/usr/bin/env bash
# End-to-end test of a large transfer at full speed: two copies of the real program on one
# private X display, inside one private D-Bus session, driven by large_transfer_e2e.py.
# Usage: run_large_transfer_e2e.sh EXECUTABLE [SCREENSHOT_DIR]
# Starts its own Xvfb and ends it (that only, by process id) when done.
set -euo pipefail

exe=$(realpath "$1")
shots=${2:-}
# shellcheck source=session.sh
. "$(dirname "$0")/session.sh"

e2e_need Xvfb dbus-run-session import
e2e_start_xvfb
e2e_drive 240 "$e2e_here/large_transfer_e2e.py" "$exe" "$e2e_work" "$shots"
