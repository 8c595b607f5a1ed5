#!/usr/bin/env bash
# A long mailing run through the wizard window and through quorvel-send against TSmtpClient alone (one reply at a
# time, and pipelining as the run talks to this sink), all to the same Postfix smtp-sink, in turns: messages per second, CPU seconds per 1,000 messages, memory (and the window's
# repaints), and each rate as a share of the client's. Not part of CI; the sink comes with Debian's postfix package, which
# the script installs when it is missing (as root, like the rest of the machine's setup).
# With ROUNDS above 1 the three take turns that many times and the medians follow, since one run on a machine
# shared with other work can be far off.
# Usage: bench/run-mailing.sh [COUNT] [BUILD_DIR] [ROUNDS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-10000}
build=${2:-$top/build-bench}
rounds=${3:-3}
sink=/usr/sbin/smtp-sink

"$top/bench/install-postfix.sh"

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target bench_run bench_smtp quorvel-send -j2 >/dev/null

port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
results=$(mktemp)
# smtp-sink drops root rights to the postfix user once it listens; a backlog of 256 connections.
user=()
[ "$(id -u)" = 0 ] && user=(-u postfix)
"$sink" "${user[@]}" "127.0.0.1:$port" 256 &
sink_pid=$!
trap 'kill "$sink_pid" 2>/dev/null; rm -f "$results"' EXIT
sleep 0.5
echo "Postfix smtp-sink on 127.0.0.1:$port, $count recipients, $rounds round(s)"

for ((round = 1; round <= rounds; ++round)); do
    QT_QPA_PLATFORM=offscreen "$build/bin/bench_smtp" "$port" "$count" 2>/dev/null | tee -a "$results"
    QT_QPA_PLATFORM=offscreen "$build/bin/bench_smtp" "$port" "$count" - pipelining 2>/dev/null | tee -a "$results"
    QT_QPA_PLATFORM=offscreen "$build/bin/bench_run" "$count" "$port" 2>/dev/null | tee -a "$results"
    /usr/bin/python3 "$top/bench/run/send_tool.py" "$build/bin/quorvel-send" "$count" "$port" | tee -a "$results"
done

# Lines read: NAME... COUNT messages RATE msg/s CPU CPU s per 1000 messages
awk '
    function median(a, k,    i, j, t) {
        for (i = 1; i <= k; ++i) for (j = i + 1; j <= k; ++j) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
        return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
    }
    /^TSmtpClient .*pipelining/ { n = NF; prate[++p] = $(n - 7); pcpu[p] = $(n - 5); next }
    /^TSmtpClient / { n = NF; crate[++c] = $(n - 7); ccpu[c] = $(n - 5) }
    /^wizard window / { n = NF; wrate[++w] = $(n - 7); wcpu[w] = $(n - 5) }
    /^quorvel-send / { srate[++s] = $4; scpu[s] = $6; sfirst[s] = $12; slast[s] = $17 }
    END {
        cr = median(crate, c); cc = median(ccpu, c); wr = median(wrate, w); wc = median(wcpu, w)
        printf "median client alone      %8.1f msg/s  %6.3f CPU s per 1000 messages (one reply at a time)\n", cr, cc
        pr = median(prate, p); pc = median(pcpu, p)
        printf "median client pipelining %8.1f msg/s  %6.3f CPU s per 1000 messages (as the run talks to this sink)\n", pr, pc
        printf "median wizard window     %8.1f msg/s  %6.3f CPU s per 1000 messages\n", wr, wc
        printf "window / client rate     %.2f (target at least 0.8)\n", wr / cr
        printf "window CPU per 1000      %.3f s (target at most 0.2)\n", wc
        sr = median(srate, s); sc = median(scpu, s); sf = median(sfirst, s); sl = median(slast, s)
        printf "median quorvel-send      %8.1f msg/s  %6.3f CPU s per 1000 messages\n", sr, sc
        printf "quorvel-send / client    %.2f (target at least 0.95)\n", sr / cr
        printf "window / pipelining      %.2f, quorvel-send / pipelining %.2f\n", wr / pr, sr / pr
        printf "quorvel-send memory      %d kB at row 1,000, %d kB at the last row (target: flat)\n", sf, sl
    }' "$results"
