# What the end-to-end runners share; sourced, not run. It makes a work folder, starts a private
# X display and private sound servers on request, runs a Python driver inside a private D-Bus
# session, and on exit ends what it started (those processes only, by process id) and removes
# the work folder.
#
#   . session.sh
#   e2e_need Xvfb dbus-run-session import
#   e2e_start_xvfb                  # once for each display wanted
#   e2e_start_pulse "$e2e_work/pulse" && env_file=$e2e_work/pulse/env
#   e2e_drive 120 driver.py ARGS...

e2e_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
e2e_root=$(cd "$e2e_here/../.." && pwd)
e2e_work=$(mktemp -d "${TMPDIR:-/tmp}/voxilen-e2e.XXXXXX")
e2e_display=    # the first display
e2e_displays=() # every display, in the order started
e2e_xvfb_pids=()
e2e_pulse_dirs=()

e2e_cleanup() {
  local dir
  for dir in "${e2e_pulse_dirs[@]}"; do
    bash "$e2e_root/scripts/pulse/stop.sh" "$dir" || true
  done
  local pid
  for pid in "${e2e_xvfb_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$e2e_work"
}
trap e2e_cleanup EXIT

# Fails (status 1) naming the first tool that is missing.
e2e_need() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null ||
      { echo "missing $tool (scripts/install-deps.sh)" >&2; return 1; }
  done
}

# A free display of our own; Xvfb writes its number to fd 6 once it accepts clients.
e2e_start_xvfb() {
  local n=${#e2e_displays[@]} pid
  Xvfb -displayfd 6 -screen 0 1280x800x24 -nolisten tcp \
    6>"$e2e_work/display$n" 2>"$e2e_work/xvfb$n.log" &
  pid=$!
  e2e_xvfb_pids+=("$pid")
  for _ in $(seq 100); do
    [ -s "$e2e_work/display$n" ] && break
    kill -0 "$pid" 2>/dev/null || { cat "$e2e_work/xvfb$n.log" >&2; return 1; }
    sleep 0.1
  done
  [ -s "$e2e_work/display$n" ] || { echo "Xvfb did not start" >&2; return 1; }
  e2e_displays+=(":$(head -n1 "$e2e_work/display$n")")
  e2e_display=${e2e_displays[0]}
}

# A window manager (openbox) on the last display started, so that focus, activation and
# stacking behave as on a desktop; ended with the display.
e2e_start_wm() {
  local display=${e2e_displays[-1]} pid
  DISPLAY=$display XAUTHORITY=/dev/null openbox --sm-disable \
    >"$e2e_work/openbox.log" 2>&1 &
  pid=$!
  e2e_xvfb_pids=("$pid" "${e2e_xvfb_pids[@]}")  # ended before the display
  for _ in $(seq 100); do
    DISPLAY=$display xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && return 0
    kill -0 "$pid" 2>/dev/null || { cat "$e2e_work/openbox.log" >&2; return 1; }
    sleep 0.1
  done
  echo "openbox did not start" >&2
  return 1
}

# A private sound server in DIR (scripts/pulse/start.sh), made from CONFIG when given; its
# client settings are in DIR/env. Fails when PulseAudio or its tools are missing or the server
# does not come up.
e2e_start_pulse() {
  command -v pulseaudio >/dev/null && command -v parecord >/dev/null &&
    [ -f "$e2e_root/scripts/pulse/start.sh" ] || return 1
  e2e_pulse_dirs+=("$1")
  bash "$e2e_root/scripts/pulse/start.sh" "$@" >/dev/null
}

# Runs a Python driver with Debian's python3 on the first display, inside a D-Bus session that
# (with the accessibility bus it launches) ends with the driver; gives up after SECONDS.
e2e_drive() {
  local seconds=$1
  shift
  DISPLAY=$e2e_display XAUTHORITY=/dev/null PYTHONDONTWRITEBYTECODE=1 timeout "$seconds" \
    dbus-run-session -- /usr/bin/python3 "$@" 2> >(grep -v '^dbus-daemon\[' >&2)
}
