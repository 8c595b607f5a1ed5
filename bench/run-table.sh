#!/usr/bin/env bash
# Table benchmark: walks a 1,000,000-record recipient table (NAME C30, ORG C40, EMAIL C50, DEAR C20)
# reading all four fields as text, with our table layer and with python3-dbfread in the same run, and
# prints both rates (records per CPU second: the machine is shared), their ratio and the peak memory (ours also for 100,000 records, to show that it
# does not grow with the table). Then quorvel-dbf dump against python3-dbfread writing the same records
# through csv.writer, each best of two runs in CPU seconds, with their ratio. Not part of CI.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
cmake --build "$build" --target bench_table quorvel-dbf >/dev/null
bench="$build/bin/bench_table"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bench" generate "$work/small.dbf" 100000
"$bench" generate "$work/recipients.dbf" 1000000

small=$("$bench" walk "$work/small.dbf")
ours=$("$bench" walk "$work/recipients.dbf")
theirs=$(/usr/bin/python3 - "$work/recipients.dbf" <<'PY'
import resource, sys, time
import dbfread
start = time.monotonic()
cpu_start = time.process_time()
records = 0
size = 0
for record in dbfread.DBF(sys.argv[1], encoding="latin-1"):
    for name in ("NAME", "ORG", "EMAIL", "DEAR"):
        size += len(record[name])
    records += 1
cpu = time.process_time() - cpu_start
seconds = time.monotonic() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print("records=%d wall_seconds=%.3f cpu_seconds=%.3f rate=%.0f peak_kb=%d text_bytes=%d"
      % (records, seconds, cpu, records / cpu, peak, size))
PY
)
value() { sed -n "s/.*[ ^]$1=\([0-9.]*\).*/\1/p" <<<" $2"; }
echo "ours     (100,000 records):   $small"
echo "ours     (1,000,000 records): $ours"
echo "dbfread  (1,000,000 records): $theirs"
awk -v a="$(value rate "$ours")" -v b="$(value rate "$theirs")" 'BEGIN { printf "ratio: %.1f times the records per second of dbfread\n", a / b }'
echo "peak memory: ours $(value peak_kb "$small") kB at 100,000 and $(value peak_kb "$ours") kB at 1,000,000 records; dbfread $(value peak_kb "$theirs") kB"

# The dump: the same table to CSV, both outputs compared byte for byte so that both did the same work.
/usr/bin/python3 - "$build/bin/quorvel-dbf" "$work/recipients.dbf" "$work" <<'PY'
import hashlib, resource, subprocess, sys
tool, table, work = sys.argv[1:4]
peer = """
import csv, sys, dbfread
t = dbfread.DBF(sys.argv[1], encoding="latin-1")
w = csv.writer(sys.stdout, lineterminator="\\n")
w.writerow(t.field_names)
for record in t:
    w.writerow(record.values())
"""

def run(cmd, out):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    with open(out, "wb") as sink:
        subprocess.run(cmd, stdout=sink, check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime

def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()

ours = min(run([tool, "dump", table], work + "/ours.csv") for _ in range(2))
theirs = min(run(["/usr/bin/python3", "-c", peer, table], work + "/theirs.csv") for _ in range(2))
same = digest(work + "/ours.csv") == digest(work + "/theirs.csv")
print("dump     quorvel-dbf: cpu_seconds=%.3f" % ours)
print("dump     dbfread+csv: cpu_seconds=%.3f" % theirs)
print("dump ratio: %.1f times the speed of dbfread with csv.writer (same output: %s)" % (theirs / ours, "yes" if same else "NO"))
PY
