#!/usr/bin/env bash
# The mailing run through the wizard window with an assistive-technology client listening on the accessibility bus
# (pyatspi registered for every event, as a screen reader is) and without one, against TSmtpClient alone, in
# turns, to the same Postfix smtp-sink: messages per second, and each window rate as a share of the client's.
# The window runs on a virtual X server with Qt's accessibility bridge, on a D-Bus session of its own. Not part of
# CI; installs python3-pyatspi and Postfix when missing (as root, like the rest of the machine's setup).
# Usage: bench/run-atspi.sh [COUNT] [BUILD_DIR] [ROUNDS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-10000}
build=${2:-$top/build-bench}
rounds=${3:-3}

"$top/bench/install-postfix.sh"
if ! /usr/bin/python3 -c 'import pyatspi' 2>/dev/null; then
    echo "installing python3-pyatspi for the listening client"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends python3-pyatspi >/dev/null
fi
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target bench_run bench_smtp -j2 >/dev/null

if [ -z "${QUORVEL_ATSPI_SESSION:-}" ]; then
    # A bus of our own: the user's desktop and its screen reader stay out of the figures.
    exec env QUORVEL_ATSPI_SESSION=1 dbus-run-session -- "$0" "$count" "$build" "$rounds"
fi

results=$(mktemp)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -f "$results"
}
trap cleanup EXIT

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
/usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
pids+=($!)
export QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 NO_AT_BRIDGE=0
sleep 1

port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
user=()
[ "$(id -u)" = 0 ] && user=(-u postfix)
/usr/sbin/smtp-sink "${user[@]}" "127.0.0.1:$port" 256 &
pids+=($!)
sleep 0.5
echo "Postfix smtp-sink on 127.0.0.1:$port, $count recipients, $rounds round(s), X server $display"

for ((round = 1; round <= rounds; ++round)); do
    "$build/bin/bench_smtp" "$port" "$count" 2>/dev/null | tee -a "$results"
    "$build/bin/bench_smtp" "$port" "$count" - pipelining 2>/dev/null | tee -a "$results"
    "$build/bin/bench_run" "$count" "$port" 2>/dev/null | sed 's/^wizard window /window, no listener /' |
        tee -a "$results"
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    /usr/bin/python3 "$top/bench/run/atspi_listener.py" >"$fifo" &
    listener=$!
    exec 3<"$fifo"
    read -r ready <&3 # "listening"
    "$build/bin/bench_run" "$count" "$port" 2>/dev/null | sed 's/^wizard window /window, listener    /' |
        tee -a "$results"
    kill -TERM "$listener"
    read -r events <&3 || events="events ?"
    exec 3<&-
    wait "$listener" 2>/dev/null || true
    rm -f "$fifo"
    echo "listener received        ${events#events } accessibility events" | tee -a "$results"
done

# Lines read: NAME... COUNT messages RATE msg/s CPU CPU s per 1000 messages
awk '
    function median(a, k,    i, j, t) {
        for (i = 1; i <= k; ++i) for (j = i + 1; j <= k; ++j) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
        return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
    }
    /^TSmtpClient .*pipelining/ { n = NF; prate[++p] = $(n - 7); next }
    /^TSmtpClient / { n = NF; crate[++c] = $(n - 7) }
    /^window, no listener / { n = NF; qrate[++q] = $(n - 7); qcpu[q] = $(n - 5) }
    /^window, listener / { n = NF; lrate[++l] = $(n - 7); lcpu[l] = $(n - 5) }
    /^listener received / { ev[++e] = $3 }
    END {
        cr = median(crate, c); qr = median(qrate, q); lr = median(lrate, l)
        pr = median(prate, p)
        printf "median client alone         %8.1f msg/s one reply at a time, %.1f msg/s pipelining as the run\n", cr, pr
        printf "median window, no listener  %8.1f msg/s  %.2f of the client (target at least 0.8), %.2f of pipelining\n", qr, qr / cr, qr / pr
        printf "median window, listener     %8.1f msg/s  %.2f of the client (target at least 0.8), %.2f of pipelining\n", lr, lr / cr, lr / pr
        printf "median CPU s per 1000        %.3f without a listener, %.3f with one (a machine shared with other work\n", median(qcpu, q), median(lcpu, l)
        printf "                             moves the rates far more than the CPU)\n"
        printf "median events received      %d\n", median(ev, e)
    }' "$results"
