// MIME encoding of plain-text mail: charsets, quoted-printable, encoded-words, folding, Date, Message-ID.
#include "smtp/Mime.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

using Mime::TCharset;

class TestMime : public QObject {
    Q_OBJECT

private slots:
    // Bytes that are no UTF-8 stand for the ISO-8859-1 character of their value.
    void charsetOfText() {
        QCOMPARE(Mime::CharsetOf("50 €"), TCharset::Utf8);
        QCOMPARE(Mime::CharsetOf("J\xfcrgen"), TCharset::Latin1);
    }

    // Any bytes come out of a reader's decoder unchanged, in lines of at most 76 characters; a triplet never
    // straddles a soft break; a blank at the end is encoded (readers strip it).
    void quotedPrintable() {
        QCOMPARE(Mime::QuotedPrintable("-- "), std::vector<std::string>{"--=20"});
        QByteArray line;
        for (int i = 0; i < 1000; ++i)
            line += char((i * 37 + 11) % 256 == '\r' || (i * 37 + 11) % 256 == '\n' ? 'x' : (i * 37 + 11) % 256);
        QByteArray decoded;
        for (const std::string& piece : Mime::QuotedPrintable(line.toStdString())) {
            QVERIFY2(piece.size() <= 76, piece.c_str());
            QByteArray text = QByteArray::fromStdString(piece);
            const bool soft = text.endsWith('=');
            text.chop(soft ? 1 : 0);
            decoded += QByteArray::fromPercentEncoding(text.replace('%', "=25").replace('=', '%')) + (soft ? "" : "\n");
        }
        QCOMPARE(decoded, line + "\n");
    }

    // A comma of a quoted name is encoded; a bare address is left alone. (Names reach a reader whole:
    // anyLanguageReachesTheReader of tst_smtpclient.)
    void headerLines() {
        QCOMPARE(Mime::EncodeHeaderLine("To: \"Müller, Zoë\" <z@example.org>", TCharset::Utf8),
                 std::string("To: =?utf-8?Q?M=C3=BCller=2C_Zo=C3=AB?= <z@example.org>"));
        QCOMPARE(Mime::EncodeHeaderLine("To: zoë@example.org", TCharset::Utf8), std::string("To: zoë@example.org"));
        // A control character is encoded, never sent raw; a first word with too little room does not underflow.
        QCOMPARE(Mime::EncodeHeaderLine("Subject: a\x15z", TCharset::UsAscii),
                 std::string("Subject: =?us-ascii?Q?a=15z?="));
        QVERIFY(!Mime::FitsAsItIs("Subject: a\x15z"));
        for (const size_t first : {1, 12, 24})
            for (const QString& word :
                 QString::fromStdString(
                     Mime::EncodedWords(QString(100, QChar(0xFC)).toStdString(), TCharset::Utf8, 75, first))
                     .split(' '))
                QVERIFY2(word.size() <= 75 && word.endsWith("?="), qPrintable(word));
    }

    // A long Cyrillic name and subject: encoded-words within 75 characters, header lines folded within 78, and
    // the text read back whole.
    void longNonAsciiHeaders_data() {
        QTest::addColumn<QString>("line");
        QTest::newRow("name") << QString("To: Александра Константиновна Преображенская-Рождественская <a@example.org>");
        QTest::newRow("subject") << QString("Subject: Приглашение на ежегодную встречу выпускников факультета 2026");
    }
    void longNonAsciiHeaders() {
        QFETCH(QString, line);
        const std::string encoded = Mime::EncodeHeaderLine(line.toStdString(), TCharset::Utf8);
        std::string unfolded;
        for (const std::string& folded : Mime::FoldHeader(encoded)) {
            QVERIFY2(folded.size() <= 78, folded.c_str());
            unfolded += folded;
        }
        for (const QString& word : QString::fromStdString(encoded).split(' '))
            QVERIFY2(word.size() <= 75, qPrintable(word));
        QCOMPARE(QString::fromStdString(Mime::DecodeHeaderLine(unfolded)), line);
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
        for (const std::string& text : folded) {
            const QByteArray piece = QByteArray::fromStdString(text);
            QVERIFY(joined.isEmpty() || (piece.startsWith(' ') && !piece.trimmed().isEmpty()));
            // Longer than 78 only where no blank allowed a fold: one word (beside the field name).
            QVERIFY2(piece.size() <= 78 || !piece.mid(piece.indexOf(' ') + 1).contains(' '), piece.constData());
            joined += piece;
        }
        QCOMPARE(joined, line);
    }

    // Encoded-words in each charset and both encodings; blanks between two words dropped, beside plain text kept;
    // something that only looks like a word stays as it is.
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
        // Always UTF-8: a byte no UTF-8 character starts with reads as U+FFFD, a character split over two words whole.
        QTest::newRow("not utf-8") << QByteArray("Subject: =?utf-8?B?/w==?= \xC3(\xED\xA0\x80")
                                   << QStringLiteral("Subject: \uFFFD \uFFFD(\uFFFD\uFFFD\uFFFD");
        QTest::newRow("split character") << QByteArray("Subject: =?utf-8?Q?=C3?= =?utf-8?Q?=A9?=")
                                         << QStringLiteral("Subject: \u00E9");
    }
    void decodesHeaderLines() {
        QFETCH(QByteArray, line);
        QFETCH(QString, decoded);
        QCOMPARE(QByteArray::fromStdString(Mime::DecodeHeaderLine(line.toStdString())), decoded.toUtf8());
    }

    // A folded, encoded message reads back as its text: soft breaks joined, "=3D" kept apart from a literal "=3D".
    void readableMessageRoundTrip() {
        const std::string subject = "Subject: Новости — € and a subject long enough to be folded over lines";
        const std::string body = std::string(120, 'x') + " Zoë =3D " + std::string(80, 'y');
        std::vector<std::string> lines = Mime::FoldHeader(Mime::EncodeHeaderLine(subject, TCharset::Utf8));
        QVERIFY(lines.size() > 1);
        const std::vector<std::string> headers{"Content-Type: text/plain; charset=\"utf-8\"",
                                               "Content-Transfer-Encoding: quoted-printable", ""};
        lines.insert(lines.end(), headers.begin(), headers.end());
        for (const std::string& piece : Mime::QuotedPrintable(Mime::Encode(body, TCharset::Utf8)))
            lines.push_back(piece);
        QCOMPARE(Mime::ReadableMessage(lines), (std::vector<std::string>{subject, headers[0], headers[1], "", body}));
    }

    // The Date a reader parses back; Message-IDs unique and on the sender's domain.
    void dateAndMessageIds() {
        const QString date = QString::fromStdString(Mime::DateValue(1796641243)); // a Monday in December 2026
        QCOMPARE(QDateTime::fromString(date, Qt::RFC2822Date).toSecsSinceEpoch(), 1796641243);
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
