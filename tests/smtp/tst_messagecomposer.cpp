// The composer without a client: a body read a second time (as a signature needs it) and header fields of the
// message's own.
#include "smtp/BodyLines.h"
#include "smtp/MessageComposer.h"

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
};

QTEST_GUILESS_MAIN(TestMessageComposer)
#include "tst_messagecomposer.moc"
