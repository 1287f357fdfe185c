#!/usr/bin/env bash
# Stops the private PulseAudio server that scripts/pulse/start.sh started in DIR: that server
# only, by the process id it recorded.
#
#   scripts/pulse/stop.sh DIR
set -uo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
pidfile="$1/pulse/pid"
[ -s "$pidfile" ] || exit 0
pid=$(tr -dc '0-9' <"$pidfile")
[ -n "$pid" ] || exit 0
# Only if that process is a pulseaudio (the pid may have been reused meanwhile).
if [ "$(cat "/proc/$pid/comm" 2>/dev/null)" != "pulseaudio" ]; then
  exit 0
fi
kill -TERM "$pid" 2>/dev/null || exit 0
for _ in $(seq 100); do
  state=$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null) || exit 0
  [ "$state" = "Z" ] && exit 0
  sleep 0.02
done
kill -KILL "$pid" 2>/dev/null || true
exit 0
