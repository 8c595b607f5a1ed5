// The composer without a client: a body read a second time (as a signature needs it) and header fields of the
// message's own.
#include "smtp/BodyLines.h"
#include "smtp/MessageComposer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <string>
#include <vector>

namespace {

using TLines = std::vector<std::string>;

// A message whose body hands out lines, counting how often it was started.
TMailMessage Message(const TLines& body, int& readings) {
    TMailMessage message;
    message.ReturnPath = "news@example.org";
    message.Recipients = {"anna@example.net"};
    message.From = "News <news@example.org>";
    message.To = "Anna <anna@example.net>";
    message.Subject = "Spring";
    message.Body = [lines = BodyLines(body), &readings] {
        ++readings;
        return lines();
    };
    return message;
}

// Python's email package on each message: To's display name and address, Subject, the attachment's file name,
// the parser's defects; and the longest line in bytes.
const char* const ReadBack = R"(
import email, email.policy, json, sys
for path in sys.argv[1:]:
    raw = open(path, 'rb').read()
    m = email.message_from_bytes(raw, policy=email.policy.default)
    to = m['To'].addresses
    names = [p.get_filename() for p in m.walk() if p.get_filename()]
    defects = [type(d).__name__ for p in m.walk() for d in p.defects]
    defects += [type(d).__name__ for p in m.walk() for k, v in p.items() for d in getattr(v, 'defects', [])]
    print(json.dumps([str(len(to)), to[0].display_name, to[0].addr_spec, str(m['Subject']), ''.join(names),
                      ','.join(defects), str(max(len(l) for l in raw.split(b'\r\n')))]))
)";

} // namespace

class TestMessageComposer : public QObject {
    Q_OBJECT

private slots:
    void bodyReadTwice_data() {
        QTest::addColumn<QStringList>("body");
        QTest::newRow("ascii") << QStringList{"Dear Anna,", ".", "", "see you"};
        QTest::newRow("latin-1, a line over 998") << QStringList{"Gr\u00fc\u00dfe", QString(1200, 'x'), "-- "};
        // Beyond the look-ahead the body streams: the second reading must bring the lines read ahead too.
        QStringList large;
        for (int i = 0; i < 30000; ++i)
            large << QStringLiteral("line %1 of a body longer than what is read ahead").arg(i);
        QTest::newRow("longer than the look-ahead") << large;
    }

    // Both readings put the same lines, and a reader gets the text back from them.
    void bodyReadTwice() {
        QFETCH(QStringList, body);
        TLines source;
        for (const QString& line : body)
            source.push_back(line.toStdString());
        int readings = 0;
        TMessageComposer composer;
        composer.Begin(Message(source, readings));
        TLines message;
        composer.PutHeaderBlock([&message](std::string_view line) { message.emplace_back(line); });
        message.emplace_back();
        TLines first;
        TLines second;
        composer.PutBody([&first](std::string_view line) { first.emplace_back(line); });
        composer.PutBody([&second](std::string_view line) { second.emplace_back(line); });
        QCOMPARE(readings, 2);
        QCOMPARE(second, first);
        message.insert(message.end(), first.begin(), first.end());
        const TLines readable = Mime::ReadableMessage(message);
        const auto blank = std::find(readable.begin(), readable.end(), std::string());
        QCOMPARE(TLines(blank + 1, readable.end()), source);
    }

    // Fields of the message go behind From, encoded in the message's charset; an address field is never cut.
    void fieldsBehindFrom() {
        int readings = 0;
        TMailMessage message = Message({"Hello"}, readings);
        const std::string replyTo = std::string(1100, 'r') + " <reply@example.org>";
        message.Fields = {{"Organization", "M\u00fcller & S\u00f6hne\r\nBcc: x@example.org"}, {"Reply-To", replyTo}};
        TLines lines;
        TMessageComposer().Compose(message, [&lines](std::string_view line) { lines.emplace_back(line); });
        const TLines readable = Mime::ReadableMessage(lines);
        QCOMPARE(TLines(readable.begin(), readable.begin() + 4),
                 (TLines{"From: News <news@example.org>", "Organization: M\u00fcller & S\u00f6hne  Bcc: x@example.org",
                         "Reply-To: " + replyTo, "To: Anna <anna@example.net>"}));
        QVERIFY(std::find(lines.begin(), lines.end(), "Content-Type: text/plain; charset=\"iso-8859-1\"") !=
                lines.end());
        for (const std::string& line : lines)
            QVERIFY2(line.size() <= TMessageComposer::MaxWireLine, line.c_str());
    }

    // Values of a record as the composer gets them, each read back whole by an independent parser: no control
    // character cuts or breaks a header, an attachment's name survives in any script and length, no defects.
    void valuesReadBack_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("subject");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("read"); // display name, subject, file name as the reader shows them
        QTest::newRow("nul in name and subject")
            << QByteArray("Anna\0Berg", 9) << QByteArray("Your\0invoice", 12) << QByteArray("a.pdf")
            << QStringList{"Anna Berg", "Your invoice", "a.pdf"};
        QTest::newRow("control bytes") << QByteArray("Eva\x15\x7f") << QByteArray("Hi\x15there") << QByteArray("b.pdf")
                                       << QStringList{"Eva", "Hi there", "b.pdf"};
        const QByteArray cyrillic = QStringLiteral("Счёт-фактура №%1 для ООО «Ромашка» за декабрь 2026 года.pdf")
                                        .arg(QString(40, QChar(0x0416)))
                                        .toUtf8();
        QTest::newRow("long cyrillic file") << QByteArray("Ира") << QByteArray("Счёт") << cyrillic
                                            << QStringList{"Ира", "Счёт", QString::fromUtf8(cyrillic)};
        QTest::newRow("long ascii file") << QByteArray("Al") << QByteArray("s") << QByteArray(300, 'x') + ".pdf"
                                         << QStringList{"Al", "s", QString(300, 'x') + ".pdf"};
        const QByteArray emoji = QByteArray("\xF0\x9F\x93\x84").repeated(200) + ".txt";
        QTest::newRow("four-byte characters")
            << QByteArray("Bo") << QByteArray("t") << emoji << QStringList{"Bo", "t", QString::fromUtf8(emoji)};
    }
    void valuesReadBack() {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, subject);
        QFETCH(QByteArray, file);
        QFETCH(QStringList, read);
        QTemporaryDir dir;
        const QString path = dir.filePath("attached");
        QFile content(path);
        QVERIFY(content.open(QIODevice::WriteOnly) && content.write("x") == 1);
        content.close();
        int readings = 0;
        TMailMessage message = Message({"Hello"}, readings);
        message.To = name.toStdString() + " <anna@example.net>";
        message.Subject = subject.toStdString();
        message.Attachments = {{path.toStdString(), file.toStdString(), "application/pdf", nullptr, nullptr}};
        QByteArray wire;
        TMessageComposer().Compose(message, [&wire](std::string_view line) {
            wire.append(line.data(), qsizetype(line.size())).append("\r\n");
        });
        QFile out(dir.filePath("message.eml"));
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(wire) == wire.size());
        out.close();
        QProcess python;
        python.start(qEnvironmentVariable("PYTHON", "/usr/bin/python3"), {"-c", ReadBack, out.fileName()});
        QVERIFY(python.waitForFinished(60000));
        const QStringList got = QJsonDocument::fromJson(python.readAllStandardOutput()).toVariant().toStringList();
        QVERIFY2(got.size() == 7, python.readAllStandardError().constData());
        QCOMPARE(got.mid(0, 6), (QStringList{"1", read[0], "anna@example.net", read[1], read[2], ""}));
        QVERIFY2(got[6].toInt() <= 998, qPrintable(got[6]));
    }
};

QTEST_GUILESS_MAIN(TestMessageComposer)
#include "tst_messagecomposer.moc"
