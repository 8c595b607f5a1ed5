#!/usr/bin/env bash
# Signs the same messages with TDkimSigner and with python3-dkim, for an RSA 2048 and an Ed25519 key made here
# with openssl, and prints CPU seconds per 1,000 messages of 1 KB and, for one message with a large body, the
# CPU time and how much the peak memory grew. Not part of CI.
# Usage: bench/run-dkim.sh [COUNT] [MEBIBYTES] [BUILD_DIR]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-2000}
mebibytes=${2:-64}
build=${3:-$top/build-bench}

cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target bench_dkim -j2 >/dev/null

keys=$(mktemp -d)
trap 'rm -rf "$keys"' EXIT
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$keys/rsa.pem" 2>/dev/null
openssl genpkey -algorithm ED25519 -out "$keys/ed25519.pem"
for key in rsa ed25519; do
    "$build/bin/bench_dkim" "$keys/$key.pem" "$count" "$mebibytes"
    /usr/bin/python3 "$top/bench/dkim/dkimpy_loop.py" "$keys/$key.pem" "$count" "$mebibytes"
done
