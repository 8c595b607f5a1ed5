#!/usr/bin/python3
"""The peer of the DKIM benchmark: the same messages signed by python3-dkim (relaxed/relaxed, the same fields).

Usage: dkimpy_loop.py KEYFILE [COUNT [MEBIBYTES]]
"""
import base64
import resource
import subprocess
import sys
import time

import dkim

HEADER = (b"From: Sender <sender@example.org>\r\nTo: Rcpt <rcpt@example.org>\r\nSubject: Benchmark\r\n"
          b"Date: Mon, 07 Dec 2026 11:00:43 +0100\r\nMessage-ID: <bench.1@example.org>\r\nMime-Version: 1.0\r\n"
          b"Content-Type: text/plain; charset=\"us-ascii\"\r\nContent-Transfer-Encoding: 7bit\r\n\r\n")
FIELDS = [b"from", b"from", b"to", b"subject", b"date", b"message-id", b"mime-version", b"content-type",
          b"content-transfer-encoding"]


def sign(message, key, algorithm):
    return dkim.sign(message, b"bench", b"example.org", key, canonicalize=(b"relaxed", b"relaxed"),
                     include_headers=FIELDS, signature_algorithm=algorithm)


def main():
    pem = open(sys.argv[1], "rb").read()
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    mebibytes = int(sys.argv[3]) if len(sys.argv) > 3 else 64
    algorithm = b"rsa-sha256"
    key = pem
    der = subprocess.run(["openssl", "pkey", "-in", sys.argv[1], "-outform", "DER"], capture_output=True).stdout
    if len(der) == 48:
        # An Ed25519 key in PKCS#8; dkimpy takes it as the base64 of its 32-byte seed, the last bytes.
        key, algorithm = base64.b64encode(der[-32:]), b"ed25519-sha256"
    body = b"".join(bytes([ord("a") + i]) * 2 + b"x" * 60 + b"\r\n" for i in range(16))
    started = time.process_time()
    for _ in range(count):
        sign(HEADER + body, key, algorithm)
    cpu = time.process_time() - started
    print("dkimpy      %-14s %6d messages of 1 KB  %7.3f CPU s per 1000 messages"
          % (algorithm.decode(), count, cpu * 1000.0 / count))

    peak_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    started = time.process_time()
    lines = mebibytes * 1024 * 1024 // 64
    large = HEADER + b"".join(b"%d" % (1000000000000 + i) + b"y" * 49 + b"\r\n" for i in range(lines))
    signature = sign(large, key, algorithm)
    print("dkimpy      %-14s %6d MiB body  %7.3f CPU s  peak memory grew by %d KiB (%d bytes out)"
          % (algorithm.decode(), mebibytes, time.process_time() - started,
             resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak_before, len(signature) + len(large)))


if __name__ == "__main__":
    main()
