#!/usr/bin/python3
"""The peer of the SMTP benchmark: the same messages through Python's smtplib, one connection.

Usage: smtplib_loop.py PORT [COUNT [CAFILE]]
With CAFILE the connection to localhost is secured with starttls(), the certificate checked against CAFILE.
"""
import smtplib
import ssl
import sys
import time


def main():
    port = int(sys.argv[1])
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    body = b"".join(bytes([ord("a") + i]) * 2 + b"x" * 60 + b"\r\n" for i in range(16))
    message = (b"From: Sender <sender@example.org>\r\nTo: Rcpt <rcpt@example.org>\r\nCc: \r\n"
               b"Subject: Benchmark\r\nMime-Version: 1.0\r\n"
               b"Content-Type: text/plain; charset=\"iso-8859-1\"\r\n\r\n" + body)
    secure = len(sys.argv) > 3
    client = smtplib.SMTP("localhost" if secure else "127.0.0.1", port)
    if secure:
        client.ehlo("bench.localhost")
        client.starttls(context=ssl.create_default_context(cafile=sys.argv[3]))
        client.ehlo("bench.localhost")
    else:
        client.helo("bench.localhost")
    started = time.perf_counter()
    cpu_started = time.process_time()
    for _ in range(count):
        client.sendmail("sender@example.org", ["rcpt@example.org"], message)
    cpu = time.process_time() - cpu_started
    seconds = time.perf_counter() - started
    client.quit()
    name = "python smtplib TLS" if secure else "python smtplib   "
    print("%s %6d messages  %8.1f msg/s  %7.3f CPU s per 1000 messages"
          % (name, count, count / seconds, cpu * 1000.0 / count))


if __name__ == "__main__":
    main()
