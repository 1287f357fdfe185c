#!/usr/bin/env bash
# Starts a private PulseAudio server for tests and prints its process id.
#
#   scripts/pulse/start.sh DIR [CONFIG]
#
# DIR: the server's own directory (made if missing, mode 700); it holds the socket, the pid
# file, the log (pulse.log) and "env", a file of shell assignments that point sound clients at
# this server and nowhere else:
#   . DIR/env; paplay -d micfeed speech.wav
# CONFIG: the server's script, by default test.pa beside this file.
# The server needs no D-Bus and never starts one; stop it with scripts/pulse/stop.sh DIR.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 DIR [CONFIG]" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1"
dir=$(cd "$1" && pwd)
config=${2:-$here/test.pa}
chmod 700 "$dir"
mkdir -p "$dir/config" "$dir/state"
chmod 700 "$dir/config" "$dir/state"

# Clients: this server only, never an automatically started one, and no cookie in $HOME.
printf 'autospawn = no\n' >"$dir/client.conf"
cat >"$dir/env" <<ENV
export PULSE_SERVER=unix:$dir/pulse/native
export PULSE_CLIENTCONFIG=$dir/client.conf
export PULSE_COOKIE=$dir/cookie
export XDG_RUNTIME_DIR=$dir
ENV

if ! command -v pulseaudio >/dev/null 2>&1; then
  echo "pulseaudio is not installed" >&2
  exit 3
fi

# The server keeps its state below DIR, and a session bus it cannot reach means it never
# launches one (that would outlive the test).
env -u DISPLAY \
  XDG_RUNTIME_DIR="$dir" PULSE_RUNTIME_PATH="$dir/pulse" XDG_CONFIG_HOME="$dir/config" \
  PULSE_STATE_PATH="$dir/state" PULSE_CLIENTCONFIG="$dir/client.conf" \
  PULSE_COOKIE="$dir/cookie" \
  DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/no-bus" DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/no-bus" \
  pulseaudio -n -F "$config" --daemonize=yes --exit-idle-time=-1 --disallow-exit=yes \
  --log-target="file:$dir/pulse.log" </dev/null >>"$dir/pulse.out" 2>&1 || {
  echo "pulseaudio did not start:" >&2
  tail -n 20 "$dir/pulse.log" "$dir/pulse.out" >&2 2>/dev/null || true
  exit 1
}

# Ready when it answers; give up after 10 s.
# shellcheck disable=SC1091
. "$dir/env"
for _ in $(seq 200); do
  if [ -s "$dir/pulse/pid" ] && pactl info >/dev/null 2>&1; then
    cat "$dir/pulse/pid"
    exit 0
  fi
  sleep 0.05
done
echo "pulseaudio does not answer:" >&2
tail -n 20 "$dir/pulse.log" >&2 2>/dev/null || true
if [ -s "$dir/pulse/pid" ]; then
  kill "$(cat "$dir/pulse/pid")" 2>/dev/null || true
fi
exit 1
