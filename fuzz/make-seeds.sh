#!/usr/bin/env bash
# Writes fuzzing seeds from the real-world corpus: each table under 20 kB with its memo file. The corpus is
# taken from $QUORVEL_CORPUS_DIR, else from ../shared/corpus beside the source tree, as the tests take it.
#   make-seeds.sh OUTDIR          fuzz_dbf's form: 4-byte little-endian table length, the table, the memo file
#   make-seeds.sh --dump OUTDIR   fuzz_dump's form: a code-page byte (0x80: the table's own; each table also once
#                                 with every code page of the list), the length and text of the .cpg file
#                                 beside the table (0 when none), then fuzz_dbf's form
set -euo pipefail
dump=0
if [ "${1:-}" = "--dump" ]; then
    dump=1
    shift
fi
out=${1:?usage: make-seeds.sh [--dump] OUTDIR}
top=$(cd "$(dirname "$0")/.." && pwd)
corpus=${QUORVEL_CORPUS_DIR:-$top/../shared/corpus}
if [ ! -d "$corpus/dbf" ]; then
    echo "make-seeds.sh: no corpus at $corpus/dbf (set QUORVEL_CORPUS_DIR)" >&2
    exit 1
fi
mkdir -p "$out"
/usr/bin/python3 - "$corpus/dbf" "$out" "$dump" <<'PY'
import os, struct, sys
src, out, dump = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
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
    seed = struct.pack("<I", len(table)) + table + memo
    if not dump:
        open(os.path.join(out, name + ".seed"), "wb").write(seed)
        continue
    cpg = os.path.join(src, name[:-4] + ".cpg")
    text = open(cpg, "rb").read()[:255] if os.path.exists(cpg) else b""
    # The table's own code page, and each code page of the list (18 of them) over every table.
    for choice in [0x80] + list(range(18)):
        with open(os.path.join(out, "%s.%02x.seed" % (name, choice)), "wb") as f:
            f.write(bytes([choice, len(text)]) + text + seed)
PY
