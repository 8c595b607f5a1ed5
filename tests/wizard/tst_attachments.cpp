// Files, an HTML version and any field in a real run: aiosmtpd stores the messages and Python's email package
// reads them as a recipient's mail program would.
#include "tests/wizard/RunBench.h"
#include "tests/wizard/WizardFixture.h"
#include "tests/servers/SmtpSink.h"
#include "mailing/MailingCheck.h"
#include "mailing/PreflightSummary.h"
#include "smtp/AttachmentPart.h"
#include "smtp/DkimSigner.h"
#include "smtp/MessageFile.h"
#include "table/CodePage.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <algorithm>
#include <functional>
#include <set>

namespace {

// Each message as a list of its leaves: "type|file name|sha256 of the decoded bytes", text parts with their
// decoded text instead of the hash; the first entry is the top content type, the last the parser's defects.
QList<QStringList> Parts(const std::vector<SmtpSink::Message>& stored) {
    // In files: a command line holds too little.
    QTemporaryDir folder;
    QJsonArray files;
    for (const SmtpSink::Message& message : stored) {
        files.append(folder.filePath(QString::number(files.size())));
        QFile file(files.last().toString());
        if (!file.open(QIODevice::WriteOnly) || file.write(message.Content) != message.Content.size())
            qFatal("cannot keep a message");
    }
    const QByteArray out = RunPython(
        QStringLiteral("import base64, email, email.policy, hashlib, json, sys\n"
                       "for path in json.loads(sys.argv[1]):\n"
                       "    m = email.message_from_bytes(open(path, 'rb').read(), policy=email.policy.default)\n"
                       "    row = [m.get_content_type(), str(m['subject'])]\n"
                       "    defects = [str(d) for p in m.walk() for d in p.defects]\n"
                       "    for p in m.walk():\n"
                       "        if p.is_multipart(): continue\n"
                       "        data = p.get_payload(decode=True)\n"
                       "        name = p.get_filename() or ''\n"
                       "        if p.get_content_maintype() == 'text' and not name:\n"
                       "            row.append(p.get_content_type() + '|' + p.get_content().replace('\\n', ' '))\n"
                       "        else:\n"
                       "            row.append('%s|%s|%s' % (p.get_content_type(), name, hashlib.sha256(data).hexdigest()))\n"
                       "    row.append(';'.join(defects))\n"
                       "    print(json.dumps(row))\n"),
        {QString::fromUtf8(QJsonDocument(files).toJson(QJsonDocument::Compact))});
    QList<QStringList> messages;
    for (const QByteArray& line : out.split('\n'))
        if (!line.isEmpty())
            messages << QJsonDocument::fromJson(line).toVariant().toStringList();
    return messages;
}

// A line of /proc/self/status in KB ("VmRSS", "VmHWM").
qint64 Status(const char* key) {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        qFatal("no /proc/self/status");
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(QByteArray(key) + ':'))
            return line.mid(qstrlen(key) + 1).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

QString Sha256(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// A file of the given bytes; its hash.
QString Write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return Sha256(bytes);
}

QByteArray Noise(int size, quint32 seed) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = char(seed >> 16);
    }
    return bytes;
}

// What the summary before a run reads of the table the run's settings send to, with their files.
TPreflightMailing Summarised(const QString& table, const TMailingRunSettings& settings) {
    TPreflightMailing mailing;
    mailing.TablePath = table.toStdString();
    mailing.EmailField = "EMAIL";
    mailing.NameField = "NAME";
    mailing.Body = settings.Body;
    mailing.AttachmentField = "FILE";
    mailing.AttachmentFolder = settings.AttachmentFolder;
    return mailing;
}

} // namespace

class TestAttachments : public QObject {
    Q_OBJECT

    QTemporaryDir FDir;

private slots:
    void initTestCase() { QVERIFY(FDir.isValid()); }

    // Every record's own files and the file for everyone, in order, with their names and bytes; the HTML
    // version after the text with the record's values escaped; a record whose file is missing is skipped.
    void filesAndHtml() {
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        const QDir files(FDir.filePath("files"));
        QVERIFY(files.mkpath("invoices"));
        const QString pdf = Write(files.filePath("invoices/invoice 4712.pdf"),
                                  "%PDF-1.4\n" + Noise(70000, 1) + "\n%%EOF\n"); // base64 lines end mid-piece
        const QString png = Write(files.filePath(QStringLiteral("invoices/Rechnung Müller.png")),
                                  QByteArray("\x89PNG\r\n\x1a\n", 8) + Noise(301, 2));
        const QString empty = Write(files.filePath("invoices/empty.txt"), {});
        const QString shared = files.filePath(QStringLiteral("Прайс-лист 2026.pdf"));
        const QString everyone = Write(shared, "%PDF-1.7\n" + Noise(5000, 3));

        const QString table = FDir.filePath("files.dbf");
        MakeTable(table, "NAME C(20); EMAIL C(40); FILE C(60); CITY C(30)",
                  {{"Anna", "anna@example.org", "missing/{NAME}.pdf", "Ulm"},
                   {"Ute", "ute@example.org", QStringLiteral("Rechnung Müller.png; empty.txt"), ""},
                   {"Max", "max@example.org", "invoice 4712.pdf", "<Bern> & \"Zug\" 'x'"},
                   {"Bea", "bea@example.org", "", "Linz"}});
        QDir(FDir.path()).mkpath("run");
        TRunBench bench(table, FDir.filePath("run"), sink.Port());
        TMailingRunSettings settings = bench.Settings();
        const TCodePage codePage("CP1252");
        settings.CodePage = &codePage;
        settings.Subject = "For {name} in {CITY|your town}";
        settings.Html = "<p>Dear {NAME}, greetings to {CITY|your town}.</p>";
        settings.AttachmentField = "FILE";
        settings.AttachmentFolder = files.filePath("invoices").toStdString();
        TMailMessage::TAttachment forAll = TMailingRun::Attachment(shared.toStdString(), shared.toStdString());
        forAll.Base64 = TAttachmentPart::EncodeFile(forAll.Path);
        settings.Attachments = {forAll};
        bench.Run(settings).Execute();

        // Anna's file is not there: her record is skipped, never sent without it.
        QCOMPARE(sink.FirstRecipients(), (QStringList{"ute@example.org", "max@example.org", "bea@example.org"}));
        QVERIFY2(bench.View.Lines.join('\n').contains("attachment not found: missing/Anna.pdf"),
                 qPrintable(bench.View.Lines.join('\n')));
        const QList<QStringList> parts = Parts(sink.Messages());
        QCOMPARE(parts.size(), 3);
        for (const QStringList& message : parts) {
            QCOMPARE(message.value(0), "multipart/mixed");
            QVERIFY2(message.value(2).startsWith("text/plain|Dear "), qPrintable(message.value(2)));
            QCOMPARE(message.last(), QString()); // no defects
        }
        const QString priceList = QStringLiteral("application/pdf|Прайс-лист 2026.pdf|") + everyone;
        QCOMPARE(parts[0].mid(3), (QStringList{"text/html|<p>Dear Ute, greetings to your town.</p>", priceList,
                                               QStringLiteral("image/png|Rechnung Müller.png|") + png,
                                               "text/plain|empty.txt|" + empty, ""}));
        QCOMPARE(parts[0][1], "For Ute in your town");
        QCOMPARE(parts[1].mid(3),
                 (QStringList{"text/html|<p>Dear Max, greetings to &lt;Bern&gt; &amp; &quot;Zug&quot; &#39;x&#39;.</p>",
                              priceList, "application/pdf|invoice 4712.pdf|" + pdf, ""}));
        QCOMPARE(parts[2].mid(3), (QStringList{"text/html|<p>Dear Bea, greetings to Linz.</p>", priceList, ""}));

        // The summary before the run saw the same: Anna's missing file, and a field the table lacks.
        TPreflightMailing mailing = Summarised(table, settings);
        mailing.Subject = "{NOPE} for {name}";
        mailing.CodePage = "CP1252";
        const TPreflightSummary summary(mailing);
        QCOMPARE(summary.MissingFiles(), 1);
        QCOMPARE(summary.ToSend(true), 3); // Anna's record is skipped, not sent
        QCOMPARE(summary.ToLookAt().front().Reason, std::string("attachment not found: missing/Anna.pdf"));
        QCOMPARE(summary.UnmappedPlaceholders(), std::vector<std::string>{"{NOPE} in the subject"});
        QVERIFY(summary.LargestMessage() > 94000 && summary.LargestMessage() < 100000); // the 70 KB PDF in base64

        // The preview reads as the user's text: the HTML version as text, the files by name and size.
        bench.Recipients.First();
        bench.Recipients.MoveBy(2);
        std::string problem;
        const std::vector<std::string> preview = TMailingRun::PreviewLines(bench.Client, bench.Recipients, settings, problem);
        const auto html = std::find(preview.begin(), preview.end(), "HTML version:");
        QVERIFY(html != preview.end() && html + 1 != preview.end());
        QCOMPARE(html[1], "<p>Dear Max, greetings to &lt;Bern&gt; &amp; &quot;Zug&quot; &#39;x&#39;.</p>");
        QCOMPARE(std::vector<std::string>(preview.end() - 2, preview.end()),
                 (std::vector<std::string>{"Attachment: Прайс-лист 2026.pdf (5 KB)", "Attachment: invoice 4712.pdf (69 KB)"}));
        QVERIFY(std::none_of(preview.begin(), preview.end(), [](const std::string& line) {
            return line.starts_with("Content-Type: multipart") || line.starts_with("--=_");
        }));
    }

    // A record names files inside the attachment folder only. Each row is one hostile record beside a good one:
    // the hostile record is skipped with its reason and counted by the summary, the outside file's marker never
    // reaches the server, and the good record goes out with its files.
    void hostileNames_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("custno");
        QTest::addColumn<bool>("walk"); // the component walk of kernels without openat2
        QTest::addColumn<QString>("reason");
        const QString secret = FDir.filePath("hostile/secret/id_rsa");
        const QString outside = "attachment outside the attachment folder: ";
        for (const bool walk : {false, true}) {
            const auto row = [walk](const char* name) {
                return &QTest::newRow(qPrintable(QString::fromLatin1(name) + (walk ? " (walk)" : "")));
            };
            *row("dot-dot") << "../secret/id_rsa" << "" << walk << outside + "../secret/id_rsa";
            *row("link out") << "link.pdf" << "" << walk << outside + "link.pdf";
            *row("linked folder") << "sub/id_rsa" << "" << walk << outside + "sub/id_rsa";
        }
        QTest::newRow("absolute") << secret << "" << false << outside + secret;
        QTest::newRow("value absolute") << "{CUSTNO}" << "/etc/hostname" << false << outside + "/etc/hostname";
        QTest::newRow("process file") << "/proc/self/environ" << "" << false << outside + "/proc/self/environ";
        QTest::newRow("list") << "terms.pdf; /etc/passwd" << "" << false << outside + "/etc/passwd";
        QTest::newRow("value list") << "R-{CUSTNO}.pdf" << "1001.pdf; ../secret/id_rsa" << false
                                    << "attachment name from a field value holds a list: 1001.pdf; ../secret/id_rsa";
        QTest::newRow("value with NUL") << "{CUSTNO}.pdf" << QStringLiteral("../secret/id_rsa") + QChar(0) + "x"
                                        << false << "control character in the attachment name: ../secret/id_rsa?x.pdf";
        QTest::newRow("pipe") << "pipe.pdf" << "" << false << "attachment is not an ordinary file: pipe.pdf";
    }
    void hostileNames() {
        QFETCH(QString, file);
        QFETCH(QString, custno);
        QFETCH(bool, walk);
        QFETCH(QString, reason);
        const QDir root(FDir.filePath("hostile"));
        if (!root.exists()) {
            QVERIFY(root.mkpath("files") && root.mkpath("secret"));
            Write(root.filePath("secret/id_rsa"), "MARKER-3f9c-SECRET");
            Write(root.filePath("files/R-1001.pdf"), "%PDF-1.4 invoice");
            Write(root.filePath("files/terms.pdf"), "%PDF-1.4 terms");
            QVERIFY(QFile::link(root.filePath("secret/id_rsa"), root.filePath("files/link.pdf")));
            QVERIFY(QFile::link(root.filePath("secret"), root.filePath("files/sub")));
            QCOMPARE(QProcess::execute("mkfifo", {root.filePath("files/pipe.pdf")}), 0);
        }
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        const QString table = root.filePath(QStringLiteral("%1.dbf").arg(QTest::currentDataTag()).remove(' '));
        MakeTable(table, "NAME C(20); EMAIL C(40); FILE C(80); CUSTNO C(40)",
                  {{"Eve", "eve@example.org", file, custno},
                   {"Anna", "anna@example.org", "R-{CUSTNO}.pdf; terms.pdf", "1001"}});
        const QString run = root.filePath(QString::number(root.entryList().size()));
        QVERIFY(QDir().mkpath(run));
        TRunBench bench(table, run, sink.Port());
        TMailingRunSettings settings = bench.Settings();
        settings.AttachmentField = "FILE";
        settings.AttachmentFolder = root.filePath("files").toStdString();
        TMessageFile::ForceWalk = walk;
        bench.Run(settings).Execute();

        const TPreflightSummary summary(Summarised(table, settings));
        TMessageFile::ForceWalk = false;

        QVERIFY2(bench.View.Lines.contains(QStringLiteral("Record 1 skipped: %1.").arg(reason)),
                 qPrintable(bench.View.Lines.join('\n')));
        QCOMPARE(sink.FirstRecipients(), QStringList{"anna@example.org"});
        QVERIFY(!sink.Read(1).Content.contains("MARKER-3f9c"));
        const QStringList parts = Parts(sink.Messages()).value(0);
        QCOMPARE(parts.mid(3), (QStringList{"application/pdf|R-1001.pdf|" + Sha256("%PDF-1.4 invoice"),
                                            "application/pdf|terms.pdf|" + Sha256("%PDF-1.4 terms"), ""}));
        QCOMPARE(summary.RefusedFiles(), 1);
        QCOMPARE(summary.ToSend(true), 1);
        QCOMPARE(QString::fromStdString(summary.ToLookAt().at(0).Reason), reason);
        const auto lines = summary.Lines(true);
        QVERIFY(std::find(lines.begin(), lines.end(), std::pair<std::string, std::string>{
                                                          "Records whose attachment is refused:", "1"}) != lines.end());
    }

    // A deferred record lets its files go while it waits, so that any number may wait at once, and opens them
    // again for its retry: the retried message carries them.
    void waitingRecordsHoldNoFiles() {
        const QString file = FDir.filePath("wait.pdf");
        const QString sum = Write(file, "%PDF-1.4 waiting");
        QStringList options;
        QList<QStringList> rows;
        for (int i = 0; i < 20; ++i) {
            rows << QStringList{QStringLiteral("w%1@example.org").arg(i), "wait.pdf"};
            options << "--defer" << rows.last().first();
        }
        SmtpSink sink;
        sink.SetOptions(options);
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        const QString table = FDir.filePath("wait.dbf");
        MakeTable(table, "EMAIL C(40); FILE C(20)", rows);
        QDir(FDir.path()).mkpath("wait");
        TRunBench bench(table, FDir.filePath("wait"), sink.Port());
        TMailingRunSettings settings = bench.Settings({std::chrono::seconds(5)});
        settings.NameField.clear();
        settings.AttachmentField = "FILE";
        settings.AttachmentFolder = FDir.path().toStdString();
        // Once every record waits, the run pauses: the descriptors open on the file are counted then.
        int held = -1;
        bench.View.OnStatus = [&](const QString& status) {
            if (!status.startsWith("Wait until"))
                return;
            const QDir fds("/proc/self/fd");
            held = 0;
            for (const QString& fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
                held += int(QFileInfo(fds.filePath(fd)).symLinkTarget() == file);
        };
        bench.Run(settings).Execute();
        // At most the message the client handed over last may still be held (without the release: all 20).
        QVERIFY2(held >= 0 && held <= 1, qPrintable(QString::number(held)));
        QCOMPARE(sink.Count(), 20);
        QCOMPARE(Parts({sink.Read(20)}).value(0).value(3), "application/pdf|wait.pdf|" + sum);
    }

    // Resume and "already sent" go by the message key: another HTML version, other files or another field or
    // folder make another mailing; a plain message keeps the key older ledgers hold.
    void messageKey() {
        TSmtpClient client;
        const auto key = [&client](const TMailingJob& job) {
            TMailingCheck check(job, client);
            const QString problem = check.Message();
            if (!problem.isEmpty())
                qFatal("%s", qPrintable(problem));
            return check.MessageKey();
        };
        TMailingJob plain;
        plain.Subject = "News";
        plain.Text = "Dear %N,\r\nnews.";
        QCOMPARE(key(plain), TDeliveryLedger::MessageKey("News", "Dear %N,\r\nnews."));
        const QString html = FDir.filePath("key.html");
        Write(html, "<p>News</p>");
        const QString pdf = FDir.filePath("key.pdf");
        Write(pdf, "%PDF-1.4\n");
        std::set<std::string> keys{key(plain)};
        TMailingJob job = plain;
        for (const auto& change : std::vector<std::function<void(TMailingJob&)>>{
                 [&](TMailingJob& j) { j.HtmlFile = html; }, [&](TMailingJob& j) { j.Attachments = pdf; },
                 [](TMailingJob& j) { j.AttachmentField = "FILE"; },
                 [](TMailingJob& j) { j.AttachmentFolder = "invoices"; }}) {
            change(job);
            QVERIFY(keys.insert(key(job)).second);
        }
        Write(html, "<p>Other news</p>");
        QVERIFY(keys.insert(key(job)).second);
    }

    // A signed message with files and an HTML version verifies with an independent DKIM verifier.
    void signedWithFiles() {
        const QString key = FDir.filePath("dkim.pem");
        QCOMPARE(QProcess::execute("openssl", {"genpkey", "-algorithm", "ED25519", "-out", key}), 0);
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        const QString file = FDir.filePath("signed.pdf");
        Write(file, "%PDF-1.4\n" + Noise(30000, 5));
        const QString table = FDir.filePath("signed.dbf");
        MakeTable(table, "NAME C(20); EMAIL C(40); FILE C(60)",
                  {{"Anna", "anna@example.org", "signed.pdf"}, {"Joerg", "joerg@example.org", ""}});
        QDir(FDir.path()).mkpath("signed");
        TRunBench bench(table, FDir.filePath("signed"), sink.Port());
        TMailingRunSettings settings = bench.Settings();
        const auto signer = std::make_shared<const TDkimSigner>("example.org", "mail2026", key.toStdString());
        settings.Dkim = signer;
        settings.Html = QStringLiteral("<p>Grüße, {NAME}</p>").toStdString();
        settings.AttachmentField = "FILE";
        settings.AttachmentFolder = FDir.path().toStdString();
        settings.Attachments = {TMailingRun::Attachment(file.toStdString(), "for everyone.pdf")};
        bench.Run(settings).Execute();
        QCOMPARE(sink.Count(), 2);
        QStringList args{QString::fromStdString(signer->DnsRecord().Value)};
        for (const SmtpSink::Message& message : sink.Messages()) {
            args << FDir.filePath(QStringLiteral("signed%1.eml").arg(args.size()));
            Write(args.last(), message.Content);
        }
        const QByteArray out = RunPython(QStringLiteral(
            "import sys, dkim, email, email.policy\n"
            "for path in sys.argv[2:]:\n"
            "    raw = open(path, 'rb').read()\n"
            "    m = email.message_from_bytes(raw, policy=email.policy.default)\n"
            "    ok = dkim.verify(raw, dnsfunc=lambda name, timeout=5: sys.argv[1].encode())\n"
            "    print(ok, m.get_content_type(), len([p for p in m.walk() if not p.is_multipart()]))\n"),
            args);
        QCOMPARE(QString::fromUtf8(out), "True multipart/mixed 4\nTrue multipart/mixed 3\n");
    }

    // 10 MB to each of 50 recipients, every record naming the file: the file streams out in pieces, so the peak
    // memory of the run stays below twice its size whatever the count (held whole and encoded whole it is 24 MB,
    // held per message far more). What the server has not yet taken waits in the socket's queue: up to one
    // message. 200 recipients showed the same peak; aiosmtpd needs a second for each such message.
    void largeFileStreams() {
        SmtpSink sink;
        sink.SetOptions({"--keep", "1"});
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        const QByteArray bytes = Noise(10 * 1024 * 1024, 6);
        const QString sum = Write(FDir.filePath("big.pdf"), bytes);
        QList<QStringList> rows;
        for (int i = 0; i < 50; ++i)
            rows << QStringList{QStringLiteral("r%1@example.org").arg(i), "big.pdf"};
        const QString table = FDir.filePath("many.dbf");
        MakeTable(table, "EMAIL C(40); FILE C(20)", rows);
        QDir(FDir.path()).mkpath("many");
        TRunBench bench(table, FDir.filePath("many"), sink.Port());
        TMailingRunSettings settings = bench.Settings();
        settings.NameField.clear();
        settings.TimeOut = 120; // aiosmtpd reads each 14 MB message line by line: slow on a loaded machine
        settings.AttachmentField = "FILE";
        settings.AttachmentFolder = FDir.path().toStdString();
        const qint64 before = Status("VmRSS");
        // The high-water mark starts again from the current size (Linux "clear_refs" 5).
        QFile clear("/proc/self/clear_refs");
        QVERIFY(clear.open(QIODevice::WriteOnly) && clear.write("5") == 1);
        clear.close();
        bench.Run(settings).Execute();
        const qint64 peak = Status("VmHWM");
        QVERIFY2(sink.Count() == 50, qPrintable(bench.View.Lines.join('\n')));
        QCOMPARE(Parts({sink.Read(1)}).value(0).value(3), "application/pdf|big.pdf|" + sum);
        qInfo("peak %lld KB over %lld KB before the run", peak - before, before);
        QVERIFY2(peak - before < 20 * 1024, qPrintable(QString::number(peak - before)));
    }

    // A message larger than the server's SIZE is refused before it goes: the server stores nothing and the
    // user reads both sizes.
    void largerThanTheServerTakes() {
        SmtpSink sink;
        sink.SetOptions({"--size", "100000"});
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        const QString file = FDir.filePath("big.bin");
        Write(file, Noise(200000, 4));
        const QString table = FDir.filePath("size.dbf");
        MakeTable(table, "NAME C(20); EMAIL C(40)", {{"Anna", "anna@example.org"}});
        QDir(FDir.path()).mkpath("size");
        TRunBench bench(table, FDir.filePath("size"), sink.Port());
        TMailingRunSettings settings = bench.Settings();
        settings.Attachments = {TMailingRun::Attachment(file.toStdString(), "big.bin")};
        bench.Run(settings).Execute();
        QCOMPARE(sink.Count(), 0);
        QVERIFY2(bench.View.Lines.join('\n').contains("The message is 268 KB, larger than the 98 KB the server takes"),
                 qPrintable(bench.View.Lines.join('\n')));
    }
};

QTEST_MAIN(TestAttachments)
#include "tst_attachments.moc"
