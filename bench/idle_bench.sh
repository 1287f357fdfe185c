#!/usr/bin/env bash
# The session idle_bench.py measures in: a private X display, a private PulseAudio with null
# sinks, and a private D-Bus session around the driver, with the end-to-end tests' machinery
# (tests/e2e/session.sh), which ends those processes (only those, by process id) afterwards.
# idle_bench.py starts this itself; run that one.
# Usage: idle_bench.sh SECONDS_ALLOWED IDLE_BENCH_ARGS...
set -euo pipefail

allowed=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../tests/e2e/session.sh
. "$here/../tests/e2e/session.sh"

e2e_need Xvfb dbus-run-session pulseaudio parecord
e2e_start_xvfb
e2e_start_pulse "$e2e_work/pulse" || { echo "the private sound server did not start" >&2; exit 1; }
e2e_drive "$allowed" "$here/idle_bench.py" --inside "$e2e_work" "$e2e_work/pulse/env" "$@"
