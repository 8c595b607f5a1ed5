// DKIM signatures over messages the composer builds, checked by an independent verifier (python3-dkim), and the
// sentences for keys and names that cannot sign.
#include "smtp/DkimError.h"
#include "smtp/DkimSigner.h"
#include "smtp/SmtpClient.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Keys made by openssl: the two that sign and the kinds of file a user may pick by mistake; one with two base64
// characters changed in d and dQ, which still loads and signs, wrongly.
const char* const MakeKeys = R"(set -e
cd "$1"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out rsa.pem
openssl genpkey -algorithm ED25519 -out ed25519.pem
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out short.pem
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ec.pem
openssl pkey -in rsa.pem -pubout -out public.pem
openssl genpkey -algorithm ED25519 -aes256 -pass pass:secret -out locked.pem
echo "not a key" > junk.pem
openssl pkey -in rsa.pem -traditional | awk 'NR == 12 || NR == 22 {
    c = substr($0, 10, 1); $0 = substr($0, 1, 9) (c == "A" ? "B" : "A") substr($0, 11) } 1' > damaged.pem
)";

// Verifies each message with the TXT record in the file beside it; prints "<file> pass|fail <reason>".
const char* const Verify = R"(
import dkim, sys
for path in sys.argv[1:]:
    lines = open(path + '.dns').read().splitlines()
    dns = lambda name, timeout=5: ''.join(lines[1:]).encode() if name == (lines[0] + '.').encode() else None
    try:
        ok, why = dkim.DKIM(open(path, 'rb').read(), minkey=2048).verify(dnsfunc=dns), ''
    except dkim.DKIMException as e:
        ok, why = False, str(e)
    print(path.rsplit('/', 1)[-1], 'pass' if ok else 'fail', why)
)";

// Added after the Subject line; List-Unsubscribe folded.
const std::string ListHeaders = "\r\nReply-To: office@example.org\r\nList-Id: Members' news <news.example.org>"
                                "\r\nList-Unsubscribe: <https://example.org/unsubscribe?e=j%2Bx%40example.net>,"
                                "\r\n <mailto:leave@example.org?subject=unsubscribe>"
                                "\r\nList-Unsubscribe-Post: List-Unsubscribe=One-Click";

struct TMessage {
    QString Name;
    std::string Subject;
    std::vector<std::string> Body;
    bool ListHeaders = false;
};

} // namespace

class TestDkim : public QObject {
    Q_OBJECT

    QTemporaryDir FDir;
    QString Key(const char* name) const { return FDir.filePath(name); }

    // The message as the composer builds it, signed and as it goes on the wire (without dot-stuffing).
    QByteArray Signed(const TDkimSigner& signer, const TMessage& message) {
        TSmtpClient client;
        client.SetFromName("news@example.org");
        client.SetHdrFrom("Newsletter <news@example.org>");
        client.SetHdrTo("Jürgen Groß <j@example.net>");
        client.SetHdrSubject(message.Subject);
        size_t next = 0;
        client.OnGetData = [&](TSmtpClient*, int, char* line, int maxLen, bool& more) {
            more = next < message.Body.size();
            qstrncpy(line, more ? message.Body[next++].c_str() : "", static_cast<size_t>(maxLen) + 1);
        };
        if (message.ListHeaders)
            client.OnHeaderLine = [](TSmtpClient*, char* msg, int size) {
                if (qstrncmp(msg, "Subject:", 8) == 0)
                    qstrncpy(msg, (msg + ListHeaders).c_str(), size_t(size));
            };
        const std::vector<std::string> lines = client.MessageLines();
        const auto blank = std::find(lines.begin(), lines.end(), std::string());
        const std::vector<std::string> header(lines.begin(), blank);
        QByteArray wire;
        signer.PutSigned(
            header, [&](const TDkimSigner::TLineSink& put) { std::for_each(blank + 1, lines.end(), put); },
            [&wire](std::string_view line) { wire.append(line.data(), qsizetype(line.size())).append("\r\n"); },
            std::time(nullptr));
        return wire;
    }

private slots:
    void initTestCase() {
        QProcess shell;
        shell.setProcessChannelMode(QProcess::MergedChannels);
        shell.start("/bin/sh", {"-c", MakeKeys, "sh", FDir.path()});
        QVERIFY2(shell.waitForFinished(60000) && shell.exitCode() == 0, shell.readAll().constData());
    }

    // What the check shows for a key or name that cannot sign; %1 is the key file.
    void keysAndNamesThatCannotSign_data() {
        QTest::addColumn<QString>("domain");
        QTest::addColumn<QString>("selector");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("sentence");
        const auto row = [](const char* tag, QString domain, QString selector, QString key, QString sentence) {
            QTest::newRow(tag) << domain << selector << key << sentence;
        };
        const auto keyRow = [&row](const char* key, const char* sentence) {
            row(key, "example.org", "s1", key, sentence);
        };
        keyRow("none.pem", "The DKIM key file %1 cannot be read: No such file or directory.");
        row("folder", "example.org", "s1", "", "The DKIM key file %1 cannot be read: Is a directory.");
        keyRow("short.pem", "The RSA key in %1 has 1024 bits; DKIM keys need at least 2048 bits, shorter ones are "
                            "ignored or distrusted.");
        keyRow("public.pem", "The file %1 holds a public key or certificate; DKIM signing needs the private key.");
        keyRow("junk.pem", "The file %1 is not a private key in PEM format.");
        keyRow("ec.pem", "The key in %1 is of type EC; DKIM signs with RSA (2048 bits or more) or Ed25519 keys.");
        keyRow("damaged.pem", "The DKIM key in %1 is damaged: its signatures do not match its own public key. Make a "
                              "new key.");
        keyRow("locked.pem", "The DKIM key file %1 is protected by a passphrase; signing needs the key without one.");
        const QString notDomain = "The DKIM domain \"%1\" is not a domain name: it needs labels of letters, digits "
                                  "and hyphens separated by dots, e.g. example.org (an international name in its "
                                  "xn-- form).";
        for (const char* domain : {"example", "exa_mple.org", "-x.example.org", "a..org", "bücher.de"})
            row(domain, domain, "s1", "rsa.pem", notDomain.arg(domain));
        row("no domain", "", "s1", "rsa.pem",
            "No DKIM domain is given: enter the domain of the From address, e.g. example.org.");
        row("selector", "example.org", "mail 2026", "rsa.pem",
            "The DKIM selector \"mail 2026\" is not a DNS name: use letters, digits and hyphens, e.g. mail2026.");
    }
    void keysAndNamesThatCannotSign() {
        QFETCH(QString, domain);
        QFETCH(QString, selector);
        QFETCH(QString, key);
        QFETCH(QString, sentence);
        try {
            TDkimSigner(domain.toStdString(), selector.toStdString(), Key(key.toUtf8()).toStdString());
            QFAIL("signer made");
        } catch (const EDkimError& e) {
            QCOMPARE(QString::fromStdString(e.Message()), sentence.replace("%1", Key(key.toUtf8())));
        }
    }

    // Every kind of body the composer sends verifies, for both key types; one altered body byte or a second
    // From does not.
    void independentVerifierAcceptsSignedMessages() {
        std::vector<std::string> big;
        for (int i = 0; big.size() < 20000; ++i)
            big.push_back("Line " + std::to_string(i) + ": tabs\tand  runs   of blanks, then a blank at the end ");
        const std::vector<TMessage> messages{
            {"ascii", "Hello", {"Dear Ann,", "  indented\t\tline  ", "", "Regards", "", "", ""}, true},
            {"latin1", "Grüße", {"Grüße aus Köln, Jürgen.", "Tschüß"}},
            {"utf8", "Цена", {"Цена: 50 €", "日本語のテキスト", "ok"}},
            {"subject", std::string(8, ' ') + "A long subject – " + std::string(160, 'x') + " with an ending", {"x"}},
            {"dots", "Dots", {".", "..two", ".hidden", "."}},
            {"empty", "Nothing", {}},
            {"big", "Over a mebibyte", big},
        };
        QStringList files;
        QStringList expected;
        for (const char* keyFile : {"rsa.pem", "ed25519.pem"}) {
            // A domain pasted from a zone file loses its blanks and trailing dot.
            const TDkimSigner signer(keyFile[0] == 'r' ? "example.org" : " example.org. ", "mail2026",
                                     Key(keyFile).toStdString());
            const TDkimDnsRecord record = signer.DnsRecord();
            for (const std::string& piece : record.Strings)
                QVERIFY(piece.size() <= 255);
            std::string dns = record.Name + "\n";
            for (const std::string& piece : record.Strings)
                dns += piece + "\n";
            const auto write = [&](const QString& name, const QByteArray& wire, bool pass) {
                const QString path = FDir.filePath(QString(keyFile) + "-" + name);
                QFile file(path), record(path + ".dns");
                QVERIFY(file.open(QIODevice::WriteOnly) && record.open(QIODevice::WriteOnly));
                file.write(wire);
                record.write(dns.c_str());
                files << path;
                expected << QString(keyFile) + "-" + name + (pass ? " pass" : " fail");
            };
            for (const TMessage& message : messages) {
                const QByteArray wire = Signed(signer, message);
                const QByteArray head = wire.left(wire.indexOf("\r\n\r\n"));
                for (const QByteArray& line : head.left(head.indexOf("\r\nFrom:")).split('\n'))
                    QVERIFY2(line.size() <= 79, line.constData()); // 78 and the CR
                const QByteArray signedFields =
                    "h=from:from:to:to:cc:subject:subject:date:date:message-id:message-id:mime-version:mime-version:"
                    "content-type:content-type:content-transfer-encoding:reply-to:reply-to:list-id:list-id:"
                    "list-unsubscribe:list-unsubscribe:list-unsubscribe-post:list-unsubscribe-post:list-help:"
                    "list-subscribe:list-post:list-owner:list-archive;";
                if (message.ListHeaders)
                    QVERIFY(QByteArray(head).replace("\r\n ", "").contains(signedFields));
                write(message.Name, wire, true);
                if (message.Name == "ascii") {
                    QByteArray altered = wire;
                    altered[altered.indexOf("Dear Ann") + 5] = 'a';
                    write("altered", altered, false);
                    write("secondfrom",
                          QByteArray(wire).insert(wire.indexOf("\r\nTo:") + 2, "From: Someone <evil@example.com>\r\n"),
                          false);
                    // Each field prepended to the header block, as a forwarder in the middle could.
                    for (const char* field : {"Subject: Your account is locked", "Reply-To: evil@example.com",
                                              "Cc: evil@example.com", "List-Unsubscribe-Post: List-Unsubscribe=No",
                                              "Date: Thu, 01 Jan 2026 00:00:00 +0000", "List-Post: <mailto:x@y.org>"})
                        write(QStringLiteral("prepended-%1").arg(QString(field).section(':', 0, 0)),
                              QByteArray(wire).insert(wire.indexOf("\r\nFrom:") + 2, QByteArray(field) + "\r\n"),
                              false);
                }
            }
        }
        QProcess python;
        python.start(qEnvironmentVariable("PYTHON", "/usr/bin/python3"), QStringList{"-c", Verify} + files);
        QVERIFY(python.waitForFinished(120000));
        const QString output = QString::fromUtf8(python.readAllStandardOutput() + python.readAllStandardError());
        QStringList results;
        for (const QString& line : output.split('\n', Qt::SkipEmptyParts))
            results << line.section(' ', 0, 1);
        if (results != expected)
            qWarning("%s", qPrintable(output));
        QCOMPARE(results, expected);
    }
};

QTEST_MAIN(TestDkim)
#include "tst_dkim.moc"
