#!/usr/bin/env bash
# The real program against hostile partners (hostile.py): one copy on a private X display,
# inside a private D-Bus session, playing to a private PulseAudio. Starts those servers and
# ends them (those only, by process id) when done, with the end-to-end tests' machinery.
# Usage: run_hostile.sh EXECUTABLE REPORT_DIR
set -euo pipefail

exe=$(realpath "$1")
report=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../e2e/session.sh
. "$here/../e2e/session.sh"
pulse_env=

e2e_need Xvfb dbus-run-session
e2e_start_xvfb
if command -v pulseaudio >/dev/null && command -v parecord >/dev/null; then
  if e2e_start_pulse "$e2e_work/pulse"; then
    pulse_env=$e2e_work/pulse/env
  else
    echo "the private sound server did not start: the voice timing check is skipped" >&2
  fi
fi

mkdir -p "$report"
e2e_drive 170 "$here/hostile.py" "$exe" "$e2e_work" "$report" "$pulse_env"
