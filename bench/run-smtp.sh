#!/usr/bin/env bash
# Sends the same 1 KB messages to one local aiosmtpd sink, first with TSmtpClient, then with Python's smtplib,
# and prints messages per second and client CPU seconds per 1,000 messages for both. Not part of CI.
# With ROUNDS above 1 the two clients take turns that many times and the medians follow, since one run on a
# machine shared with other work can be far off.
# With SECURITY starttls both clients secure their connection with STARTTLS to a sink whose certificate this
# script makes with openssl (a CA and a certificate for localhost), and check it against that CA.
# Usage: bench/run-smtp.sh [COUNT] [BUILD_DIR] [ROUNDS] [SECURITY]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-2000}
build=${2:-$top/build-bench}
rounds=${3:-1}
security=${4:-none}
python=/usr/bin/python3

cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target bench_smtp -j2 >/dev/null

store=$(mktemp -d)
results=$(mktemp)
trap 'rm -rf "$store" "$results"' EXIT
sink_options=()
client_options=()
if [ "$security" = starttls ]; then
    certs=$(mktemp -d)
    trap 'rm -rf "$store" "$results" "$certs"' EXIT
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$certs/ca.key" -out "$certs/ca.pem" -days 2 \
        -subj "/CN=Bench CA" 2>/dev/null
    openssl req -new -newkey rsa:2048 -nodes -keyout "$certs/server.key" -out "$certs/server.csr" \
        -subj "/CN=localhost" 2>/dev/null
    printf 'subjectAltName=DNS:localhost\n' >"$certs/ext"
    openssl x509 -req -in "$certs/server.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca.key" -CAcreateserial \
        -days 2 -extfile "$certs/ext" -out "$certs/server.pem" 2>/dev/null
    sink_options=(--security starttls --cert "$certs/server.pem" --key "$certs/server.key")
    client_options=("$certs/ca.pem")
fi
# The sink stops when its stdin closes; the coprocess keeps that pipe open until the end.
coproc SINK { exec "$python" "$top/tests/servers/smtp_sink.py" "$store" "${sink_options[@]}"; }
read -r port <&"${SINK[0]}"
echo "aiosmtpd sink on 127.0.0.1:$port ($security), $count messages of 1 KB each, one connection per client, $rounds round(s)"

for ((round = 1; round <= rounds; ++round)); do
    QT_QPA_PLATFORM=offscreen "$build/bin/bench_smtp" "$port" "$count" "${client_options[@]}" | tee -a "$results"
    "$python" "$top/bench/smtp/smtplib_loop.py" "$port" "$count" "${client_options[@]}" | tee -a "$results"
done

if ((rounds > 1)); then
    # Lines read: NAME... COUNT messages RATE msg/s CPU CPU s per 1000 messages
    for client in TSmtpClient "python smtplib"; do
        grep "^$client " "$results" | awk -v name="$client" '
            { n = NF; rate[NR] = $(n - 7); cpu[NR] = $(n - 5) }
            function median(a, k,    i, j, t) {
                for (i = 1; i <= k; ++i) for (j = i + 1; j <= k; ++j) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
                return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
            }
            END { printf "median %-16s %8.1f msg/s  %7.3f CPU s per 1000 messages\n", name, median(rate, NR), median(cpu, NR) }'
    done
fi

exec {SINK[1]}>&-
wait "$SINK_PID" 2>/dev/null || true
echo "messages stored by the sink: $(ls "$store" | wc -l)"
