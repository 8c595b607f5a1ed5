// The client's queue against a peer on its own thread that offers PIPELINING and CHUNKING: the exact groups on
// the wire, replies in any pieces, and every message's result told once and for the right message, whatever
// the peer refuses or breaks.
#include "tests/servers/NumberedMessage.h"
#include "tests/servers/PipelinePeer.h"
#include "tests/smtp/Harness.h"

#include <QtTest>

#include <string>
#include <vector>

namespace {

struct Result {
    int Id = 0;
    bool Accepted = false;
    int Code = 0;
    bool Unconfirmed = false;
};

// Sends messages 1..count in one queue; each result as told.
std::vector<Result> SendQueue(Harness& h, int count) {
    std::vector<Result> results;
    int next = 1;
    h.Client.MailQueue(
        [&](TMailMessage& message, int& id) {
            if (next > count)
                return false;
            id = next;
            message = NumberedMessage(next++);
            return true;
        },
        [&](int id, bool accepted) {
            results.push_back({id, accepted, h.Client.LastReplyCode(), h.Client.Unconfirmed()});
        });
    return results;
}

QByteArray Content(int number) {
    return Headers() + "Message number " + QByteArray::number(number) + "\r\n";
}

// What a run records for a result: delivered, may have been, refused for good, or to try again.
QString Status(const Result& result) {
    if (result.Accepted)
        return "SENT";
    if (result.Unconfirmed)
        return "UNKNOWN";
    return result.Code >= 500 || (result.Code > 0 && result.Code < 400) ? "REFUSED" : "DEFERRED";
}

const QByteArray Envelope = "MAIL FROM:<sender@example.org>\r\nRCPT TO:<rcpt@example.org>\r\n";

} // namespace

Q_DECLARE_METATYPE(PipelinePeer::Pace)

class TestSmtpPipeline : public QObject {
    Q_OBJECT

private slots:
    // One write per round trip: the envelope with DATA, then each message's content and "." with the next
    // message's envelope; with CHUNKING every message of the window in one write, without dot-stuffing.
    void groupsOnTheWire_data() {
        QTest::addColumn<bool>("chunking");
        QTest::addColumn<int>("count");
        QTest::newRow("pipelining, one message") << false << 1;
        QTest::newRow("pipelining, three") << false << 3;
        QTest::newRow("chunking, three") << true << 3;
    }
    void groupsOnTheWire() {
        QFETCH(bool, chunking);
        QFETCH(int, count);
        PipelinePeer peer(chunking);
        Harness h(peer.PortText());
        h.Client.SetExtended(true);
        const std::vector<Result> results = SendQueue(h, count);
        h.Client.Quit();

        QCOMPARE(int(results.size()), count);
        for (int i = 0; i < count; ++i)
            QVERIFY(results[size_t(i)].Id == i + 1 && results[size_t(i)].Accepted);
        QList<QByteArray> expected{"EHLO tester.localhost\r\n"};
        if (chunking) {
            QByteArray window;
            for (int i = 1; i <= count; ++i)
                window += Envelope + "BDAT * LAST\r\n" + Content(i);
            expected << window;
        } else {
            expected << Envelope + "DATA\r\n";
            for (int i = 1; i < count; ++i)
                expected << Content(i) + ".\r\n" + Envelope + "DATA\r\n";
            expected << Content(count) + ".\r\n";
        }
        expected << "QUIT\r\n";
        // The sizes vary with Date and Message-ID; the peer reads exactly that many bytes, so a wrong size would
        // lose the message at the peer.
        QCOMPARE(int(peer.Delivered().size()), count);
        static const QRegularExpression size("BDAT \\d+ LAST");
        QList<QByteArray> reads;
        for (const std::string& read : peer.Reads())
            reads << QString::fromLatin1(Masked(QByteArray::fromStdString(read)))
                         .replace(size, "BDAT * LAST")
                         .toLatin1();
        if (count == 3 && !chunking)
            qInfo("a pipelined group:\n%s", reads[2].constData());
        QCOMPARE(reads, expected);
    }

    // Replies to a group whole, in pieces or one byte at a time: each message is told once, in order.
    void repliesInAnyPieces_data() {
        QTest::addColumn<bool>("chunking");
        QTest::addColumn<PipelinePeer::Pace>("pace");
        for (bool chunking : {false, true}) {
            const char* mode = chunking ? "chunking" : "pipelining";
            QTest::addRow("%s, whole", mode) << chunking << PipelinePeer::Pace::Whole;
            QTest::addRow("%s, pieces", mode) << chunking << PipelinePeer::Pace::Pieces;
            QTest::addRow("%s, bytes", mode) << chunking << PipelinePeer::Pace::Bytes;
        }
    }
    void repliesInAnyPieces() {
        QFETCH(bool, chunking);
        QFETCH(PipelinePeer::Pace, pace);
        PipelinePeer peer(chunking, pace);
        Harness h(peer.PortText());
        h.Client.SetExtended(true);
        const std::vector<Result> results = SendQueue(h, 12);
        h.Client.Quit();
        QCOMPARE(int(results.size()), 12);
        for (int i = 0; i < 12; ++i)
            QVERIFY(results[size_t(i)].Id == i + 1 && results[size_t(i)].Accepted);
        QCOMPARE(int(peer.Delivered().size()), 12);
        QCOMPARE(peer.Connections(), 1);
    }

    // A refusal inside a group belongs to its message alone, once: a refused RCPT's message is not failed a
    // second time by the 554 to its DATA or BDAT, and its neighbours go through.
    void refusalInsideAGroup_data() {
        QTest::addColumn<bool>("chunking");
        QTest::addColumn<QString>("verb");
        QTest::addColumn<int>("code");
        QTest::newRow("pipelining, RCPT") << false << "RCPT" << 550;
        // A server that says go ahead to DATA with no recipient left: "." alone ends it, nothing else follows it.
        QTest::newRow("pipelining, RCPT, then 354") << false << "RCPT354" << 550;
        QTest::newRow("pipelining, final dot") << false << "." << 552;
        QTest::newRow("chunking, RCPT") << true << "RCPT" << 550;
        QTest::newRow("chunking, BDAT") << true << "BDAT" << 554;
    }
    void refusalInsideAGroup() {
        QFETCH(bool, chunking);
        QFETCH(QString, verb);
        QFETCH(int, code);
        PipelinePeer peer(chunking, PipelinePeer::Pace::Whole,
                          [&](const PipelinePeer::Command& command) -> std::optional<PipelinePeer::Reply> {
                              if (command.Message != 2)
                                  return std::nullopt;
                              if (verb.startsWith(QString::fromStdString(command.Verb)))
                                  return PipelinePeer::Reply{std::to_string(code) + " 5.0.0 no\r\n"};
                              if (verb == "RCPT354" && command.Verb == "DATA")
                                  return PipelinePeer::Reply{"354 go ahead\r\n"};
                              return std::nullopt;
                          });
        Harness h(peer.PortText());
        h.Client.SetExtended(true);
        const std::vector<Result> results = SendQueue(h, 3);
        h.Client.Quit();
        QCOMPARE(int(results.size()), 3);
        QVERIFY(results[0].Accepted && results[2].Accepted && results[2].Id == 3);
        QVERIFY(!results[1].Accepted);
        QCOMPARE(results[1].Code, code);
        QCOMPARE(peer.Delivered(), (std::vector<int>{1, 3}));
    }

    // Replies that fit no step (one too many, the wrong code for the command, unknown BDAT): the connection
    // closes, nothing counts as sent or refused on a reply that may belong to another command, and a message
    // whose content went is unknown, never refused.
    void repliesOutOfStep_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("verb");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("statuses");
        const auto row = [](const char* name, const char* mode, const char* verb, const char* reply,
                            const char* statuses) {
            QTest::newRow(name) << QString(mode) << QString(verb) << QString(reply) << QString(statuses);
        };
        row("pipelining, a stray 250 before the 550 to .", "pipelining", ".", "250 stray\r\n550 no\r\n",
            "SENT UNKNOWN DEFERRED");
        row("chunking, a stray 250 before the 550 to BDAT", "chunking", "BDAT", "250 stray\r\n550 no\r\n",
            "UNKNOWN UNKNOWN UNKNOWN");
        row("pipelining, 250 to DATA", "pipelining", "DATA", "250 ok\r\n", "UNKNOWN DEFERRED");
        row("pipelining, 354 to RCPT", "pipelining", "RCPT", "354 go\r\n", "UNKNOWN DEFERRED");
        row("pipelining, 354 to .", "pipelining", ".", "354 go\r\n", "SENT UNKNOWN DEFERRED");
        row("pipelining, 221 to .", "pipelining", ".", "221 bye\r\n", "SENT UNKNOWN DEFERRED");
        row("lockstep, 250 250 354 to MAIL", "lockstep", "MAIL", "250 a\r\n250 b\r\n354 c\r\n", "SENT DEFERRED");
        row("chunking, 500 to BDAT", "chunking", "BDAT", "500 unknown\r\n", "DEFERRED DEFERRED DEFERRED");
        // A server that limits messages per connection closes with 421 where the next MAIL's reply belongs. A 421
        // may answer any command, so it cannot show that the 250 before it answered the "." and not a stray line:
        // that message stays UNKNOWN (the cost of never counting a refused message as sent).
        row("pipelining, 421 to the next MAIL", "pipelining", "MAIL", "421 too many\r\n", "UNKNOWN DEFERRED");
    }
    void repliesOutOfStep() {
        QFETCH(QString, mode);
        QFETCH(QString, verb);
        QFETCH(QString, reply);
        QFETCH(QString, statuses);
        PipelinePeer peer(mode == "chunking", PipelinePeer::Pace::Whole,
                          [&](const PipelinePeer::Command& command) -> std::optional<PipelinePeer::Reply> {
                              if (command.Message == 2 && command.Verb == verb.toStdString())
                                  return PipelinePeer::Reply{reply.toStdString()};
                              if (command.Verb == "BDAT" && reply.startsWith("500"))
                                  return PipelinePeer::Reply{reply.toStdString()};
                              return std::nullopt;
                          });
        Harness h(peer.PortText());
        h.Client.SetExtended(true);
        h.Client.SetPipelining(mode != "lockstep");
        QStringList told;
        const std::vector<Result> results = SendQueue(h, 3);
        for (const Result& result : results)
            told << Status(result);
        QCOMPARE(told.join(' '), statuses);
        QCOMPARE(h.Client.State(), smtpDisconnected);
        const std::vector<int> delivered = peer.Delivered();
        for (const Result& result : results)
            QVERIFY(!result.Accepted || std::count(delivered.begin(), delivered.end(), result.Id) == 1);
        if (reply.startsWith("500")) { // the next connection goes with DATA
            told.clear();
            for (const Result& result : SendQueue(h, 3))
                told << Status(result);
            QCOMPARE(told.join(' '), QString("SENT SENT SENT"));
        }
    }

    // Stop while message 2's DATA has its go-ahead: its content never leaves (the connection closes without its
    // dot), message 1, whose content went, still gets its reply, and 3 never starts.
    void stopSendsNoFurtherContent_data() {
        QTest::addColumn<bool>("pipelining");
        QTest::newRow("pipelining") << true;
        QTest::newRow("lockstep") << false;
    }
    void stopSendsNoFurtherContent() {
        QFETCH(bool, pipelining);
        PipelinePeer peer(false);
        Harness h(peer.PortText());
        h.Client.SetExtended(true);
        h.Client.SetPipelining(pipelining);
        int goAheads = 0;
        h.Client.OnDisplay = [&](TSmtpClient* client, const std::string& line) {
            if (line.rfind("< 354", 0) == 0 && ++goAheads == 2)
                client->StopSending();
        };
        QStringList told;
        for (const Result& result : SendQueue(h, 3))
            told << Status(result);
        QCOMPARE(told.join(' '), QString("SENT DEFERRED"));
        QCOMPARE(peer.Delivered(), std::vector<int>{1});
        QCOMPARE(h.Client.State(), smtpDisconnected);
    }

    // The peer closes on the "." of message 2 of 3 in flight: 1 answered, 2 out without a reply (may have
    // arrived), 3 never sent whole.
    void closeAfterTheSecondDot() {
        PipelinePeer peer(false, PipelinePeer::Pace::Whole,
                          [](const PipelinePeer::Command& command) -> std::optional<PipelinePeer::Reply> {
                              if (command.Message == 2 && command.Verb == ".")
                                  return PipelinePeer::Reply{{}, true};
                              return std::nullopt;
                          });
        Harness h(peer.PortText());
        h.Client.SetExtended(true);
        const std::vector<Result> results = SendQueue(h, 3);
        QCOMPARE(int(results.size()), 3);
        QVERIFY(results[0].Accepted);
        QVERIFY(!results[1].Accepted && results[1].Unconfirmed);
        QVERIFY(!results[2].Accepted && !results[2].Unconfirmed);
        QCOMPARE(results[2].Code, 0);
        QCOMPARE(h.Client.State(), smtpDisconnected);
    }
};

QTEST_MAIN(TestSmtpPipeline)
#include "tst_smtppipeline.moc"
