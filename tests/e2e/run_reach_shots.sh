#!/usr/bin/env bash
# Pictures of the settings dialog's 接続先 page and the 自分の接続先 view (reach_shots.py), run
# inside the router test's LAN namespace by router_test.py; not part of the test suite.
# Usage: run_reach_shots.sh EXECUTABLE OUTPUT_DIR
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
e2e_drive 120 "$e2e_here/reach_shots.py" "$exe" "$e2e_work" "$out"
