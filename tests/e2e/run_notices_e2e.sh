#!/usr/bin/env bash
# Notices on the desktop (notices_e2e.py): one copy on a private X display with openbox, a fake
# notification server on the private D-Bus session the driver runs in.
# Usage: run_notices_e2e.sh EXECUTABLE [SCREENSHOT_DIR]
# Starts its own Xvfb and openbox, and ends them (those only, by process id).
set -euo pipefail

exe=$(realpath "$1")
shots=${2:-}
# shellcheck source=session.sh
. "$(dirname "$0")/session.sh"

e2e_need Xvfb openbox xprop xev xdotool dbus-run-session import
/usr/bin/python3 -c 'import dbusmock' 2>/dev/null ||
  { echo "missing python3-dbusmock (scripts/install-deps.sh)" >&2; exit 1; }
e2e_start_xvfb
e2e_start_wm

e2e_drive 150 "$e2e_here/notices_e2e.py" "$exe" "$e2e_work" "$shots"
