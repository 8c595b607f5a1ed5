#!/usr/bin/env bash
# Writes fuzzing seeds from the real-world corpus: each table under 20 kB with its memo file. The corpus is
# taken from $QUORVEL_CORPUS_DIR, else from ../shared/corpus beside the source tree, as the tests take it.
#   make-seeds.sh OUTDIR          fuzz_dbf's form: 4-byte little-endian table length, the table, the memo file
#   make-seeds.sh --dump OUTDIR   fuzz_dump's form: a code-page byte (0x80: the table's own), the length and text
#                                 of the .cpg file beside the table (0 when none), then fuzz_dbf's form
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
    if dump:
        cpg = os.path.join(src, name[:-4] + ".cpg")
        text = open(cpg, "rb").read()[:255] if os.path.exists(cpg) else b""
        seed = bytes([0x80, len(text)]) + text + seed
    open(os.path.join(out, name + ".seed"), "wb").write(seed)
PY
