// MIME encoding of plain-text mail: charsets, quoted-printable, encoded-words, folding, Date, Message-ID.
#include "smtp/Mime.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

using Mime::TCharset;

namespace {

// Quoted-printable lines back to the bytes they stand for, as a reader decodes them (RFC 2045 6.7).
QByteArray DecodeQuotedPrintable(const std::vector<std::string>& lines) {
    QByteArray bytes;
    for (const std::string& line : lines) {
        QByteArray text = QByteArray::fromStdString(line);
        const bool soft = text.endsWith('=');
        if (soft)
            text.chop(1);
        bytes += QByteArray::fromPercentEncoding(text.replace('%', "=25").replace('=', '%'));
        if (!soft)
            bytes += "\r\n";
    }
    return bytes;
}

QByteArray Bytes(const char* utf8) {
    return QByteArray(utf8);
}

} // namespace

class TestMime : public QObject {
    Q_OBJECT

private slots:
    void charsetOfText_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("charset");
        QTest::newRow("euro sign") << Bytes("50 €") << int(TCharset::Utf8);
        // Bytes that are no UTF-8 stand for the ISO-8859-1 character of their value.
        QTest::newRow("stray 8-bit byte") << QByteArray("J\xfcrgen") << int(TCharset::Latin1);
    }
    void charsetOfText() {
        QFETCH(QByteArray, text);
        QFETCH(int, charset);
        QCOMPARE(int(Mime::CharsetOf(text.toStdString())), charset);
    }

    void quotedPrintable_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("blank at end") << Bytes("-- ") << QStringList{"--=20"};
        QTest::newRow("77 splits") << QByteArray(77, 'x') << QStringList{QString(75, 'x') + "=", "xx"};
        // A triplet never straddles a soft break.
        QTest::newRow("triplet at the edge")
            << QByteArray(74, 'x') + "é" << QStringList{QString(74, 'x') + "=", "=C3=A9"};
    }
    void quotedPrintable() {
        QFETCH(QByteArray, line);
        QFETCH(QStringList, expected);
        QStringList got;
        for (const std::string& piece : Mime::QuotedPrintable(line.toStdString()))
            got << QString::fromStdString(piece);
        QCOMPARE(got, expected);
    }

    // Whatever goes in comes out of a reader's decoder unchanged, in lines of at most 76 characters.
    void quotedPrintableRoundTrip() {
        QByteArray line;
        for (int i = 0; i < 1000; ++i)
            line += char((i * 37 + 11) % 256 == '\r' || (i * 37 + 11) % 256 == '\n' ? 'x' : (i * 37 + 11) % 256);
        const std::vector<std::string> lines = Mime::QuotedPrintable(line.toStdString());
        for (const std::string& piece : lines)
            QVERIFY2(piece.size() <= 76, piece.c_str());
        QCOMPARE(DecodeQuotedPrintable(lines), line + "\r\n");
    }

    void headerLines_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("name only encoded") << Bytes("From: Zoë Müller <zoe@example.org>")
                                           << Bytes("From: =?utf-8?Q?Zo=C3=AB_M=C3=BCller?= <zoe@example.org>");
        QTest::newRow("quoted name") << Bytes("To: \"Müller, Zoë\" <z@example.org>")
                                     << Bytes("To: =?utf-8?Q?M=C3=BCller=2C_Zo=C3=AB?= <z@example.org>");
        QTest::newRow("bare address unchanged") << Bytes("To: zoë@example.org") << Bytes("To: zoë@example.org");
    }
    void headerLines() {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, expected);
        QCOMPARE(QByteArray::fromStdString(Mime::EncodeHeaderLine(line.toStdString(), TCharset::Utf8)), expected);
    }

    // Folding keeps every character, breaks only before blanks, and keeps lines within 78 where blanks allow.
    void foldsAtBlanks_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("lines");
        QTest::newRow("words") << "Subject: " + QByteArray("word ").repeated(60).trimmed() << 5;
        QTest::newRow("one long word") << "Subject: " + QByteArray(300, 'x') << 1;
        QTest::newRow("double blanks") << "Subject: " + QByteArray("ab  ").repeated(60) << 4;
    }
    void foldsAtBlanks() {
        QFETCH(QByteArray, line);
        QFETCH(int, lines);
        const std::vector<std::string> folded = Mime::FoldHeader(line.toStdString());
        QCOMPARE(int(folded.size()), lines);
        QByteArray joined;
        for (size_t i = 0; i < folded.size(); ++i) {
            const QByteArray piece = QByteArray::fromStdString(folded[i]);
            if (i > 0) {
                QVERIFY(piece.startsWith(' '));
                QVERIFY(!piece.trimmed().isEmpty());
            }
            // Longer than 78 only where no blank allowed a fold: one word (beside the field name).
            if (piece.size() > 78)
                QVERIFY2(!piece.mid(piece.indexOf(' ') + 1).contains(' '), piece.constData());
            joined += piece;
        }
        QCOMPARE(joined, line);
    }

    // Reading back: encoded-words in any of the three charsets and both encodings; blanks between two words
    // dropped, beside plain text kept; something that only looks like a word stays as it is.
    void decodesHeaderLines_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("decoded");
        QTest::newRow("utf-8 Q") << QByteArray("Subject: =?utf-8?Q?Gr=C3=BC=C3=9Fe_aus?= =?utf-8?Q?_K=C3=B6ln?=")
                                 << QStringLiteral("Subject: Grüße aus Köln");
        QTest::newRow("latin-1 B") << QByteArray("To: =?iso-8859-1?B?WuvrIE36bGxlcg==?= <z@example.org>")
                                   << QStringLiteral("To: Zëë Múller <z@example.org>");
        QTest::newRow("plain around") << QByteArray("Subject: a =?us-ascii?q?b?= c")
                                      << QStringLiteral("Subject: a b c");
        QTest::newRow("not a word") << QByteArray("Subject: =?x? 50%?= =?utf-8?Z?a?=")
                                    << QStringLiteral("Subject: =?x? 50%?= =?utf-8?Z?a?=");
    }
    void decodesHeaderLines() {
        QFETCH(QByteArray, line);
        QFETCH(QString, decoded);
        QCOMPARE(QString::fromStdString(Mime::DecodeHeaderLine(line.toStdString())), decoded);
    }

    // A folded, encoded message reads back as the text it was made from: soft breaks joined, "=3D" kept apart
    // from a literal "=3D" in the text.
    void readableMessageRoundTrip() {
        const std::string subject = "Subject: Новости — € and a subject long enough to be folded over lines";
        const std::string body = std::string(120, 'x') + " Zoë =3D " + std::string(80, 'y');
        std::vector<std::string> lines = Mime::FoldHeader(Mime::EncodeHeaderLine(subject, Mime::TCharset::Utf8));
        QVERIFY(lines.size() > 1);
        lines.push_back("Content-Type: text/plain; charset=\"utf-8\"");
        lines.push_back("Content-Transfer-Encoding: quoted-printable");
        lines.emplace_back();
        for (const std::string& piece : Mime::QuotedPrintable(Mime::Encode(body, Mime::TCharset::Utf8)))
            lines.push_back(piece);
        QVERIFY(lines.size() > 5);
        const std::vector<std::string> readable = Mime::ReadableMessage(lines);
        QCOMPARE(readable, (std::vector<std::string>{subject, "Content-Type: text/plain; charset=\"utf-8\"",
                                                     "Content-Transfer-Encoding: quoted-printable", "", body}));
    }

    void dateParses() {
        const std::time_t moment = 1796641243; // a Monday in December 2026
        const QString value = QString::fromStdString(Mime::DateValue(moment));
        QCOMPARE(QDateTime::fromString(value, Qt::RFC2822Date).toSecsSinceEpoch(), qint64(moment));
    }

    void messageIdsAreUniqueOnTheSendersDomain() {
        QSet<QString> seen;
        for (int i = 0; i < 2000; ++i) {
            const QString id = QString::fromStdString(Mime::NewMessageId(" sender@Mail.Example.org "));
            QVERIFY2(QRegularExpression(R"(^<[0-9a-f.]+@Mail\.Example\.org>$)").match(id).hasMatch(), qPrintable(id));
            seen.insert(id);
        }
        QCOMPARE(seen.size(), 2000);
        QVERIFY(QString::fromStdString(Mime::NewMessageId("no address")).endsWith("@localhost>"));
    }
};

QTEST_GUILESS_MAIN(TestMime)
#include "tst_mime.moc"
