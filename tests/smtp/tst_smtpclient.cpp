// The SMTP client against a real server (aiosmtpd) and against a scripted peer for every kind of fault.
#include "smtp/SmtpClient.h"

#include "mailing/MessageText.h"
#include "tests/servers/LoopbackListener.h"
#include "tests/servers/ParsedMail.h"
#include "tests/servers/PeerThread.h"
#include "tests/servers/ScriptedServer.h"
#include "tests/servers/SmtpSink.h"
#include "tests/servers/ThreadedPeer.h"
#include "tests/smtp/Harness.h"

#include <QTcpServer>
#include <QtTest>

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cstring>
#include <future>
#include <stdexcept>
#include <thread>

namespace {

constexpr int ShortTimeOut = 4; // 200 ms for replies that never come

QList<QByteArray> Verbs(const QList<QByteArray>& commands) {
    QList<QByteArray> verbs;
    for (const QByteArray& command : commands)
        verbs << command.left(4);
    return verbs;
}

} // namespace

Q_DECLARE_METATYPE(ScriptedServer::Action)

class TestSmtpClient : public QObject {
    Q_OBJECT

private slots:
    void sinkReceivesTheMessageByteForByte();
    void sinkGetsMessagesInOneConnection();
    void sinkRefusalIsReportedInTheServersWords();
    void personalisedMessageArrivesAsWritten();
    void lineBreaksInValuesAddNoLineOnTheWire();
    void refusedStep_data();
    void refusedStep();
    void replyCodeAndConfirmation_data();
    void replyCodeAndConfirmation();
    void multiLineAndOddReplies_data();
    void multiLineAndOddReplies();
    void overlongReplyLinesKeepTheDialogueInStep();
    void silentServerTimesOutAndTheConnectionIsDropped();
    void serverClosesAfterMessages_data();
    void serverClosesAfterMessages();
    void slowLinkTimesTheReplyFromTheLastByte_data();
    void slowLinkTimesTheReplyFromTheLastByte();
    void asleepWhileTheServerAnswers();
    void serverThatStallsAfterTheGreetingIsGivenUp();
    void connectionLostBeforeTheReply();
    void connectionLostInTheMiddleOfData_data();
    void connectionLostInTheMiddleOfData();
    void failuresBeforeAnyTraffic();
    void bodyFeedEndsAndHeaderHandler();
    void pendingMessagesRunDuringALongBody();
    void headerValueLongerThanTheBufferIsCut();
    void addressHeadersStayWholeAndUnderTheLimit();
    void eightBitMimeAsOffered_data();
    void eightBitMimeAsOffered();
    void smtpUtf8AsOffered_data();
    void smtpUtf8AsOffered();
    void anyLanguageReachesTheReader_data();
    void anyLanguageReachesTheReader();
};

void TestSmtpClient::sinkReceivesTheMessageByteForByte() {
    SmtpSink sink;
    QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
    Harness h(sink.PortText());
    h.Client.SetFromName(" \tsender@example.org \r");
    h.Client.RcptName() = {"  first@example.org", "second@example.org\t"};
    h.Client.RcptCcName() = {"copy@example.org"};
    h.Body = {"Hello,", "", ".", ".hidden", "..", "   kept as written  ", "Bye"};
    QVERIFY2(h.Client.Mail(), h.Client.ErrorMessage().c_str());
    QCOMPARE(h.Client.ErrorMessage(), std::string());
    QCOMPARE(h.Client.State(), smtpConnected);
    h.Client.Quit();
    QCOMPARE(h.Client.State(), smtpDisconnected);

    QCOMPARE(sink.Count(), 1);
    const SmtpSink::Message got = sink.Read(1);
    QCOMPARE(got.Sender, std::string("sender@example.org"));
    QCOMPARE(got.Recipients, (std::vector<std::string>{"first@example.org", "second@example.org", "copy@example.org"}));
    const QByteArray body = "Hello,\r\n\r\n.\r\n.hidden\r\n..\r\n   kept as written  \r\nBye\r\n";
    QCOMPARE(Masked(got.Content), Headers() + body);
    QCOMPARE(Masked(got.Wire), Headers() + "Hello,\r\n\r\n..\r\n..hidden\r\n...\r\n   kept as written  \r\nBye\r\n");
    QVERIFY(h.Shows("> HELO tester.localhost"));
    QVERIFY(h.Shows("Connected with SMTP server"));
}

void TestSmtpClient::sinkGetsMessagesInOneConnection() {
    SmtpSink sink;
    QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
    Harness h(sink.PortText());
    h.Client.SetSignOn("");
    for (const char* name : {"one", "two", "three"}) {
        h.Client.RcptName() = {std::string(name) + "@example.org"};
        QVERIFY2(h.Mail({name}), h.Client.ErrorMessage().c_str());
    }
    // Connected already: Open sends nothing and succeeds.
    const size_t shown = h.Shown.size();
    QVERIFY(h.Client.Open());
    QCOMPARE(h.Shown.size(), shown);
    h.Client.Quit();
    // Without a sign-on: a fully-qualified name, or lacking one the address of this end in brackets.
    const std::string name = GetLocalHostName();
    QVERIFY(h.Shows("> HELO " + (name.find('.') != std::string::npos ? name : "[127.0.0.1]")));
    QCOMPARE(std::count(h.Shown.begin(), h.Shown.end(), "Connected with SMTP server"), 1);
    QCOMPARE(sink.Count(), 3);
    QCOMPARE(sink.Read(3).Recipients, std::vector<std::string>{"three@example.org"});
    QCOMPARE(Masked(sink.Read(3).Content), Headers() + "three\r\n");
    // Quit when disconnected does nothing at all.
    h.Shown.clear();
    h.Client.Quit();
    QVERIFY(h.Shown.empty());
}

void TestSmtpClient::sinkRefusalIsReportedInTheServersWords() {
    SmtpSink sink({"nobody@example.org"});
    QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
    Harness h(sink.PortText());
    h.Client.SetHost("localhost"); // looked up once; the reconnect below takes the address found
    h.Client.RcptName() = {"nobody@example.org"};
    QVERIFY(!h.Client.Mail());
    QCOMPARE(h.Client.HostAddress(), std::string("127.0.0.1"));
    QCOMPARE(h.Client.ErrorMessage(), std::string("550 Mailbox unavailable: nobody@example.org"));
    QCOMPARE(h.Client.LastResponse(), h.Client.ErrorMessage());
    QCOMPARE(h.Client.State(), smtpConnected); // the caller decides to quit
    h.Client.Quit();
    h.Client.RcptName() = {"somebody@example.org"};
    QVERIFY(h.Client.Mail());
    QCOMPARE(h.Client.ErrorMessage(), std::string()); // the new connection cleared the old failure
    QCOMPARE(sink.Count(), 1);
    h.Client.SetHost("localhost"); // a new run looks the name up again
    QCOMPARE(h.Client.HostAddress(), std::string());
}

void TestSmtpClient::personalisedMessageArrivesAsWritten() {
    SmtpSink sink;
    QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
    Harness h(sink.PortText());
    const std::string text = MessageText::ReplaceVariables(
        "Dear %D %N,\r\n\r\n.\r\nthe offer for %O stands: 50%% off\r\n   until Friday.", [](char c) {
            return c == 'D' ? std::string("Ms.") : c == 'N' ? std::string("Jones") : std::string("Acme");
        });
    size_t pos = 0;
    h.Client.OnGetData = [&](TSmtpClient*, int, char* line, int maxLen, bool& more) {
        const std::string next = MessageText::NextBodyLine(text, pos, 30, maxLen, more);
        qstrncpy(line, next.c_str(), static_cast<size_t>(maxLen) + 1);
    };
    TMailMessage message = h.Client.PropertyMessage();
    message.Fields = {{"Organization", "Quorvel Friends"}};
    QVERIFY2(h.Client.Mail(message), h.Client.ErrorMessage().c_str());
    // Width 30: the URL is exactly 30 characters long and is followed by no extra empty line.
    const QByteArray expected =
        "From: Sender <sender@example.org>\r\nOrganization: Quorvel Friends\r\n"
        "To: Rcpt <rcpt@example.org>\r\nSubject: Greetings\r\nDate: *\r\nMessage-ID: *\r\n"
        "Mime-Version: 1.0\r\nContent-Type: text/plain; charset=\"us-ascii\"\r\n"
        "Content-Transfer-Encoding: 7bit\r\n\r\nDear Ms. Jones,\r\n\r\n.\r\nthe offer for Acme stands:\r\n50%% off\r\n"
        "until Friday.\r\n\r\nDelivered to you by Quorvel\r\nMailer - get free e-mail\r\n"
        "software at:\r\nhttps://quorvel.example/mailer\r\n";
    QCOMPARE(Masked(sink.Read(1).Content), expected);
}

void TestSmtpClient::lineBreaksInValuesAddNoLineOnTheWire() {
    ScriptedServer server;
    QVERIFY(server.IsListening());
    Harness h(server.PortText());
    h.Client.SetSignOn("me\r\nRSET");
    h.Client.SetFromName("sender@example.org>\r\nRSET\r\nMAIL FROM:<evil@example.org");
    h.Client.RcptName() = {"Rcpt <rcpt@example.org>\r\nRCPT TO:<evil@example.org"};
    h.Client.SetHdrTo("Rcpt\r\nBcc: evil@example.org");
    h.Client.SetHdrSubject("Hi\n\nInjected body");
    h.Client.SetHdrFrom("Sender\rX-Evil: yes");
    h.Body = {"text\r\n.\r\nMAIL FROM:<evil@example.org>", ".\nQUIT"};
    QVERIFY2(h.Client.Mail(), h.Client.ErrorMessage().c_str());
    h.Client.Quit();
    QCOMPARE(Verbs(server.Commands()), (QList<QByteArray>{"HELO", "MAIL", "RCPT", "DATA", "QUIT"}));
    QCOMPARE(server.Commands()[1], QByteArray("MAIL FROM:<sender@example.org>  RSET  MAIL FROM:<evil@example.org>"));
    const QList<QByteArray> data = server.DataLines();
    QCOMPARE(data.mid(0, 3), (QList<QByteArray>{"From: Sender X-Evil: yes", "To: Rcpt  Bcc: evil@example.org",
                                                "Subject: Hi  Injected body"}));
    QCOMPARE(data.mid(8), (QList<QByteArray>{"", "text", "..", "MAIL FROM:<evil@example.org>", "..", "QUIT"}));
}

void TestSmtpClient::refusedStep_data() {
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QList<QByteArray>>("sent");
    QTest::addColumn<bool>("accepted");
    const QList<QByteArray> all{"HELO", "MAIL", "RCPT", "RCPT", "DATA"};
    QTest::newRow("MAIL refused") << QByteArray("MAIL") << QByteArray("451 try later") << all.mid(0, 2) << false;
    QTest::newRow("RCPT refused") << QByteArray("RCPT") << QByteArray("550 no such user") << all.mid(0, 3) << false;
    QTest::newRow("RCPT 251") << QByteArray("RCPT") << QByteArray("251 will forward") << all << true;
    QTest::newRow("RCPT 252") << QByteArray("RCPT") << QByteArray("252 cannot verify") << all.mid(0, 3) << false;
    QTest::newRow("DATA refused") << QByteArray("DATA") << QByteArray("503 bad sequence") << all << false;
    QTest::newRow("message refused") << QByteArray(".") << QByteArray("552 too big") << all << false;
}

void TestSmtpClient::refusedStep() {
    QFETCH(QByteArray, verb);
    QFETCH(QByteArray, reply);
    QFETCH(QList<QByteArray>, sent);
    QFETCH(bool, accepted);
    ScriptedServer server;
    server.SetReply(verb, ScriptedServer::Send(reply + "\r\n"));
    Harness h(server.PortText());
    h.Client.RcptName() = {"a@example.org", "b@example.org"};
    h.Body = {"body"};
    QCOMPARE(h.Client.Mail(), accepted);
    QCOMPARE(Verbs(server.Commands()), sent);
    QCOMPARE(h.Client.ErrorMessage(), accepted ? std::string() : reply.toStdString());
    QCOMPARE(h.Client.State(), smtpConnected);
    QCOMPARE(server.DataLines().contains("body"), verb == "." || accepted);
    // A caller that goes on over the same connection: a transaction the final reply did not end is reset first.
    server.SetReply(verb, ScriptedServer::Send("250 fine\r\n"));
    h.Mail(h.Body);
    const QByteArray next = verb == "." || accepted ? "MAIL" : "RSET";
    QCOMPARE(server.Commands().value(sent.size()).left(4), next);
}

void TestSmtpClient::replyCodeAndConfirmation_data() {
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<ScriptedServer::Action>("reply");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("unconfirmed");
    using S = ScriptedServer;
    QTest::newRow("refused") << QByteArray(".") << S::Send("552 too big\r\n") << false << 552 << false;
    QTest::newRow("closed after the dot") << QByteArray(".") << S::Hangup() << false << 0 << true;
    QTest::newRow("silent after the dot") << QByteArray(".") << S::Silence() << false << 0 << true;
    QTest::newRow("no code after the dot") << QByteArray(".") << S::Send("\r\n") << false << 0 << true;
    QTest::newRow("closed before the dot") << QByteArray("DATA") << S::Hangup() << false << 0 << false;
}

// What a caller needs to tell a refusal from a message whose fate is unknown.
void TestSmtpClient::replyCodeAndConfirmation() {
    QFETCH(QByteArray, verb);
    QFETCH(ScriptedServer::Action, reply);
    QFETCH(bool, sent);
    QFETCH(int, code);
    QFETCH(bool, unconfirmed);
    ScriptedServer server;
    server.SetReply(verb, reply);
    Harness h(server.PortText());
    h.Client.SetTimeOut(ShortTimeOut);
    QCOMPARE(h.Client.Mail(), sent);
    QCOMPARE(h.Client.LastReplyCode(), code);
    QCOMPARE(h.Client.Unconfirmed(), unconfirmed);
    QCOMPARE(h.Client.ErrorMessage().empty(), sent); // a failure always says why
}

void TestSmtpClient::multiLineAndOddReplies_data() {
    QTest::addColumn<QByteArray>("greeting");
    QTest::addColumn<QString>("error"); // empty: the connection opens
    QTest::addColumn<QString>("lastResponse");
    QTest::addColumn<int>("linesShown");
    const auto row = [](const char* name, const QByteArray& greeting, const QString& error, const char* last,
                        int lines) { QTest::newRow(name) << greeting << error << QString(last) << lines; };
    const QByteArray continued = QByteArray("220-more\r\n").repeated(100);
    const QString notSmtp = QStringLiteral("The server's reply is not SMTP: ");
    row("multi-line", "220-first\r\n220-second\r\n220 last\r\n", "", "220 last", 3);
    // A line with another code is no part of the reply; bytes after the greeting would pass for the EHLO reply.
    row("mixed codes", "220-fine\r\n421 busy\r\n",
        "The server's reply \"421 busy\" does not fit the command it should answer; the connection was closed for "
        "safety", "554 out of step", 2);
    row("more after the greeting", "220-a\r\n220\r\n250 late\r\n",
        "The server sent more than its greeting before it was greeted; the connection was closed for safety.",
        "554 out of step", 2);
    row("leading blanks", " \t220 ready\r\n", "", " \t220 ready", 1);
    row("bare line feeds", "220-a\n220 b\n", "", "220 b", 2);
    row("100 continuation lines", continued + "220 done\r\n", "", "220 done", 101);
    row("short code", "22\r\n", notSmtp + "\"22\"", "554 invalid reply", 1);
    row("no digits", "OK ready\r\n", notSmtp + "\"OK ready\"", "554 invalid reply", 1);
    row("huge number", "22000000000000000220 x\r\n", notSmtp + "\"22000000000000000220 x\"", "554 invalid reply", 1);
    row("empty line", "\r\n220 late\r\n", "The server sent an empty line instead of a reply", "554 invalid reply", 1);
    row("101 continuation lines", continued + "220-more\r\n220 done\r\n", "The server's reply has more than 100 lines",
        "554 invalid reply", 101 + 1);
    row("line beyond 4 KiB", "220 " + QByteArray(5000, 'x') + "\r\n220 ok\r\n",
        "The server's reply has a line longer than 4096 bytes", "554 invalid reply", 1);
}

void TestSmtpClient::multiLineAndOddReplies() {
    QFETCH(QByteArray, greeting);
    QFETCH(QString, error);
    QFETCH(QString, lastResponse);
    QFETCH(int, linesShown);
    ScriptedServer server;
    server.SetGreeting(ScriptedServer::Send(greeting));
    Harness h(server.PortText());
    const bool opened = error.isEmpty();
    QCOMPARE(h.Client.Open(), opened);
    const auto replies =
        std::count_if(h.Shown.begin(), h.Shown.end(), [](const std::string& s) { return s[0] == '<'; });
    QCOMPARE(replies, linesShown + (opened ? 1 : 0)); // and the reply to HELO
    if (!opened) {
        QCOMPARE(h.Client.ErrorMessage(), error.toStdString());
        QCOMPARE(h.Client.LastResponse(), lastResponse.toStdString());
        QCOMPARE(h.Client.State(), smtpDisconnected);
        QVERIFY(server.Commands().isEmpty()); // no HELO after a bad greeting
    } else {
        QVERIFY(h.Shows("< " + lastResponse.toStdString()));
        QCOMPARE(h.Client.State(), smtpConnected);
    }
}

void TestSmtpClient::overlongReplyLinesKeepTheDialogueInStep() {
    ScriptedServer server;
    const QByteArray tail(300, 'x');
    server.SetGreeting(ScriptedServer::Send("220 " + tail + "\r\n"));
    server.SetReply("HELO", ScriptedServer::Send("250-" + tail + "\r\n250-" + tail + tail + "\r\n250 ok\r\n"));
    server.SetReply("MAIL", ScriptedServer::Send("250 " + tail + "\r\n"));
    Harness h(server.PortText());
    QVERIFY2(h.Client.Open(), h.Client.ErrorMessage().c_str());
    QVERIFY2(h.Client.Mail(), h.Client.ErrorMessage().c_str());
    QCOMPARE(h.Client.LastResponse(), std::string("250 Message accepted"));
    QVERIFY(h.Shows("< 250 " + std::string(250, 'x'))); // the line as far as it fits, code first

    // The limit is exact: a line of 4,096 bytes passes, one byte more does not.
    for (const int size : {4096, 4097}) {
        ScriptedServer limited;
        limited.SetGreeting(ScriptedServer::Send("220 " + QByteArray(size - 4, 'x') + "\r\n"));
        Harness g(limited.PortText());
        QCOMPARE(g.Client.Open(), size == 4096);
        QCOMPARE(g.Client.ErrorMessage(), size == 4096 ? "" : "The server's reply has a line longer than 4096 bytes");
    }
}

void TestSmtpClient::silentServerTimesOutAndTheConnectionIsDropped() {
    ScriptedServer server;
    server.SetReplies("RCPT", {ScriptedServer::Silence(), ScriptedServer::Send("250 OK\r\n")});
    Harness h(server.PortText());
    h.Client.SetTimeOut(ShortTimeOut);
    QVERIFY(!h.Client.Mail());
    // The client's words for what it saw; the made-up reply keeps its code for the tools that read it.
    QCOMPARE(h.Client.ErrorMessage(), std::string("No reply from the server within 0.2 seconds"));
    QCOMPARE(h.Client.LastResponse(), std::string("554 receive timeout"));
    QCOMPARE(h.Client.LastReplyCode(), 0);
    QVERIFY(h.Client.StatusTimeOut());
    // A reply that may still come would answer the next command: the connection is given up.
    QCOMPARE(h.Client.State(), smtpDisconnected);
    QVERIFY(h.Client.Mail());
    QCOMPARE(h.Client.ErrorMessage(), std::string());
    QCOMPARE(server.Connections(), 2);

    // A silent greeting closes the connection the client was opening.
    ScriptedServer mute;
    mute.SetGreeting(ScriptedServer::Silence());
    Harness m(mute.PortText());
    m.Client.SetTimeOut(ShortTimeOut);
    QVERIFY(!m.Client.Open());
    QCOMPARE(m.Client.ErrorMessage(), std::string("No reply from the server within 0.2 seconds"));
    QCOMPARE(m.Client.State(), smtpDisconnected);
    QVERIFY(m.Client.StatusTimeOut());
}

void TestSmtpClient::slowLinkTimesTheReplyFromTheLastByte_data() {
    QTest::addColumn<bool>("reads");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("response");
    QTest::newRow("slow reader") << true << true << "250 ok";
    // The "." never left: not delivered, so not unknown either.
    QTest::newRow("reads nothing") << false << false << "554 send timeout";
}

// A 10 MB message to a peer that takes it in pieces of 4.5 MB (more than the kernels of both ends hold) with a
// pause of 0.6 timeouts after each: the reply is timed from the moment the last byte left, and a send that
// keeps moving never times out, while one that does not move ends the message unsent.
void TestSmtpClient::slowLinkTimesTheReplyFromTheLastByte() {
    QFETCH(bool, reads);
    QFETCH(bool, accepted);
    QFETCH(QString, response);
    constexpr size_t Piece = 4'500'000;
    std::promise<void> finished;
    const std::shared_future<void> over = finished.get_future().share();
    PeerThread peer([&](int fd, int) {
        const auto say = [fd](const char* text) { ::send(fd, text, std::strlen(text), MSG_NOSIGNAL); };
        say("220 slow\r\n");
        std::string pending;
        size_t taken = 0;
        bool inData = false;
        char buffer[65536];
        for (;;) {
            if (inData && !reads)
                over.wait_for(std::chrono::seconds(30));
            const ssize_t n = inData && !reads ? 0 : ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            pending.append(buffer, static_cast<size_t>(n));
            if (inData) {
                if ((taken += static_cast<size_t>(n)) >= Piece) {
                    taken = 0;
                    std::this_thread::sleep_for(std::chrono::milliseconds(600)); // the slow link's pause
                }
                if (pending.size() >= 5 && pending.compare(pending.size() - 5, 5, "\r\n.\r\n") == 0) {
                    say("250 ok\r\n");
                    inData = false;
                    pending.clear();
                } else if (pending.size() > 5) {
                    pending.erase(0, pending.size() - 5);
                }
                continue;
            }
            for (size_t end; !inData && (end = pending.find("\r\n")) != std::string::npos; pending.erase(0, end + 2)) {
                const std::string verb = pending.substr(0, 4);
                inData = verb == "DATA";
                say(inData ? "354 go\r\n" : verb == "QUIT" ? "221 bye\r\n" : "250 fine\r\n");
            }
        }
        ::close(fd);
    });
    Harness h(peer.PortText());
    h.Client.SetTimeOut(20); // 1 s
    std::vector<std::string> body(10'000'000 / 78, std::string(76, 'x'));
    QCOMPARE(h.Mail(std::move(body)), accepted);
    finished.set_value();
    QCOMPARE(h.Client.Unconfirmed(), false);
    QCOMPARE(h.Client.LastResponse(), response.toStdString());
}

namespace {

// The peer of asleepWhileTheServerAnswers, in a process of its own (it must answer while the client is stopped),
// with nothing but system calls after the fork. Sends the first line of the final reply, stops the client,
// sends the rest, waits past the client's deadline, closes as a server drops an idle connection, and wakes the
// client.
[[noreturn]] void SleepingClientPeer(int listener, pid_t client, int stopMs) {
    const int fd = ::accept(listener, nullptr, nullptr);
    const auto say = [fd](const char* text) { ::send(fd, text, std::strlen(text), MSG_NOSIGNAL); };
    say("220 peer\r\n");
    char buffer[4096];
    size_t have = 0;
    bool inData = false;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer + have, sizeof buffer - have - 1, 0);
        if (n <= 0)
            ::_exit(1);
        have += static_cast<size_t>(n);
        buffer[have] = '\0';
        if (inData && std::strstr(buffer, "\r\n.\r\n"))
            break;
        char* end = nullptr;
        while (!inData && (end = std::strstr(buffer, "\r\n"))) {
            inData = std::strncmp(buffer, "DATA", 4) == 0;
            say(inData ? "354 go\r\n" : "250 fine\r\n");
            have -= static_cast<size_t>(end + 2 - buffer);
            std::memmove(buffer, end + 2, have + 1);
        }
        if (have > 2048) // keep the tail of the content, where the end will be
            std::memmove(buffer, buffer + have - 8, 9), have = 8;
    }
    say("250-queued as Q1\r\n");
    ::usleep(200'000); // the client reads the first line and waits for the next
    ::kill(client, SIGSTOP);
    say("250 ok\r\n");
    ::usleep(static_cast<useconds_t>(stopMs) * 1000);
    ::close(fd);
    ::kill(client, SIGCONT);
    ::_exit(0);
}

} // namespace

// The computer sleeps while the server answers and then drops the idle connection: on waking, the reply that
// arrived is read before the deadline that passed meanwhile counts.
void TestSmtpClient::asleepWhileTheServerAnswers() {
    int port = 0;
    const int listener = ListenOnLoopback(port);
    QVERIFY(listener >= 0);
    Harness h(QString::number(port));
    h.Client.SetTimeOut(ShortTimeOut);
    const pid_t peer = ::fork();
    if (peer == 0)
        SleepingClientPeer(listener, ::getppid(), 2 * ShortTimeOut * 50 * TSmtpClient::FinalReplyFactor);
    ::close(listener);
    const bool accepted = h.Mail({"body"});
    int status = -1;
    ::waitpid(peer, &status, 0);
    QCOMPARE(status, 0);
    QVERIFY2(accepted, h.Client.ErrorMessage().c_str());
}

// A server that greets and then answers nothing costs two timeouts, not one per message; Quit (the end of a run)
// lets the next run try again.
void TestSmtpClient::serverThatStallsAfterTheGreetingIsGivenUp() {
    ThreadedPeer peer([](const ThreadedPeer::Command& command) {
        if (command.Verb.empty())
            return ThreadedPeer::Reply::Say("220 peer\r\n");
        return command.Verb == "HELO" ? ThreadedPeer::Reply::Say("250 hello\r\n") : ThreadedPeer::Reply{};
    });
    Harness h(peer.PortText());
    h.Client.SetTimeOut(ShortTimeOut);
    for (int i = 0; i < 3; ++i)
        QVERIFY(!h.Mail({"body"}));
    QCOMPARE(peer.Connections(), 2);
    QVERIFY2(h.Client.ErrorMessage().find("greets but then answers nothing") != std::string::npos,
             h.Client.ErrorMessage().c_str());
    h.Client.Quit();
    QVERIFY(!h.Mail({"body"}));
    QCOMPARE(peer.Connections(), 3);
}

void TestSmtpClient::connectionLostBeforeTheReply() {
    ScriptedServer server;
    server.SetReply("MAIL", ScriptedServer::Hangup());
    Harness h(server.PortText());
    QVERIFY(!h.Client.Mail());
    QCOMPARE(h.Client.ErrorMessage(), std::string("The server closed the connection without a reply"));
    QCOMPARE(h.Client.LastResponse(), std::string("554 connection closed"));
    QCOMPARE(h.Client.State(), smtpDisconnected);
    QVERIFY(!h.Client.Mail()); // connects anew: the greeting is fine, MAIL is dropped again
    server.SetReply("MAIL", ScriptedServer::SendAndClose("421 closing\r\n"));
    QVERIFY(!h.Client.Mail());
    QCOMPARE(h.Client.ErrorMessage(), std::string("421 closing"));
    QCOMPARE(server.Connections(), 3);
}

void TestSmtpClient::connectionLostInTheMiddleOfData_data() {
    QTest::addColumn<int>("lines");
    QTest::newRow("right after 354") << 0;
    QTest::newRow("in the header block") << 2;
    QTest::newRow("in the body") << 10;
}

void TestSmtpClient::connectionLostInTheMiddleOfData() {
    QFETCH(int, lines);
    ScriptedServer server;
    server.SetCloseAfterDataLines(lines);
    if (lines == 0)
        server.SetReply("DATA", ScriptedServer::SendAndClose("354 go ahead\r\n"));
    Harness h(server.PortText());
    // A feed far longer than the server's patience: the client processes pending messages only every few
    // milliseconds while it writes, so the close must be seen within the feed's time, not within some lines.
    constexpr int FeedCap = 400000;
    int fed = 0;
    h.Client.OnGetData = [&fed](TSmtpClient*, int, char* line, int, bool& more) {
        if (fed == FeedCap) {
            more = false;
            return;
        }
        const std::string text = "line " + std::to_string(fed++) + std::string(40, '-');
        qstrcpy(line, text.c_str());
    };
    QVERIFY(!h.Client.Mail());
    const std::string error = h.Client.LastResponse();
    QVERIFY2(error == "554 not connected" || error == "554 connection closed", error.c_str());
    QVERIFY(!h.Client.ErrorMessage().empty());
    QCOMPARE(h.Client.State(), smtpDisconnected);
    QVERIFY2(fed < FeedCap, std::to_string(fed).c_str()); // the feed stopped when the connection went
    h.Client.Quit();
}

void TestSmtpClient::failuresBeforeAnyTraffic() {
    Harness h("25");
    h.Client.SetWait(nullptr);
    h.Client.SetStatusTimeOut(true);
    QVERIFY(!h.Client.Open());
    QCOMPARE(h.Client.ErrorMessage(), std::string("No wait object"));
    QVERIFY(h.Shows("No wait object"));
    QVERIFY(h.Client.StatusTimeOut());

    h.Client.SetWait(&h.Wait);
    h.Client.SetHost("");
    QVERIFY(!h.Client.Mail());
    QCOMPARE(h.Client.ErrorMessage(), std::string("No host specified"));

    h.Client.SetHost("127.0.0.1");
    h.Client.SetPort("no-such-service-here");
    h.Shown.clear();
    QVERIFY(!h.Client.Open());
    QVERIFY(h.Client.ErrorMessage().find("no-such-service-here") != std::string::npos);
    QVERIFY(h.Shown.empty());

    // A name that does not resolve is told as such, naming the server (not in the socket layer's words).
    h.Client.SetHost("no-such-host.invalid");
    h.Client.SetPort("25");
    QVERIFY(!h.Client.Open());
    QCOMPARE(h.Client.ErrorMessage(), std::string("The server name 'no-such-host.invalid' was not found: check the "
                                                  "SMTP server's name and the network connection."));
    h.Client.SetHost("127.0.0.1");

    QTcpServer closed; // a port that was free a moment ago refuses the connection
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const QString port = QString::number(closed.serverPort());
    closed.close();
    h.Client.SetPort(port.toStdString());
    QVERIFY(!h.Client.Open());
    QCOMPARE(h.Client.ErrorMessage(), std::string("Can't connect to host '127.0.0.1': Connection refused"));
    QCOMPARE(h.Client.State(), smtpDisconnected);
    QVERIFY(!h.Client.StatusTimeOut());
    QCOMPARE(h.Client.LastResponse(), std::string());
}

void TestSmtpClient::bodyFeedEndsAndHeaderHandler() {
    ScriptedServer server;
    Harness h(server.PortText());
    h.Client.RcptName() = {"", "x@example.org"};
    h.Client.SetHdrcc("Copy <copy@example.org>");
    std::vector<int> lineNums;
    h.Client.OnGetData = [&](TSmtpClient*, int lineNum, char* line, int maxLen, bool& more) {
        QCOMPARE(maxLen, 1023);
        QVERIFY(more);
        lineNums.push_back(lineNum);
        if (lineNum == 3)
            throw std::runtime_error("feed failed");
        qstrcpy(line, "ok");
    };
    h.Client.OnHeaderLine = [](TSmtpClient*, char* msg, int size) {
        QCOMPARE(size, 1024);
        if (qstrncmp(msg, "Cc:", 3) == 0)
            msg[0] = '\0';
    };
    QVERIFY(h.Client.Mail());
    QCOMPARE(lineNums, (std::vector<int>{1, 2, 3}));
    QCOMPARE(server.Commands().mid(1, 3),
             (QList<QByteArray>{"MAIL FROM:<sender@example.org>", "RCPT TO:<>", "RCPT TO:<x@example.org>"}));
    QCOMPARE(server.DataLines().size(), 8 + 1 + 2); // the Cc line suppressed, a blank line, two body lines

    // No recipients and no feed: no RCPT, and an empty body still ends with the dot.
    h.Client.RcptName().clear();
    h.Client.OnGetData = nullptr;
    h.Client.OnHeaderLine = nullptr;
    h.Client.SetHdrcc("");
    QVERIFY(h.Client.Mail());
    QCOMPARE(Verbs(server.Commands().mid(5)), (QList<QByteArray>{"MAIL", "DATA"}));
    QCOMPARE(Masked(server.DataLines().mid(11).join("\r\n") + "\r\n"), Headers());
}

void TestSmtpClient::pendingMessagesRunDuringALongBody() {
    // Between two waits the window must stay alive: a message queued when the body starts is dispatched while
    // the body is still being fed, not only at the wait for the final reply.
    ScriptedServer server;
    Harness h(server.PortText());
    constexpr int FeedCap = 300000;
    int current = 0;
    int dispatchedAt = 0;
    h.Client.OnGetData = [&](TSmtpClient*, int lineNum, char* line, int, bool& more) {
        current = lineNum;
        if (lineNum == 1)
            QTimer::singleShot(0, [&] { dispatchedAt = current; });
        if (dispatchedAt != 0 || lineNum > FeedCap) {
            more = false;
            return;
        }
        qstrcpy(line, "body line");
    };
    QVERIFY(h.Client.Mail());
    QVERIFY2(dispatchedAt > 0 && dispatchedAt <= FeedCap, std::to_string(dispatchedAt).c_str());
}

// No wire line over 998: a subject without blanks goes out as encoded-words, a long body line quoted-printable.
void TestSmtpClient::headerValueLongerThanTheBufferIsCut() {
    SmtpSink sink;
    QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
    Harness h(sink.PortText());
    h.Client.SetHdrSubject(std::string(5000, 's'));
    QVERIFY(h.Mail({std::string(1023, 'b'), "short"}));
    const TParsedMail mail = ParseMails({sink.Read(1).Content}).value(0);
    QCOMPARE(QStringList({mail.Subject, mail.Body, mail.TransferEncoding, mail.Defects}),
             QStringList({QString(1023 - 9, 's'), QString(1023, 'b') + "\nshort\n", "quoted-printable", ""}));
    QVERIFY2(mail.LongestLine <= 998, qPrintable(QString::number(mail.LongestLine)));
}

// An address value is never cut: a long display name is encoded, the address goes whole, and no line on the wire
// is longer than 998 octets, whatever the value holds.
void TestSmtpClient::addressHeadersStayWholeAndUnderTheLimit() {
    Harness h("25");
    const std::string address = std::string(242, 'a') + "@example.org";
    std::string euros;
    for (int i = 0; i < 253; ++i)
        euros += "\u20ac";
    for (const std::string& to : {"\"" + euros + "\" <" + address + ">", std::string(1100, 'b')}) {
        h.Client.SetHdrTo(to);
        const std::vector<std::string> lines = h.Client.MessageLines();
        for (const std::string& line : lines) {
            QVERIFY2(line.size() <= 998, std::to_string(line.size()).c_str());
            QVERIFY(std::all_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 128; }));
        }
        const std::string read = Mime::ReadableMessage(lines)[1];
        if (to.front() == '"')
            QCOMPARE(read, "To: " + euros + " <" + address + ">");
        else
            QCOMPARE(std::count(read.begin(), read.end(), 'b'), 1100);
    }
}

void TestSmtpClient::eightBitMimeAsOffered_data() {
    QTest::addColumn<bool>("offered");
    QTest::newRow("offered") << true;
    QTest::newRow("not offered") << false;
}

// An 8-bit body goes as it is, with BODY=8BITMIME, only to a server that offered 8BITMIME.
void TestSmtpClient::eightBitMimeAsOffered() {
    QFETCH(bool, offered);
    ScriptedServer server;
    server.SetReply("EHLO", ScriptedServer::Send(offered ? "250-scripted\r\n250 8BITMIME\r\n" : "250 scripted\r\n"));
    Harness h(server.PortText());
    h.Client.SetExtended(true);
    QVERIFY2(h.Mail({"Gr\u00fc\u00dfe"}), h.Client.ErrorMessage().c_str());
    QCOMPARE(server.Commands().value(1),
             offered ? "MAIL FROM:<sender@example.org> BODY=8BITMIME" : "MAIL FROM:<sender@example.org>");
    QVERIFY(server.DataLines().contains(offered ? "Content-Transfer-Encoding: 8bit"
                                                : "Content-Transfer-Encoding: quoted-printable"));
    QCOMPARE(server.DataLines().contains("Gr\xfc\xdf" "e"), offered); // iso-8859-1, the narrowest charset
}

void TestSmtpClient::smtpUtf8AsOffered_data() {
    QTest::addColumn<bool>("offered");
    QTest::addColumn<QString>("recipient");
    QTest::addColumn<QString>("mail"); // the MAIL command; empty: the message is not sent
    QTest::newRow("ascii") << false << "rcpt@example.org"
                           << "MAIL FROM:<sender@example.org>";
    QTest::newRow("offered") << true << QStringLiteral("müller@beispiel.de")
                             << "MAIL FROM:<sender@example.org> BODY=8BITMIME SMTPUTF8";
    QTest::newRow("not offered") << false << QStringLiteral("müller@beispiel.de") << "";
}

// An address with letters beyond ASCII goes with SMTPUTF8 to a server that offered it, else not at all.
void TestSmtpClient::smtpUtf8AsOffered() {
    QFETCH(bool, offered);
    QFETCH(QString, recipient);
    QFETCH(QString, mail);
    ScriptedServer server;
    server.SetReply("EHLO", ScriptedServer::Send(offered ? "250-scripted\r\n250-8BITMIME\r\n250 SMTPUTF8\r\n"
                                                         : "250 scripted\r\n"));
    Harness h(server.PortText());
    h.Client.SetExtended(true);
    h.Client.RcptName() = {recipient.toStdString()};
    QCOMPARE(h.Mail({"Hi"}), !mail.isEmpty());
    if (mail.isEmpty()) {
        QVERIFY2(h.Client.ErrorMessage().find("SMTPUTF8") != std::string::npos, h.Client.ErrorMessage().c_str());
        for (const QByteArray& command : server.Commands())
            QVERIFY2(!command.startsWith("MAIL") && !command.startsWith("RCPT"), command.constData());
    } else {
        QCOMPARE(QString::fromUtf8(server.Commands().value(1)), mail);
    }
}

void TestSmtpClient::anyLanguageReachesTheReader_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("charset");
    QTest::newRow("latin-1, quoted name") << QStringLiteral("Müller, Zoë") << QStringLiteral("Grüße aus München")
                                          << QStringLiteral("Schöne Grüße, = 100%") << "iso-8859-1";
    QTest::newRow("ascii name, greek body") << QStringLiteral("Anna, \"the\" Berg") << QStringLiteral("News")
                                            << QStringLiteral("Καλημέρα κόσμε") << "utf-8";
    QTest::newRow("cjk, long subject") << QStringLiteral("東京 太郎") << QString(120, QChar(0x65E5))
                                       << QStringLiteral("こんにちは") << "utf-8";
}

// Names, subject, organisation and body reach a reader as the exact text, in the narrowest charset.
void TestSmtpClient::anyLanguageReachesTheReader() {
    QFETCH(QString, name);
    QFETCH(QString, subject);
    QFETCH(QString, body);
    QFETCH(QString, charset);
    SmtpSink sink;
    QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
    Harness h(sink.PortText());
    h.Client.SetHdrTo(MessageText::Mailbox(name.toStdString(), "rcpt@example.org"));
    h.Client.SetHdrFrom(MessageText::Mailbox(name.toStdString(), "sender@example.org"));
    h.Client.SetHdrSubject(subject.toStdString());
    TMailMessage message = h.Client.PropertyMessage();
    message.Fields = {{"Organization", name.toStdString()}};
    h.Body = {body.toStdString(), "-- ", "x"};
    QVERIFY(h.Client.Mail(message));
    const TParsedMail m = ParseMails({sink.Read(1).Content}).value(0);
    QCOMPARE(QStringList({m.Defects, m.ToName, m.ToAddress, m.FromName, m.Organization, m.Subject, m.Body, m.Charset,
                          m.TransferEncoding}),
             QStringList({"", name, "rcpt@example.org", name, name, subject, body + "\n-- \nx\n", charset,
                          "quoted-printable"}));
    QVERIFY(m.LongestLine <= 998);
}

void TestSmtpClient::serverClosesAfterMessages_data() {
    QTest::addColumn<QString>("close");
    QTest::addColumn<QList<bool>>("sent");
    QTest::newRow("when the next MAIL comes") << "at next MAIL" << QList<bool>{true, true, true};
    QTest::newRow("421 to the next MAIL") << "421 at next MAIL" << QList<bool>{true, true, true};
    QTest::newRow("on every MAIL but the first") << "every MAIL" << QList<bool>{true, false};
}

// A server closing after each message (its close reaching the kernel while the next transaction starts): a
// message nothing of which was taken goes again, once, on a new connection.
void TestSmtpClient::serverClosesAfterMessages() {
    QFETCH(QString, close);
    QFETCH(QList<bool>, sent);
    const std::string how = close.toStdString();
    ThreadedPeer peer([how](const ThreadedPeer::Command& command) {
        using R = ThreadedPeer::Reply;
        const bool used = command.Messages > 0 || command.Connection > 0;
        if (command.Verb == "MAIL" && (how == "every MAIL" ? used : command.Messages > 0))
            return how == "421 at next MAIL" ? R::Say("421 closing\r\n").Then(R::End::Close) : R{{}, R::End::Close};
        return R::Say(command.Verb.empty() ? "220 ready\r\n" : command.Verb == "DATA" ? "354 go\r\n" : "250 ok\r\n");
    });
    Harness h(peer.PortText());
    QList<bool> got;
    for (int i = 0; i < sent.size(); ++i) {
        got << h.Mail({"body"});
        QCOMPARE(h.Client.ErrorMessage().empty(), got.last());
    }
    QCOMPARE(got, sent);
    QCOMPARE(peer.Connections(), sent.size());
}

QTEST_MAIN(TestSmtpClient)
#include "tst_smtpclient.moc"
