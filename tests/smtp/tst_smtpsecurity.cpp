// The SMTP client's secure connections and logins against aiosmtpd with TLS (certificates made by openssl for the
// test), a scripted peer for EHLO refusals, and a peer on its own thread that never answers a handshake.
#include "smtp/SmtpAuth.h"
#include "smtp/SmtpCapabilities.h"
#include "smtp/SmtpClient.h"

#include "tests/servers/ScriptedServer.h"
#include "tests/servers/SmtpSink.h"
#include "tests/servers/TestCertificates.h"
#include "tests/servers/ThreadedPeer.h"

#include <QElapsedTimer>
#include <QtTest>

#include <algorithm>

Q_DECLARE_METATYPE(TSmtpSecurity)

namespace {

constexpr int TickMs = 50;
constexpr int TimeOutTicks = 100; // 5 s for replies and handshakes that do come

struct Harness {
    Harness(const QString& host, quint16 port, TSmtpSecurity security) {
        Wait.SetInterval(TickMs);
        Client.SetWait(&Wait);
        Client.SetHost(host.toStdString());
        Client.SetPort(std::to_string(port));
        Client.SetTimeOut(TimeOutTicks);
        Client.SetSecurity(security);
        Client.SetSignOn("tester.localhost");
        Client.SetFromName("sender@example.org");
        Client.RcptName() = {"rcpt@example.org"};
        Client.SetHdrFrom("sender@example.org");
        Client.SetHdrTo("rcpt@example.org");
        Client.SetHdrSubject("Secure");
        Client.OnDisplay = [this](TSmtpClient*, const std::string& msg) {
            Shown += QString::fromStdString(msg) + '\n';
        };
        Client.OnGetData = [this](TSmtpClient*, int lineNum, char* line, int, bool& more) {
            more = lineNum <= 2;
            qstrcpy(line, lineNum == 1 ? "first line" : ".dotted line");
        };
    }
    TWait Wait;
    TSmtpClient Client;
    QString Shown;
};

// The body as a recipient gets it, and as it went over the wire (dot-stuffed).
const QByteArray StoredBody = "first line\r\n.dotted line\r\n";
const QByteArray WireBody = "first line\r\n..dotted line\r\n";

// A message stored byte for byte: headers, and the body as stored and as it went over the wire.
void ExpectStored(const SmtpSink& sink) {
    const SmtpSink::Message stored = sink.Read(1);
    QVERIFY(stored.Content.startsWith("From: sender@example.org\r\nTo: rcpt@example.org\r\n"));
    QVERIFY(stored.Content.endsWith("\r\n\r\n" + StoredBody));
    QVERIFY(stored.Wire.endsWith("\r\n\r\n" + WireBody));
}

QStringList SinkOptions(const TestCertificates& certificates, const QString& security, const char* certificate) {
    return {"--security", security,
            "--cert",     certificates.Certificate(certificate),
            "--key",      certificates.Key(certificate)};
}

} // namespace

class TestSmtpSecurity : public QObject {
    Q_OBJECT

private:
    TestCertificates FCertificates;

private slots:
    void initTestCase() { QVERIFY2(FCertificates.Make(), qPrintable(FCertificates.ErrorText())); }

    void certificates_data() {
        QTest::addColumn<QString>("security");
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("trusted");
        QTest::addColumn<QString>("error");
        const QString ca = FCertificates.Ca();
        const QString self = FCertificates.Certificate(TestCertificates::SelfSigned);
        const auto row = [](const char* name, const char* security, const char* certificate, const char* host,
                            const QString& trusted, const char* error) {
            QTest::newRow(name) << QString(security) << QString(certificate) << QString(host) << trusted
                                << QString(error);
        };
        row("unknown authority", "starttls", "good", "localhost", "",
            "The server's certificate was not issued by a trusted authority");
        row("self-signed", "starttls", "self", "127.0.0.1", ca,
            "The server's certificate is self-signed and not trusted");
        row("self-signed, trusted file", "tls", "self", "127.0.0.1", self, "");
        row("wrong name", "starttls", "other", "localhost", ca, "The server's certificate is not valid for localhost");
        row("wrong address", "tls", "other", "127.0.0.1", ca, "The server's certificate is not valid for 127.0.0.1");
        row("expired", "tls", "expired", "localhost", ca, "The server's certificate has expired");
    }

    // Each certificate fault gives its own sentence; a trusted one carries the message. (The CA-signed certificate
    // carries the whole runs of logins.)
    void certificates() {
        QFETCH(QString, security);
        QFETCH(QString, certificate);
        QFETCH(QString, host);
        QFETCH(QString, trusted);
        QFETCH(QString, error);
        SmtpSink sink;
        sink.SetOptions(SinkOptions(FCertificates, security, certificate.toLatin1().constData()));
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        Harness h(host, sink.Port(), security == "tls" ? TSmtpSecurity::Tls : TSmtpSecurity::StartTls);
        h.Client.SetTrustedCertificate(trusted.toStdString());
        const bool sent = h.Client.Mail();
        QCOMPARE(QString::fromStdString(h.Client.ErrorMessage()), error);
        QCOMPARE(sent, error.isEmpty());
        QCOMPARE(h.Client.SecurityFailure(), !error.isEmpty());
        if (sent) {
            QVERIFY(h.Client.Encrypted());
            ExpectStored(sink);
        } else {
            QCOMPARE(h.Client.State(), smtpDisconnected);
            QCOMPARE(sink.Count(), 0);
        }
        h.Client.Quit();
    }

    // SSL/TLS chosen for a port where the server greets in clear text.
    void implicitTlsToPlainServer() {
        SmtpSink sink;
        QVERIFY(sink.Start());
        Harness h("127.0.0.1", sink.Port(), TSmtpSecurity::Tls);
        QVERIFY(!h.Client.Open());
        QCOMPARE(h.Client.ErrorMessage(),
                 std::string("The server does not speak TLS on this port (choose STARTTLS, or the port for SSL/TLS)"));
    }

    void startTlsNotOffered() {
        SmtpSink sink;
        QVERIFY(sink.Start());
        Harness h("127.0.0.1", sink.Port(), TSmtpSecurity::StartTls);
        QVERIFY(!h.Client.Open());
        QCOMPARE(h.Client.ErrorMessage(), std::string("The server does not offer STARTTLS"));
        QVERIFY(h.Client.SecurityFailure());
        QVERIFY(!h.Shown.contains("> MAIL"));
    }

    void logins_data() {
        QTest::addColumn<TSmtpSecurity>("security");
        QTest::addColumn<QString>("excluded");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("attempt");
        QTest::addColumn<QString>("error");
        const auto row = [](const char* name, TSmtpSecurity security, const char* excluded, const char* password,
                            const char* attempt, const char* error) {
            QTest::newRow(name) << security << QString(excluded) << QString(password) << QString(attempt)
                                << QString(error);
        };
        row("STARTTLS + PLAIN", TSmtpSecurity::StartTls, "", "s3cret", "anna PLAIN ok", "");
        row("TLS + LOGIN", TSmtpSecurity::Tls, "PLAIN", "s3cret", "anna LOGIN ok", "");
        row("wrong password", TSmtpSecurity::StartTls, "", "guess", "anna PLAIN refused",
            "The server refused the user name or password: 535 5.7.8 Authentication credentials invalid");
    }

    // One attempt only, the password never shown, and the server's words in the refusal.
    void logins() {
        QFETCH(TSmtpSecurity, security);
        QFETCH(QString, excluded);
        QFETCH(QString, password);
        QFETCH(QString, attempt);
        QFETCH(QString, error);
        SmtpSink sink;
        QStringList options = SinkOptions(FCertificates, security == TSmtpSecurity::Tls ? "tls" : "starttls", "good");
        options += QStringList{"--user", "anna", "--password", "s3cret"};
        if (!excluded.isEmpty())
            options << "--exclude-auth" << excluded;
        sink.SetOptions(options);
        QVERIFY(sink.Start());
        Harness h("localhost", sink.Port(), security);
        h.Client.SetTrustedCertificate(FCertificates.Ca().toStdString());
        h.Client.SetUserName("anna");
        h.Client.SetPassword(password.toStdString());
        QCOMPARE(h.Client.Mail(), error.isEmpty());
        QCOMPARE(QString::fromStdString(h.Client.ErrorMessage()), error);
        QCOMPARE(sink.AuthAttempts(), QStringList{attempt});
        QCOMPARE(sink.Count(), error.isEmpty() ? 1 : 0);
        if (error.isEmpty())
            ExpectStored(sink);
        for (const QString& secret : {password, QString::fromStdString(SmtpAuth::Base64(password.toStdString())),
                                      QString::fromStdString(SmtpAuth::PlainResponse("anna", password.toStdString()))})
            QVERIFY2(!h.Shown.contains(secret), qPrintable(h.Shown));
        h.Client.Quit();
    }

    // Over clear text the password goes only when the user allowed it.
    void clearTextLogin() {
        SmtpSink sink;
        sink.SetOptions({"--user", "anna", "--password", "s3cret", "--auth-clear"});
        QVERIFY(sink.Start());
        Harness h("127.0.0.1", sink.Port(), TSmtpSecurity::None);
        h.Client.SetUserName("anna");
        h.Client.SetPassword("s3cret");
        QVERIFY(!h.Client.Open());
        QVERIFY(QString::fromStdString(h.Client.ErrorMessage()).startsWith("The connection is not encrypted"));
        QVERIFY(sink.AuthAttempts().isEmpty());
        QVERIFY(h.Shown.contains("> EHLO tester.localhost"));

        h.Client.SetAllowClearPassword(true);
        QVERIFY(h.Client.Mail());
        QCOMPARE(sink.AuthAttempts(), QStringList{"anna PLAIN ok"});
        h.Client.Quit();
    }

    void ehloRefused_data() {
        QTest::addColumn<TSmtpSecurity>("security");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QList<QByteArray>>("verbs");
        QTest::addColumn<QString>("error");
        const QList<QByteArray> fallBack{"EHLO", "HELO", "MAIL", "RCPT", "DATA"};
        QTest::newRow("502, nothing needs it") << TSmtpSecurity::None << QByteArray("502 no\r\n") << fallBack << "";
        QTest::newRow("502, STARTTLS needs it")
            << TSmtpSecurity::StartTls << QByteArray("502 no\r\n") << QList<QByteArray>{"EHLO"}
            << "The server does not support EHLO, which the secure connection or the login needs: 502 no";
        QTest::newRow("421 is no fall-back")
            << TSmtpSecurity::None << QByteArray("421 busy\r\n") << QList<QByteArray>{"EHLO"} << "421 busy";
        QTest::newRow("empty line") << TSmtpSecurity::None << QByteArray("\r\n") << QList<QByteArray>{"EHLO"}
                                    << "The server sent an empty line instead of a reply";
    }

    void ehloRefused() {
        QFETCH(TSmtpSecurity, security);
        QFETCH(QByteArray, reply);
        QFETCH(QList<QByteArray>, verbs);
        QFETCH(QString, error);
        ScriptedServer server;
        server.SetReply("EHLO", ScriptedServer::Send(reply));
        Harness h("127.0.0.1", server.Port(), security);
        h.Client.SetExtended(true);
        QCOMPARE(h.Client.Mail(), error.isEmpty());
        QCOMPARE(QString::fromStdString(h.Client.ErrorMessage()), error);
        QList<QByteArray> sent;
        for (const QByteArray& command : server.Commands())
            sent << command.split(' ').first();
        QCOMPARE(sent.mid(0, verbs.size()), verbs);
        QVERIFY(sent.size() == verbs.size() || error.isEmpty());
    }

    // A server that takes the connection and never answers the handshake: the wait ends by its timeout, or at
    // once when the connection is dropped from outside (the window's close box does that).
    void silentHandshake_data() {
        QTest::addColumn<bool>("abort");
        QTest::newRow("timeout") << false;
        QTest::newRow("dropped") << true;
    }

    void silentHandshake() {
        QFETCH(bool, abort);
        ThreadedPeer peer([](const ThreadedPeer::Command&) { return ThreadedPeer::Reply{}; });
        Harness h("127.0.0.1", static_cast<quint16>(peer.Port()), TSmtpSecurity::Tls);
        h.Client.SetTimeOut(abort ? 200 : 10); // 10 s against 0.5 s
        if (abort)
            QTimer::singleShot(300, &h.Client, [&h] { h.Client.Abort(); });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!h.Client.Open());
        QVERIFY(clock.elapsed() < 5000);
        QCOMPARE(h.Client.State(), smtpDisconnected);
        QVERIFY(h.Client.SecurityFailure());
        if (!abort)
            QCOMPARE(h.Client.ErrorMessage(), std::string("The server did not complete the secure connection in time"));
    }

    void capabilities() {
        TSmtpCapabilities capabilities;
        capabilities.Parse({"250-mail.example.org greets you", "250-8bitmime", "250-SIZE 35882577", "250-AUTH=LOGIN",
                            "250-AUTH plain login CRAM-MD5", "250 STARTTLS"});
        QVERIFY(capabilities.Has("8BITMIME"));
        QVERIFY(capabilities.Has("starttls"));
        QVERIFY(!capabilities.Has("MAIL.EXAMPLE.ORG"));
        QCOMPARE(capabilities.Params("SIZE"), std::vector<std::string>{"35882577"});
        QCOMPARE(capabilities.AuthMechanisms(), (std::vector<std::string>{"LOGIN", "PLAIN", "CRAM-MD5"}));
    }

    // Without encryption a challenge keeps the password off the wire; a mechanism the client lacks is never chosen.
    // (Under TLS the logins above choose PLAIN, and LOGIN when PLAIN is not offered.)
    void mechanisms() {
        QCOMPARE(SmtpAuth::Name(SmtpAuth::Choose({"LOGIN", "PLAIN", "CRAM-MD5"}, false)), "CRAM-MD5");
        QCOMPARE(SmtpAuth::Name(SmtpAuth::Choose({"XOAUTH2", "GSSAPI"}, true)), "");
    }

    // The examples of RFC 4616 and RFC 2195.
    void saslResponses() {
        QCOMPARE(SmtpAuth::PlainResponse("tim", "tanstaaftanstaaf"), std::string("AHRpbQB0YW5zdGFhZnRhbnN0YWFm"));
        QCOMPARE(SmtpAuth::CramMd5Response("tim", "tanstaaftanstaaf",
                                           "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+"),
                 std::string("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw"));
    }
};

QTEST_MAIN(TestSmtpSecurity)
#include "tst_smtpsecurity.moc"
