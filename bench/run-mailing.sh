#!/usr/bin/env bash
# A long mailing run (default 10,000 recipients) through the wizard window to a local aiosmtpd sink, then the
# Python smtplib loop to a sink of its own as the peer in the same run. Not part of CI.
# Usage: bench/run-mailing.sh [COUNT] [BUILD_DIR]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-10000}
build=${2:-$top/build-bench}
python=/usr/bin/python3

cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target bench_run -j2 >/dev/null

echo "== the wizard, $count recipients"
QT_QPA_PLATFORM=offscreen "$build/bin/bench_run" "$count"

echo "== peer: Python smtplib, $count messages on one connection"
store=$(mktemp -d)
trap 'rm -rf "$store"' EXIT
coproc SINK { exec "$python" "$top/tests/servers/smtp_sink.py" "$store"; }
read -r port <&"${SINK[0]}"
"$python" "$top/bench/smtp/smtplib_loop.py" "$port" "$count"
exec {SINK[1]}>&-
wait "$SINK_PID" 2>/dev/null || true
