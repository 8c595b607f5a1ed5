// Files, an HTML version and any field in a real run: aiosmtpd stores the messages and Python's email package
// reads them as a recipient's mail program would.
#include "tests/wizard/RunBench.h"
#include "tests/wizard/WizardFixture.h"
#include "tests/servers/SmtpSink.h"
#include "mailing/PreflightSummary.h"
#include "smtp/AttachmentPart.h"
#include "table/CodePage.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// Each message as a list of its leaves: "type|file name|sha256 of the decoded bytes", text parts with their
// decoded text instead of the hash; the first entry is the top content type, the last the parser's defects.
QList<QStringList> Parts(const SmtpSink& sink) {
    // In files: a command line holds too little.
    QTemporaryDir folder;
    QJsonArray files;
    for (const SmtpSink::Message& message : sink.Messages()) {
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
        const QList<QStringList> parts = Parts(sink);
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
        TPreflightMailing mailing;
        mailing.TablePath = table.toStdString();
        mailing.EmailField = "EMAIL";
        mailing.NameField = "NAME";
        mailing.Subject = "{NOPE} for {name}";
        mailing.Body = settings.Body;
        mailing.CodePage = "CP1252";
        mailing.AttachmentField = "FILE";
        mailing.AttachmentFolder = settings.AttachmentFolder;
        const TPreflightSummary summary(mailing);
        QCOMPARE(summary.MissingFiles(), 1);
        QCOMPARE(summary.ToLookAt().front().Reason, std::string("attachment not found: missing/Anna.pdf"));
        QCOMPARE(summary.UnmappedPlaceholders(), std::vector<std::string>{"{NOPE} in the subject"});
        QVERIFY(summary.LargestMessage() > 94000 && summary.LargestMessage() < 100000); // the 70 KB PDF in base64
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
