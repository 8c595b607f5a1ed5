// Secure sessions against an OpenSSL server on its own thread: which names a certificate is valid for, session
// resumption and close_notify, refused renegotiation, and the words for an outdated server and a broken record.
#include "tests/net/TlsPeer.h"
#include "tests/servers/TestCertificates.h"
#include "tests/smtp/Harness.h"

#include <QtTest>

using TVersion = TlsPeer::Options::TVersion;

class TestSmtpTls : public QObject {
    Q_OBJECT

    TestCertificates FCertificates;

    TlsPeer::Options Serving(const char* certificate) const {
        TlsPeer::Options options;
        options.Certificate = FCertificates.Certificate(certificate).toStdString();
        options.Key = FCertificates.Key(certificate).toStdString();
        return options;
    }

    // A client for the peer with TLS from the first byte, trusting the test CA.
    static void Prepare(Harness& h, const QString& ca) {
        h.Client.SetTrustedCertificate(ca.toStdString());
        h.Client.SetExtended(true);
    }

private slots:
    void initTestCase() { QVERIFY2(FCertificates.Make(), qPrintable(FCertificates.ErrorText())); }

    void hostNames_data() {
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("valid");
        QTest::newRow("final dot") << TestCertificates::Good << "localhost." << true;
        QTest::newRow("whole-label wildcard") << TestCertificates::Wildcard << "mail.example.org" << true;
        QTest::newRow("partial wildcard") << TestCertificates::Partial << "mail.example.org" << false;
        QTest::newRow("name only in the subject") << TestCertificates::CnOnly << "mail.example.org" << false;
    }

    // RFC 9525: the alternative names alone count, a wildcard stands for a whole label; a final dot is no part of
    // the name.
    void hostNames() {
        QFETCH(QString, certificate);
        QFETCH(QString, host);
        QFETCH(bool, valid);
        TlsPeer peer(Serving(qPrintable(certificate)));
        TWait wait;
        wait.SetInterval(20);
        TAsyncSocket socket;
        socket.SetWaitCtrl(&wait);
        socket.SetPort(std::to_string(peer.Port()));
        socket.SetAddr("127.0.0.1");
        socket.Connect();
        QVERIFY(socket.Wait(100, wsConnected));
        socket.StartTls(host.toStdString(), FCertificates.Ca().toStdString());
        QCOMPARE(socket.WaitTls(100), valid);
        const std::string expected = valid ? "" : "The server's certificate is not valid for " + host.toStdString();
        QCOMPARE(socket.TlsError(), expected);
    }

    // The second connection of a client resumes the first one's session, and each QUIT ends its session with
    // close_notify.
    void resumptionAndCloseNotify() {
        TlsPeer peer(Serving(TestCertificates::Good));
        Harness h(QString::number(peer.Port()), "127.0.0.1", TSmtpSecurity::Tls);
        Prepare(h, FCertificates.Ca());
        for (int i = 0; i < 2; ++i) {
            QVERIFY2(h.Client.Open(), h.Client.ErrorMessage().c_str());
            h.Client.Quit();
        }
        QTRY_COMPARE(peer.CloseNotifies(), 2);
        QCOMPARE(peer.Handshakes(), 2);
        QCOMPARE(peer.Resumed(), 1);
    }

    void renegotiationRefused() {
        TlsPeer::Options options = Serving(TestCertificates::Good);
        options.MaxVersion = TVersion::Tls12;
        options.Renegotiate = true;
        TlsPeer peer(options);
        Harness h(QString::number(peer.Port()), "127.0.0.1", TSmtpSecurity::Tls);
        Prepare(h, FCertificates.Ca());
        QVERIFY(!h.Client.Open());
        QTRY_COMPARE(peer.RenegotiationsRefused(), 1);
        QCOMPARE(peer.Renegotiated(), 0);
    }

    // Faults of the session in sentences a user understands, the technical detail after them.
    void sessionFaults_data() {
        QTest::addColumn<bool>("outdated");
        QTest::addColumn<QString>("error");
        QTest::newRow("TLS 1.1 server") << true
                                        << "The server offers only an outdated secure connection (TLS 1.1 or older), "
                                           "which is no longer safe; ask its administrator to enable TLS 1.2 or "
                                           "later (tlsv1 alert protocol version)";
        QTest::newRow("broken record") << false << "The secure connection broke: the server sent data that is not "
                                                   "valid TLS (decryption failed or bad record mac)";
    }

    void sessionFaults() {
        QFETCH(bool, outdated);
        QFETCH(QString, error);
        TlsPeer::Options options = Serving(TestCertificates::Good);
        options.MaxVersion = outdated ? TVersion::Tls11 : TVersion::Any;
        options.BreakOn = "MAIL";
        TlsPeer peer(options);
        Harness h(QString::number(peer.Port()), "127.0.0.1", TSmtpSecurity::Tls);
        Prepare(h, FCertificates.Ca());
        QVERIFY(!h.Mail({"text"}));
        QCOMPARE(QString::fromStdString(h.Client.ErrorMessage()), error);
    }
};

QTEST_MAIN(TestSmtpTls)
#include "tst_smtptls.moc"
