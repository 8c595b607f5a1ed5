#!/usr/bin/env bash
# Pre-flight summary benchmark: summarises a 100,000-record recipient table (all four fields mapped, a
# personalised body wrapped for every record) and, as the peer in the same run, python3-dbfread reading the
# same four fields of every record. Prints both times (CPU seconds: the machine is shared) and their ratio.
# Not part of CI.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
count=${1:-100000}
cmake --build "$build" --target bench_table bench_preflight >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/bin/bench_table" generate "$work/recipients.dbf" "$count"
ours=$("$build/bin/bench_preflight" "$work/recipients.dbf")
theirs=$(/usr/bin/python3 - "$work/recipients.dbf" <<'PY'
import sys, time
import dbfread
start = time.monotonic()
cpu_start = time.process_time()
records = 0
for record in dbfread.DBF(sys.argv[1], encoding="latin-1"):
    for name in ("NAME", "ORG", "EMAIL", "DEAR"):
        record[name]
    records += 1
print("records=%d wall_seconds=%.3f cpu_seconds=%.3f"
      % (records, time.monotonic() - start, time.process_time() - cpu_start))
PY
)
value() { sed -n "s/.*[ ^]$1=\([0-9.]*\).*/\1/p" <<<" $2"; }
echo "summary  ($count records): $ours"
echo "dbfread  ($count records, reading only): $theirs"
awk -v a="$(value cpu_seconds "$ours")" -v b="$(value cpu_seconds "$theirs")" \
    'BEGIN { printf "ratio: the summary takes %.2f of the CPU time dbfread needs only to read the table\n", a / b }'
