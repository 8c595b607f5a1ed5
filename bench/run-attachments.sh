#!/usr/bin/env bash
# Each recipient's own PDF: COUNT recipients with a file of SIZE bytes each, sent by quorvel-send and by Python's
# email package with smtplib to the same Postfix smtp-sink, in turns: messages and MB per second, the ratio, and
# quorvel-send's peak memory. Not part of CI; the sink comes with Debian's postfix package, installed when missing.
# Usage: bench/run-attachments.sh [COUNT] [BUILD_DIR] [ROUNDS] [SIZE]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-1000}
build=${2:-$top/build-bench}
rounds=${3:-3}
size=${4:-204800}
sink=/usr/sbin/smtp-sink

"$top/bench/install-postfix.sh"

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target quorvel-send -j2 >/dev/null

port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
results=$(mktemp)
user=()
[ "$(id -u)" = 0 ] && user=(-u postfix)
"$sink" "${user[@]}" "127.0.0.1:$port" 256 &
sink_pid=$!
trap 'kill "$sink_pid" 2>/dev/null; rm -f "$results"' EXIT
sleep 0.5
echo "Postfix smtp-sink on 127.0.0.1:$port, $count recipients with a $size-byte PDF each, $rounds round(s)"

for ((round = 1; round <= rounds; ++round)); do
    /usr/bin/python3 "$top/bench/run/attachments.py" ours "$count" "$port" "$build/bin/quorvel-send" "$size" |
        tee -a "$results"
    /usr/bin/python3 "$top/bench/run/attachments.py" python "$count" "$port" "" "$size" | tee -a "$results"
done

# Lines read: NAME COUNT messages SECONDS s RATE msg/s MB MB/s peak KB kB
awk '
    function median(a, k,    i, j, t) {
        for (i = 1; i <= k; ++i) for (j = i + 1; j <= k; ++j) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
        return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
    }
    /^quorvel-send / { orate[++o] = $6; omb[o] = $8; opeak[o] = $11 }
    /^email\+smtplib / { prate[++p] = $6; pmb[p] = $8; ppeak[p] = $11 }
    END {
        or_ = median(orate, o); om = median(omb, o); op = median(opeak, o)
        pr = median(prate, p); pm = median(pmb, p); pp = median(ppeak, p)
        printf "median quorvel-send   %8.1f msg/s %7.1f MB/s  peak %6.1f MB\n", or_, om, op / 1024
        printf "median email+smtplib  %8.1f msg/s %7.1f MB/s  peak %6.1f MB\n", pr, pm, pp / 1024
        printf "quorvel-send / Python %.2f (target at least 2)\n", or_ / pr
        printf "quorvel-send peak     %.1f MB (target at most 60)\n", op / 1024
    }' "$results"
