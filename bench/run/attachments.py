#!/usr/bin/python3
"""One side of the attachments benchmark: COUNT recipients, each with a PDF of its own of SIZE bytes, sent over
one connection to PORT. "ours" runs quorvel-send from its settings; "python" composes each message with Python's
email package and sends it with smtplib. Prints one line: messages, seconds, msg/s, MB/s of message bytes and
the sender's peak resident memory. The files and the table are made first, outside the time measured.
Usage: attachments.py ours|python COUNT PORT [QUORVEL_SEND] [SIZE]"""
import email.message, os, random, resource, shutil, smtplib, subprocess, sys, tempfile, time
import dbf

side, count, port = sys.argv[1], int(sys.argv[2]), sys.argv[3]
program = sys.argv[4] if len(sys.argv) > 4 else ""
size = int(sys.argv[5]) if len(sys.argv) > 5 else 200 * 1024
folder = tempfile.mkdtemp()
invoices = os.path.join(folder, "invoices")
os.mkdir(invoices)
noise = random.Random(1).randbytes(size + count)
for record in range(1, count + 1):
    with open(os.path.join(invoices, "invoice-%d.pdf" % record), "wb") as pdf:
        pdf.write(b"%PDF-1.4\n" + noise[record:record + size - 16] + b"\n%%EOF\n")
body = ("Dear {name},\r\n\r\nplease find your invoice attached. It is due within thirty days; the amount and "
        "the account are on its first page.\r\n\r\nRegards\r\n")


def ours():
    table = dbf.Table(os.path.join(folder, "recipients.dbf"), "NAME C(30); EMAIL C(50); FILE C(40)",
                      dbf_type="db3", codepage="cp1252")
    table.open(dbf.READ_WRITE)
    for record in range(1, count + 1):
        table.append(("Person %d" % record, "person%d@example.org" % record, "invoice-%d.pdf" % record))
    table.close()
    settings = os.path.join(folder, "settings.ini")
    with open(settings, "w") as ini:
        ini.write("[Settings]\nSMTP%20Server=127.0.0.1:" + port + "\nReturn%20Address=bench@example.org\n"
                  "Database%20Table=" + os.path.join(folder, "recipients.dbf") + "\n"
                  "Name%20Field=NAME\nE-mail%20Field=EMAIL\n"
                  "[Message]\nSubject=Your invoice\nText=" + body.replace("{name}", "%N").replace("\r\n", "\\r\\n") +
                  "\nAttachment%20Field=FILE\nAttachment%20Folder=" + invoices + "\n")
    copy = os.path.join(folder, "quorvel-send")
    shutil.copy(program, copy)
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    # The bytes of the messages as composed (a dry run), counted outside the time measured.
    saved = os.path.join(folder, "eml")
    subprocess.run([copy, "--settings", settings, "--quiet", "--dry-run", "--save-dir", saved], env=env, check=True)
    wire = sum(os.path.getsize(os.path.join(saved, name)) for name in os.listdir(saved))
    shutil.rmtree(saved)
    started = time.monotonic()
    subprocess.run([copy, "--settings", settings, "--quiet"], env=env, check=True)
    elapsed = time.monotonic() - started
    return elapsed, wire, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss


def python():
    wire = 0
    started = time.monotonic()
    with smtplib.SMTP("127.0.0.1", int(port)) as smtp:
        for record in range(1, count + 1):
            message = email.message.EmailMessage()
            message["From"] = "bench@example.org"
            message["To"] = "Person %d <person%d@example.org>" % (record, record)
            message["Subject"] = "Your invoice"
            message.set_content(body.replace("{name}", "Person %d" % record).replace("\r\n", "\n"))
            with open(os.path.join(invoices, "invoice-%d.pdf" % record), "rb") as pdf:
                message.add_attachment(pdf.read(), maintype="application", subtype="pdf",
                                       filename="invoice-%d.pdf" % record)
            data = message.as_bytes()
            wire += len(data)
            smtp.sendmail("bench@example.org", ["person%d@example.org" % record], data)
    elapsed = time.monotonic() - started
    return elapsed, wire, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


elapsed, wire, peak = ours() if side == "ours" else python()
name = "quorvel-send" if side == "ours" else "email+smtplib"
print("%-14s %d messages %.2f s %.1f msg/s %.1f MB/s peak %d kB" %
      (name, count, elapsed, count / elapsed, wire / elapsed / 1e6, peak))
shutil.rmtree(folder)
