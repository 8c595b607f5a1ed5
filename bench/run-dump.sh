#!/usr/bin/env bash
# Dump benchmark: quorvel-dbf dump of a 1,000,000-record Windows-1251 table (Cyrillic names and organisations)
# to UTF-8 CSV, against python3-dbfread (encoding cp1251) writing the same records through csv.writer, in the
# same run. Prints both rates (records per CPU second: the machine is shared), their ratio, and the dump's peak
# memory at 100,000 and 1,000,000 records (it must not grow with the table). Not part of CI.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
cmake --build "$build" --target quorvel-dbf >/dev/null
tool="$build/bin/quorvel-dbf"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The table is written byte by byte here (language driver 0xC9 = Windows-1251), so no reader under test made it.
generate() {
    /usr/bin/python3 - "$1" "$2" <<'PY'
import struct, sys, datetime
path, count = sys.argv[1], int(sys.argv[2])
fields = [("NAME", 30), ("ORG", 40), ("EMAIL", 50), ("DEAR", 20)]
record_length = 1 + sum(width for _, width in fields)
header_length = 32 + 32 * len(fields) + 1
today = datetime.date.today()
with open(path, "wb") as out:
    out.write(struct.pack("<BBBBIHH17xB2x", 0x03, today.year - 1900, today.month, today.day, count,
                          header_length, record_length, 0xC9))
    for name, width in fields:
        out.write(struct.pack("<11sc4xBB14x", name.encode(), b"C", width, 0))
    out.write(b"\r")
    first = ["Иван", "Ольга", "Пётр", "Анна", "Сергей", "Мария"]
    last = ["Петров", "Смирнова", "Кузнецов", "Иванова", "Соколов", "Попова"]
    block = []
    for i in range(1, count + 1):
        values = ("%s %s %d" % (first[i % 6], last[i % 7 % 6], i), "ООО «Ромашка» %d" % (i % 977),
                  "user%d@example.org" % i, "Уважаемый" if i % 2 else "Уважаемая")
        block.append(b" " + b"".join(v.encode("cp1251").ljust(w, b" ") for v, (_, w) in zip(values, fields)))
        if len(block) == 65536:
            out.write(b"".join(block))
            block = []
    out.write(b"".join(block))
    out.write(b"\x1a")
PY
}

# CPU seconds, peak kB and the records of one dump (the header row not counted).
ours() {
    /usr/bin/time -f "%U %S %M" -o "$work/time" "$tool" dump "$1" >"$work/ours.csv"
    read -r user system peak <"$work/time"
    records=$(($(wc -l <"$work/ours.csv") - 1))
    awk -v u="$user" -v s="$system" -v p="$peak" -v r="$records" \
        'BEGIN { printf "records=%d cpu_seconds=%.3f rate=%.0f peak_kb=%d\n", r, u + s, r / (u + s), p }'
}

generate "$work/small.dbf" 100000
generate "$work/cyrillic.dbf" 1000000

small=$(ours "$work/small.dbf")
mine=$(ours "$work/cyrillic.dbf")
theirs=$(/usr/bin/python3 - "$work/cyrillic.dbf" "$work/theirs.csv" <<'PY'
import csv, resource, sys, time
import dbfread
cpu_start = time.process_time()
records = 0
with open(sys.argv[2], "w", newline="", encoding="utf-8") as out:
    writer = csv.writer(out, lineterminator="\n")
    table = dbfread.DBF(sys.argv[1], encoding="cp1251")
    writer.writerow(table.field_names)
    for record in table:
        writer.writerow(record.values())
        records += 1
cpu = time.process_time() - cpu_start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print("records=%d cpu_seconds=%.3f rate=%.0f peak_kb=%d" % (records, cpu, records / cpu, peak))
PY
)
value() { sed -n "s/.*[ ^]$1=\([0-9.]*\).*/\1/p" <<<" $2"; }
echo "ours     (100,000 records):   $small"
echo "ours     (1,000,000 records): $mine"
echo "dbfread  (1,000,000 records): $theirs"
if cmp -s "$work/ours.csv" "$work/theirs.csv"; then echo "both CSV files are identical"; else echo "the CSV files differ"; fi
awk -v a="$(value rate "$mine")" -v b="$(value rate "$theirs")" \
    'BEGIN { printf "ratio: %.1f times the records per CPU second of dbfread + csv.writer\n", a / b }'
echo "peak memory: ours $(value peak_kb "$small") kB at 100,000 and $(value peak_kb "$mine") kB at 1,000,000 records"
