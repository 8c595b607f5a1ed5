#!/usr/bin/env bash
# Sends the same 1 KB messages to one local aiosmtpd sink, first with TSmtpClient, then with Python's smtplib,
# and prints messages per second and client CPU seconds per 1,000 messages for both. Not part of CI.
# Usage: bench/run-smtp.sh [COUNT] [BUILD_DIR]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-2000}
build=${2:-$top/build-bench}
python=/usr/bin/python3

cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target bench_smtp -j2 >/dev/null

store=$(mktemp -d)
trap 'rm -rf "$store"' EXIT
# The sink stops when its stdin closes; the coprocess keeps that pipe open until the end.
coproc SINK { exec "$python" "$top/tests/servers/smtp_sink.py" "$store"; }
read -r port <&"${SINK[0]}"
echo "aiosmtpd sink on 127.0.0.1:$port, $count messages of 1 KB each, one connection per client"

QT_QPA_PLATFORM=offscreen "$build/bin/bench_smtp" "$port" "$count"
"$python" "$top/bench/smtp/smtplib_loop.py" "$port" "$count"

exec {SINK[1]}>&-
wait "$SINK_PID" 2>/dev/null || true
echo "messages stored by the sink: $(ls "$store" | wc -l)"
