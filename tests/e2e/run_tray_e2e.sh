#!/usr/bin/env bash
# The tray icon (tray_e2e.py): one copy on a private X display with openbox and a system tray
# (trayer), inside one private D-Bus session.
# Usage: run_tray_e2e.sh EXECUTABLE [SCREENSHOT_DIR]
# Starts its own Xvfb, openbox and trayer, and ends them (those only, by process id).
set -euo pipefail

exe=$(realpath "$1")
shots=${2:-}
# shellcheck source=session.sh
. "$(dirname "$0")/session.sh"

e2e_need Xvfb openbox trayer wmctrl xprop xdotool dbus-run-session import
e2e_start_xvfb
e2e_start_wm
DISPLAY=$e2e_display XAUTHORITY=/dev/null trayer --edge bottom --align right --widthtype pixel \
  --width 64 --heighttype pixel --height 32 --expand false >"$e2e_work/trayer.log" 2>&1 &
e2e_xvfb_pids=("$!" "${e2e_xvfb_pids[@]}") # ended before the display
for _ in $(seq 100); do
  DISPLAY=$e2e_display xprop -root _NET_CLIENT_LIST 2>/dev/null | grep -q 'window id' && break
  sleep 0.1
done
# The tray owns its selection before the program looks for it.
for _ in $(seq 100); do
  DISPLAY=$e2e_display xdotool search --class trayer >/dev/null 2>&1 && break
  sleep 0.1
done

e2e_drive 150 "$e2e_here/tray_e2e.py" "$exe" "$e2e_work" "$shots"
