#!/usr/bin/env bash
# Writes fuzzing seeds from the real-world corpus: each table under 20 kB with its memo file, in the
# fuzz target's input form (4-byte little-endian table length, the table, the memo file).
set -euo pipefail
out=${1:?usage: make-seeds.sh OUTDIR}
top=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out"
/usr/bin/python3 - "$top/../shared/corpus/dbf" "$out" <<'PY'
import os, struct, sys
src, out = sys.argv[1], sys.argv[2]
for name in sorted(os.listdir(src)):
    if not name.endswith(".dbf"):
        continue
    table = open(os.path.join(src, name), "rb").read()
    if len(table) > 20000:
        continue
    memo = b""
    for ext in (".fpt", ".dbt"):
        path = os.path.join(src, name[:-4] + ext)
        if os.path.exists(path):
            memo = open(path, "rb").read()[:8192]
    open(os.path.join(out, name + ".seed"), "wb").write(struct.pack("<I", len(table)) + table + memo)
PY
