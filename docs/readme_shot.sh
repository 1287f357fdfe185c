#!/usr/bin/env bash
# Takes the README's picture of the main window (docs/main-window.png) on a private X display.
# Usage: docs/readme_shot.sh EXECUTABLE [OUTPUT_PNG]
set -euo pipefail

exe=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
output=$(realpath -m "${2:-$here/main-window.png}")
# shellcheck source=../tests/e2e/session.sh
. "$here/../tests/e2e/session.sh"

e2e_need Xvfb dbus-run-session import
e2e_start_xvfb
e2e_drive 60 "$here/readme_shot.py" "$exe" "$e2e_work" "$output"
