#!/usr/bin/env bash
# Messages per second over a slow link: a delay proxy (bench/latency) holds every byte DELAY ms each way on
# loopback in front of Postfix's smtp-sink (offers PIPELINING, not CHUNKING) and of a throw-away Postfix smtpd
# instance (offers both, relays to the same sink). Through each, in the same run: Python's smtplib, Postfix's
# smtp-source on one connection and on four, TSmtpClient alone one Mail after another (the dialogue as it was
# before the client took commands in groups: HELO, every reply awaited), TSmtpClient's queue with PIPELINING and,
# where offered, CHUNKING, the wizard window's run (which uses what the server offers) and quorvel-send's run on
# one connection and on four. Rates are set against the floor of a dialogue that waits for every reply, four
# round trips per message (MAIL, RCPT, DATA, the final "."): 1000 / (4 x RTT ms). Not part of CI.
# Postfix comes from Debian's package, installed when missing with debconf's "No configuration", so the
# package writes no main.cf and no mail system starts (a policy-rc.d that refuses to start services is also
# honoured). The throw-away instance lives in a temporary directory and stops at the end.
# With DELAY_MS 0 the clients go straight to the servers, without the proxy: the loopback figures.
# Usage: bench/run-latency.sh [COUNT] [BUILD_DIR] [DELAY_MS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-500}
build=${2:-$top/build-bench}
delay=${3:-15}
python=/usr/bin/python3
sbin=/usr/sbin

"$top/bench/install-postfix.sh"

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target delay_proxy bench_smtp quorvel-send -j2 >/dev/null
cmake --build "$build" --target bench_run -j2 >/dev/null 2>&1 || echo "bench_run not built: the window run is left out"

free_port() {
    "$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

work=$(mktemp -d /dev/shm/latency-bench.XXXXXX) # the instance's queue on tmpfs: no disk in the figures
chmod 755 "$work"
results="$work/results"
pids=()
cleanup() {
    [ -f "$work/etc/main.cf" ] && "$sbin/postfix" -c "$work/etc" stop >/dev/null 2>&1 || true
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# smtp-sink drops root rights to the postfix user once it listens; a backlog of 256 connections.
sink_port=$(free_port)
user=()
[ "$(id -u)" = 0 ] && user=(-u postfix)
"$sbin/smtp-sink" "${user[@]}" "127.0.0.1:$sink_port" 256 &
pids+=($!)

# The private smtpd: its own main.cf and master.cf, loopback only, relaying everything to the sink.
smtpd_port=$(free_port)
if [ "$(id -u)" = 0 ]; then
    mkdir -p "$work/etc" "$work/queue" "$work/data"
    chown postfix "$work/data"
    cat >"$work/etc/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $work/queue
data_directory = $work/data
myhostname = relay.localhost
mydestination =
inet_interfaces = loopback-only
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
relayhost = [127.0.0.1]:$sink_port
smtpd_relay_restrictions = permit_mynetworks, reject
smtpd_peername_lookup = no
smtp_dns_support_level = disabled
alias_maps =
alias_database =
local_recipient_maps =
maillog_file_prefixes = $work
maillog_file = $work/maillog
EOF
    # The stock services, none of them chrooted, and smtpd on the private port instead of port 25.
    sed -e "s/^smtp \+inet .*/127.0.0.1:$smtpd_port inet n - n - - smtpd/" \
        -e 's/^\([a-z]\+ \+[a-z-]\+ \+[-yn] \+[-yn] \+\)y/\1n/' \
        /usr/share/postfix/master.cf.dist >"$work/etc/master.cf"
    "$sbin/postfix" -c "$work/etc" start-fg >/dev/null 2>&1 &
    pids+=($!)
else
    echo "the Postfix smtpd target needs root (its queue belongs to the postfix user); left out"
    smtpd_port=
fi

# Waits until a server answers its greeting, so no client meets a port that does not listen yet.
"$python" - "$sink_port" $smtpd_port <<'EOF'
import smtplib, sys, time
for port in sys.argv[1:]:
    for _ in range(100):
        try:
            smtplib.SMTP("127.0.0.1", int(port), timeout=2).quit()
            break
        except OSError:
            time.sleep(0.1)
    else:
        sys.exit("no server on port %s" % port)
EOF

# One line per client into the results: TARGET|CLIENT|RATE.
measure() {
    local target=$1 port=$2 line rate started seconds
    line=$("$python" "$top/bench/smtp/smtplib_loop.py" "$port" "$count")
    echo "$target|python smtplib|$(awk '{ print $(NF - 7) }' <<<"$line")" >>"$results"
    for sessions in 1 4; do
        started=$(date +%s.%N)
        "$sbin/smtp-source" -d -s "$sessions" -m "$count" -l 1024 -M bench.localhost -f sender@example.org \
            -t rcpt@example.org "127.0.0.1:$port"
        seconds=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
        echo "$target|smtp-source -s $sessions|$(awk -v n="$count" -v s="$seconds" 'BEGIN { print n / s }')" >>"$results"
    done
    line=$(QT_QPA_PLATFORM=offscreen "$build/bin/bench_smtp" "$port" "$count" 2>/dev/null)
    echo "$target|TSmtpClient lockstep|$(awk '{ print $(NF - 7) }' <<<"$line")" >>"$results"
    local modes=(pipelining)
    [ "$target" = smtpd ] && modes+=(chunking)
    for mode in "${modes[@]}"; do
        line=$(QT_QPA_PLATFORM=offscreen "$build/bin/bench_smtp" "$port" "$count" - "$mode" 2>/dev/null)
        echo "$target|TSmtpClient $mode|$(awk '{ print $(NF - 7) }' <<<"$line")" >>"$results"
    done
    if [ -x "$build/bin/bench_run" ]; then
        line=$(QT_QPA_PLATFORM=offscreen "$build/bin/bench_run" "$count" "$port" 2>/dev/null | grep '^wizard window')
        echo "$target|wizard window run|$(awk '{ print $(NF - 7) }' <<<"$line")" >>"$results"
    fi
    # The mailing run as quorvel-send drives it (start, check and summary included), on one connection and four.
    for connections in 1 4; do
        line=$("$python" "$top/bench/run/send_tool.py" "$build/bin/quorvel-send" "$count" "$port" "$connections")
        echo "$target|quorvel-send, $connections conn.|$(awk '{ print $4 }' <<<"$line")" >>"$results"
    done
}

# The round trip the proxy really gives: the median of 20 NOOPs through it.
round_trip() {
    "$python" - "$1" <<'EOF'
import smtplib, statistics, sys, time
client = smtplib.SMTP("127.0.0.1", int(sys.argv[1]))
times = []
for _ in range(20):
    started = time.perf_counter()
    client.noop()
    times.append((time.perf_counter() - started) * 1000)
client.quit()
print("%.1f" % statistics.median(times))
EOF
}

echo "$count messages of 1 KB per client, ${delay} ms each way (round trip $((2 * delay)) ms)"
for target in smtp-sink smtpd; do
    port=$sink_port name="Postfix smtp-sink (PIPELINING)"
    if [ "$target" = smtpd ]; then
        [ -n "$smtpd_port" ] || continue
        port=$smtpd_port name="Postfix smtpd (PIPELINING, CHUNKING), relaying to the sink"
    fi
    if ((delay == 0)); then
        echo "$name: 127.0.0.1:$port, no proxy, measured round trip $(round_trip "$port") ms"
        measure "$target" "$port"
        continue
    fi
    coproc PROXY { exec "$build/bin/delay_proxy" 0 127.0.0.1 "$port" "$delay"; }
    pids+=($PROXY_PID)
    read -r _ proxy_port <&"${PROXY[0]}"
    echo "$name: proxy 127.0.0.1:$proxy_port, measured round trip $(round_trip "$proxy_port") ms"
    measure "$target" "$proxy_port"
    kill "$PROXY_PID"
    wait "$PROXY_PID" 2>/dev/null || true
done

# The instance relays in the background: once its queue is empty, what it passed on to the sink.
if [ -n "$smtpd_port" ]; then
    for _ in $(seq 60); do
        "$sbin/postqueue" -c "$work/etc" -p 2>/dev/null | grep -q 'queue is empty' && break
        sleep 0.5
    done
    echo "messages the smtpd instance relayed to the sink: $(grep -c 'status=sent' "$work/maillog" || true)"
fi

# Without the proxy there is no floor to speak of: the rates stand alone.
awk -F'|' -v rtt=$((2 * delay)) '
    BEGIN {
        floor = rtt ? 1000 / (4 * rtt) : 0
        if (floor)
            printf "\nfloor: 1000 / (4 x %d ms) = %.2f msg/s\n", rtt, floor
        printf "%-10s %-24s %9s %9s\n", "target", "client", "msg/s", floor ? "x floor" : ""
    }
    { printf "%-10s %-24s %9.2f %9s\n", $1, $2, $3, floor ? sprintf("%.2f", $3 / floor) : "" }' "$results"
