#!/usr/bin/python3
"""Runs quorvel-send over COUNT recipients against PORT, as cron would, and prints one line in the form the
mailing benchmark reads: its rate and CPU seconds per 1,000 messages (start, check and summary included), and
its resident memory at ledger row 1,000 and at the last row. Usage: send_tool.py QUORVEL_SEND COUNT PORT
[CONNECTIONS]"""
import os, resource, shutil, subprocess, sys, tempfile, time
import dbf

program, count, port = sys.argv[1], int(sys.argv[2]), sys.argv[3]
connections = sys.argv[4] if len(sys.argv) > 4 else "1"
folder = tempfile.mkdtemp()
table = dbf.Table(os.path.join(folder, "recipients.dbf"), "NAME C(30); ORG C(40); EMAIL C(50); DEAR C(20)",
                  dbf_type="db3", codepage="cp1252")
table.open(dbf.READ_WRITE)
for record in range(1, count + 1):
    table.append(("Person %d" % record, "Organisation %d" % (record % 50), "person%d@example.org" % record,
                  "Ms." if record % 2 else "Mr."))
table.close()
settings = os.path.join(folder, "settings.ini")
with open(settings, "w") as ini:
    ini.write("[Settings]\nSMTP%20Server=127.0.0.1:" + port + "\nConnections=" + connections +
              "\nReturn%20Address=bench@example.org\n"
              "Organization=Bench Works\nDatabase%20Table=" + os.path.join(folder, "recipients.dbf") + "\n"
              "Name%20Field=NAME\nOrganization%20Field=ORG\nE-mail%20Field=EMAIL\nDear%20Field=DEAR\n"
              "[Message]\nSubject=Long run\nText=Dear %D %N,\\r\\n\\r\\nthis is a message of some length for %O, "
              "wrapped at the column the user chose, with a second sentence so that it wraps twice.\\r\\n\\r\\n"
              "Regards\n")
copy = os.path.join(folder, "quorvel-send")
shutil.copy(program, copy)
env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
ledger = os.path.join(folder, "mail_sent.dbf")

def rows():
    try:
        with open(ledger, "rb") as f:
            return int.from_bytes(f.read(8)[4:8], "little")
    except OSError:
        return 0

def resident(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0

started = time.monotonic()
process = subprocess.Popen([copy, "--settings", settings, "--quiet"], env=env)
at_first = at_last = 0
while process.poll() is None:
    try:
        kb = resident(process.pid)
    except OSError:
        break
    done = rows()
    if done >= min(1000, count) and at_first == 0:
        at_first = kb
    if done > 0 and kb > 0:
        at_last = kb
    time.sleep(0.02)
process.wait()
elapsed = time.monotonic() - started
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
cpu = usage.ru_utime + usage.ru_stime
print("quorvel-send %d messages %.1f msg/s %.3f CPU s per 1000 messages, %d kB at row 1000, %d kB at the end"
      % (count, count / elapsed, cpu * 1000 / count, at_first, at_last))
# A rate counts only when every message was accepted.
ledger_table = dbf.Table(ledger)
ledger_table.open(dbf.READ_ONLY)
sent = sum(1 for row in ledger_table if row.status.strip() == "SENT")
ledger_table.close()
if sent != count:
    print("quorvel-send: only %d of %d messages sent" % (sent, count), file=sys.stderr)
shutil.rmtree(folder)
