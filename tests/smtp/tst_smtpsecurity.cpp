// The SMTP client's secure connections and logins against aiosmtpd with TLS (certificates made by openssl for the
// test), a scripted peer for EHLO refusals, and a peer on its own thread that never answers a handshake.
#include "smtp/SmtpAuth.h"
#include "smtp/SmtpCapabilities.h"

#include "tests/servers/ScriptedServer.h"
#include "tests/servers/SmtpSink.h"
#include "tests/servers/TestCertificates.h"
#include "tests/servers/ThreadedPeer.h"
#include "tests/smtp/Harness.h"

#include <QElapsedTimer>
#include <QtTest>

#include <numeric>

Q_DECLARE_METATYPE(TSmtpSecurity)

namespace {

// Sends a body with a line that is dot-stuffed on the wire; the sink must keep it byte for byte.
void MailAndCheck(Harness& h, const SmtpSink& sink) {
    QVERIFY2(h.Mail({"first line", ".dotted line"}), h.Client.ErrorMessage().c_str());
    QVERIFY(h.Client.ErrorMessage().empty() && !h.Client.SecurityFailure());
    QCOMPARE(h.Client.Encrypted(), h.Client.Security() != TSmtpSecurity::None);
    const SmtpSink::Message stored = sink.Read(1);
    QCOMPARE(Masked(stored.Content), Headers() + "first line\r\n.dotted line\r\n");
    QCOMPARE(Masked(stored.Wire), Headers() + "first line\r\n..dotted line\r\n");
}

TSmtpSecurity Security(const QString& name) {
    return name == "tls" ? TSmtpSecurity::Tls : name == "starttls" ? TSmtpSecurity::StartTls : TSmtpSecurity::None;
}

} // namespace

class TestSmtpSecurity : public QObject {
    Q_OBJECT

    TestCertificates FCertificates;

    // Options for a sink with TLS in the given form and certificate; none (clear text) without either.
    QStringList Tls(const QString& security, const QString& certificate) const {
        if (certificate.isEmpty() || Security(security) == TSmtpSecurity::None)
            return {};
        return {"--security", security,
                "--cert",     FCertificates.Certificate(qPrintable(certificate)),
                "--key",      FCertificates.Key(qPrintable(certificate))};
    }

private slots:
    void initTestCase() { QVERIFY2(FCertificates.Make(), qPrintable(FCertificates.ErrorText())); }

    void connections_data() {
        for (const char* column : {"security", "certificate", "host", "trusted", "password", "excluded", "error"})
            QTest::addColumn<QString>(column);
        QTest::addColumn<QStringList>("attempts");
        const QString ca = FCertificates.Ca();
        const auto row = [](const char* name, const char* security, const char* certificate, const char* host,
                            const QString& trusted, const char* password, const char* excluded,
                            const QStringList& attempts, const char* error) {
            QTest::newRow(name) << QString(security) << QString(certificate) << QString(host) << trusted
                                << QString(password) << QString(excluded) << QString(error) << attempts;
        };
        row("unknown authority", "starttls", "good", "localhost", "", "", "", {},
            "The server's certificate was not issued by a trusted authority");
        row("self-signed", "starttls", "self", "127.0.0.1", ca, "", "", {},
            "The server's certificate is self-signed and not trusted");
        row("self-signed, trusted file", "tls", "self", "127.0.0.1",
            FCertificates.Certificate(TestCertificates::SelfSigned), "", "", {}, "");
        row("wrong name", "starttls", "other", "localhost", ca, "", "", {},
            "The server's certificate is not valid for localhost");
        row("wrong address", "tls", "other", "127.0.0.1", ca, "", "", {},
            "The server's certificate is not valid for 127.0.0.1");
        row("expired", "tls", "expired", "localhost", ca, "", "", {}, "The server's certificate has expired");
        row("TLS to a clear-text port", "tls", "", "127.0.0.1", "", "", "", {},
            "The server does not speak TLS on this port (choose STARTTLS, or the port for SSL/TLS)");
        row("STARTTLS not offered", "starttls", "", "127.0.0.1", "", "", "", {}, "The server does not offer STARTTLS");
        row("STARTTLS + PLAIN", "starttls", "good", "localhost", ca, "s3cret", "", {"anna PLAIN ok"}, "");
        row("TLS + LOGIN", "tls", "good", "localhost", ca, "s3cret", "PLAIN", {"anna LOGIN ok"}, "");
        row("wrong password", "starttls", "good", "localhost", ca, "guess", "", {"anna PLAIN refused"},
            "The server refused the user name or password: 535 5.7.8 Authentication credentials invalid");
        row("clear text, not allowed", "none", "", "localhost", "", "s3cret", "", {},
            "The connection is not encrypted, so the password was not sent (choose STARTTLS or SSL/TLS, or allow the "
            "password over an unencrypted connection)");
        row("clear text, allowed", "allow clear", "", "localhost", "", "s3cret", "", {"anna PLAIN ok"}, "");
    }

    // Each certificate or login fault gives its own sentence and sends nothing; a login is tried once, over clear
    // text only when the user allowed it, and the password is never shown.
    void connections() {
        QFETCH(QString, security);
        QFETCH(QString, certificate);
        QFETCH(QString, host);
        QFETCH(QString, trusted);
        QFETCH(QString, password);
        QFETCH(QString, excluded);
        QFETCH(QString, error);
        QFETCH(QStringList, attempts);
        SmtpSink sink;
        QStringList options = Tls(security, certificate);
        if (!password.isEmpty())
            options += QStringList{"--user", "anna", "--password", "s3cret", "--auth-clear"};
        if (!excluded.isEmpty())
            options += QStringList{"--exclude-auth", excluded};
        sink.SetOptions(options);
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        Harness h(sink.PortText(), host.toStdString(), Security(security));
        h.Client.SetTrustedCertificate(trusted.toStdString());
        h.Client.SetAllowClearPassword(security == "allow clear");
        h.Client.SetUserName(password.isEmpty() ? "" : "anna");
        h.Client.SetPassword(password.toStdString());
        if (error.isEmpty()) {
            MailAndCheck(h, sink);
        } else {
            QVERIFY(!h.Mail({"text"}));
            QCOMPARE(QString::fromStdString(h.Client.ErrorMessage()), error);
            QVERIFY(h.Client.SecurityFailure());
            QCOMPARE(h.Client.State(), smtpDisconnected);
            QCOMPARE(sink.Count(), 0);
        }
        QCOMPARE(sink.AuthAttempts(), attempts);
        const std::string pass = password.toStdString();
        const QString shown = QString::fromStdString(std::accumulate(h.Shown.begin(), h.Shown.end(), std::string()));
        for (const std::string& secret : {pass, SmtpAuth::Base64(pass), SmtpAuth::PlainResponse("anna", pass)})
            QVERIFY2(pass.empty() || !shown.contains(QString::fromStdString(secret)), qPrintable(shown));
    }

    // An empty line in reply to EHLO is any bad reply (multiLineAndOddReplies of tst_smtpclient).
    void ehloRefused_data() {
        QTest::addColumn<QString>("security");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArrayList>("verbs");
        QTest::addColumn<QString>("error");
        QTest::newRow("502, nothing needs it")
            << "none" << QByteArray("502 no\r\n") << QByteArrayList{"EHLO", "HELO", "MAIL", "RCPT", "DATA"} << "";
        QTest::newRow("502, STARTTLS needs it")
            << "starttls" << QByteArray("502 no\r\n") << QByteArrayList{"EHLO"}
            << "The server does not support EHLO, which the secure connection or the login needs: 502 no";
        QTest::newRow("421 is no fall-back")
            << "none" << QByteArray("421 busy\r\n") << QByteArrayList{"EHLO"} << "421 busy";
    }

    void ehloRefused() {
        QFETCH(QString, security);
        QFETCH(QByteArray, reply);
        QFETCH(QByteArrayList, verbs);
        QFETCH(QString, error);
        ScriptedServer server;
        server.SetReply("EHLO", ScriptedServer::Send(reply));
        Harness h(server.PortText(), "127.0.0.1", Security(security));
        h.Client.SetExtended(true);
        QCOMPARE(h.Client.Mail(), error.isEmpty());
        QCOMPARE(QString::fromStdString(h.Client.ErrorMessage()), error);
        QByteArrayList sent;
        for (const QByteArray& command : server.Commands())
            sent << command.split(' ').first();
        QCOMPARE(sent.mid(0, error.isEmpty() ? verbs.size() : sent.size()), verbs);
    }

    // A server that never answers the handshake: the wait ends by its timeout, or at once when the connection is
    // dropped from outside (the window's close box does that).
    void silentHandshake_data() {
        QTest::addColumn<bool>("abort");
        QTest::newRow("timeout") << false;
        QTest::newRow("dropped") << true;
    }

    void silentHandshake() {
        QFETCH(bool, abort);
        ThreadedPeer peer([](const ThreadedPeer::Command&) { return ThreadedPeer::Reply{}; });
        Harness h(peer.PortText(), "127.0.0.1", TSmtpSecurity::Tls);
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

    // Replies nobody asked for, where the client switches what a byte means: after the 220 to STARTTLS (in the
    // same send, or later but before the handshake), after the login's 235 and after DATA's 354. None is ever
    // read as a reply, and no message counts as sent. Refusals and an unreadable challenge get their own words.
    void repliesNobodyAskedFor_data() {
        QTest::addColumn<QString>("security");
        QTest::addColumn<QString>("ehlo");
        QTest::addColumn<QString>("verb");
        QTest::addColumn<QStringList>("segments");
        QTest::addColumn<QString>("error");
        const QString tls = "The server sent data before the secure connection started; the connection was closed "
                            "for safety.";
        QTest::newRow("injected after the 220, one send")
            << "starttls" << "STARTTLS" << "STARTTLS"
            << QStringList{"220 go ahead\r\n250 a\r\n250 b\r\n250 c\r\n354 d\r\n"} << tls;
        QTest::newRow("clear text after the 220") << "starttls" << "STARTTLS" << "STARTTLS"
                                                   << QStringList{"220 go ahead\r\n", "250 a\r\n"} << tls;
        QTest::newRow("454 to STARTTLS")
            << "starttls" << "STARTTLS" << "STARTTLS" << QStringList{"454 4.7.0 TLS not available\r\n"}
            << "The server cannot start a secure connection at the moment; try again later, or ask its "
               "administrator: 454 4.7.0 TLS not available";
        QTest::newRow("after the 235") << "login" << "AUTH PLAIN" << "AUTH" << QStringList{"235 ok\r\n250 a\r\n"}
                                       << "The server sent more than its reply to the login; the connection was "
                                          "closed for safety.";
        QTest::newRow("after the 354") << "none" << "HELP" << "DATA" << QStringList{"354 go\r\n250 a\r\n"}
                                       << "The server sent more than its reply to DATA; the connection was closed "
                                          "for safety and the message was not sent.";
        QTest::newRow("CRAM-MD5 challenge not base64")
            << "login" << "AUTH CRAM-MD5" << "AUTH" << QStringList{"334 @@not base64@@\r\n"}
            << "The server's login challenge is not valid, so the login was cancelled: 501 5.7.0 cancelled";
    }

    void repliesNobodyAskedFor() {
        QFETCH(QString, security);
        QFETCH(QString, ehlo);
        QFETCH(QString, verb);
        QFETCH(QStringList, segments);
        QFETCH(QString, error);
        ThreadedPeer::Reply scripted;
        for (const QString& segment : segments) // each segment is one send; the second comes 100 ms later
            scripted.Segments.push_back({scripted.Segments.empty() ? 0 : 100, segment.toStdString()});
        const std::string extensions = "250-peer\r\n250 " + ehlo.toStdString() + "\r\n";
        ThreadedPeer peer([&](const ThreadedPeer::Command& command) {
            if (command.Verb == verb.toStdString())
                return scripted;
            if (command.Verb.empty())
                return ThreadedPeer::Reply::Say("220 peer\r\n");
            if (command.Verb == "EHLO")
                return ThreadedPeer::Reply::Say(extensions);
            if (command.Verb == "*")
                return ThreadedPeer::Reply::Say("501 5.7.0 cancelled\r\n");
            return ThreadedPeer::Reply::Say(command.Verb == "DATA" ? "354 go\r\n" : "250 ok\r\n");
        });
        Harness h(peer.PortText(), "127.0.0.1", Security(security));
        h.Client.SetExtended(true);
        if (security == "login") {
            h.Client.SetUserName("anna");
            h.Client.SetPassword("s3cret");
            h.Client.SetAllowClearPassword(true);
        }
        QVERIFY(!h.Mail({"text"}));
        QCOMPARE(QString::fromStdString(h.Client.ErrorMessage()), error);
        QCOMPARE(h.Client.State(), smtpDisconnected);
        QVERIFY(!h.Client.Unconfirmed());
        const std::vector<std::string> commands = peer.Commands();
        QVERIFY(std::find(commands.begin(), commands.end(), ".") == commands.end());
        QCOMPARE(std::find(commands.begin(), commands.end(), "*") != commands.end(), ehlo == "AUTH CRAM-MD5");
    }

    // Keywords in any case, AUTH in both forms; without encryption a challenge keeps the password off the wire,
    // and a mechanism the client lacks is never chosen. (Under TLS the logins above choose PLAIN or LOGIN.)
    void capabilitiesAndMechanisms() {
        TSmtpCapabilities capabilities;
        capabilities.Parse({"250-mail.example.org greets you", "250-8bitmime", "250-SIZE 35882577", "250-AUTH=LOGIN",
                            "250-AUTH plain login CRAM-MD5", "250 STARTTLS"});
        QVERIFY(capabilities.Has("8BITMIME") && capabilities.Has("starttls") && !capabilities.Has("MAIL.EXAMPLE.ORG"));
        QCOMPARE(capabilities.Params("SIZE"), std::vector<std::string>{"35882577"});
        QCOMPARE(capabilities.AuthMechanisms(), (std::vector<std::string>{"LOGIN", "PLAIN", "CRAM-MD5"}));
        QCOMPARE(SmtpAuth::Name(SmtpAuth::Choose({"LOGIN", "PLAIN", "CRAM-MD5"}, false)), "CRAM-MD5");
        QCOMPARE(SmtpAuth::Name(SmtpAuth::Choose({"XOAUTH2", "GSSAPI"}, true)), "");
    }

    // The examples of RFC 4616 and RFC 2195.
    void saslResponses() {
        QCOMPARE(SmtpAuth::PlainResponse("tim", "tanstaaftanstaaf"), std::string("AHRpbQB0YW5zdGFhZnRhbnN0YWFm"));
        QCOMPARE(SmtpAuth::CramMd5Response("tim", "tanstaaftanstaaf",
                                           "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+"),
                 std::string("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw"));
        QCOMPARE(SmtpAuth::CramMd5Response("tim", "tanstaaftanstaaf", "not base64!"), std::string("*"));
    }
};

QTEST_MAIN(TestSmtpSecurity)
#include "tst_smtpsecurity.moc"
