// The suppression list as users save it (byte-order marks, UTF-16, an old code page, lines that are no address,
// things that are no file), and addresses appended to it read back as written.
#include "mailing/AddressSyntax.h"
#include "mailing/SuppressionList.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

QByteArray Utf16(const QString& text, QStringConverter::Encoding encoding) {
    QStringEncoder encoder(encoding, QStringConverter::Flag::WriteBom);
    return encoder(text);
}

} // namespace

class tst_SuppressionList : public QObject {
    Q_OBJECT

    QTemporaryDir FDir;

    QString Write(const QString& name, const QByteArray& bytes) const {
        QFile file(FDir.filePath(name));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
            qFatal("cannot write the list");
        return file.fileName();
    }

private Q_SLOTS:
    // Each row: the file as saved, the addresses it must suppress, its lines that are no address; or the refusal.
    void readsWhatWasSaved_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("suppressed");
        QTest::addColumn<int>("notAddresses");
        QTest::addColumn<QString>("refusal");
        const QString two = QStringLiteral("anna@example.org\r\nmüller@example.org\r\n");
        const QStringList both{"anna@example.org", "müller@example.org"};
        QTest::newRow("utf-8 bom") << "bom.txt" << QByteArray("\xEF\xBB\xBF") + two.toUtf8() << both << 0 << "";
        QTest::newRow("utf-16 le") << "le.txt" << Utf16(two, QStringConverter::Utf16LE) << both << 0 << "";
        QTest::newRow("utf-16 be") << "be.txt" << Utf16(two, QStringConverter::Utf16BE) << both << 0 << "";
        QTest::newRow("windows-1252") << "ansi.txt" << QByteArray("anna@example.org\nm\xFCller@example.org") << both
                                      << 0 << "";
        QTest::newRow("cr only") << "mac.txt" << QByteArray("anna@example.org\rm\xC3\xBCller@example.org\r") << both
                                 << 0 << "";
        QTest::newRow("names counted") << "names.txt"
                                       << QByteArray("# left\n\nAnna Berg\nanna@example.org\nBerg <b@example.org>\n"
                                                     "m\xC3\xBCller@example.org # asked\nx@example.org>,<y\n")
                                       << both << 3 << "";
        QTest::newRow("csv row without address") << "rows.csv"
                                                 << QByteArray("name,email\nAnna,anna@example.org\nEva,\n,,\n"
                                                               "Carl,\"m\xC3\xBCller@example.org\"\n")
                                                 << both << 1 << "";
        QTest::newRow("no address at all") << "names.txt" << QByteArray("Anna Berg\nCarl\n") << QStringList() << 2
                                           << "holds no e-mail address in its 2 lines";
        QTest::newRow("utf-16 without bom") << "nobom.txt" << Utf16(two, QStringConverter::Utf16LE).mid(2)
                                            << QStringList() << 0 << "control characters";
        QTest::newRow("odd utf-16") << "odd.txt" << Utf16(two, QStringConverter::Utf16LE) + 'x' << QStringList() << 0
                                    << "UTF-16";
        QTest::newRow("undefined cp1252 byte")
            << "bad.txt" << QByteArray("a\x81@example.org\n") << QStringList() << 0 << "does not read as text";
        QTest::newRow("dev zero") << "/dev/zero" << QByteArray() << QStringList() << 0 << "is a device, not a file";
        QTest::newRow("fifo") << "fifo" << QByteArray() << QStringList() << 0 << "is a named pipe";
        QTest::newRow("proc file") << "/proc/self/environ" << QByteArray() << QStringList() << 0
                                   << "control characters";
    }

    void readsWhatWasSaved() {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, suppressed);
        QFETCH(int, notAddresses);
        QFETCH(QString, refusal);
        QString path = name;
        if (name == "fifo") {
            path = FDir.filePath(name);
            QVERIFY(QFile::exists(path) || ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        } else if (!name.startsWith('/')) {
            path = Write(name, bytes);
        }
        try {
            const TSuppressionList list(path);
            QVERIFY2(refusal.isEmpty(), "the list was read");
            QCOMPARE(list.Size(), size_t(suppressed.size()));
            for (const QString& address : suppressed)
                QVERIFY2(list.Contains(address.toStdString()), qPrintable(address));
            QCOMPARE(list.NotAddresses(), notAddresses);
        } catch (const ESuppressionListError& error) {
            QVERIFY2(!refusal.isEmpty() && QString::fromUtf8(error.what()).contains(refusal), error.what());
        }
    }

    // RFC 5321's Mailbox with UTF-8 letters (RFC 6531): what may stand in an envelope, and what may not.
    void addressSyntax_data() {
        QTest::addColumn<QByteArray>("address");
        QTest::addColumn<bool>("valid");
        QTest::newRow("plain") << QByteArray("anna.berg+news@mail.example.org") << true;
        QTest::newRow("utf-8") << QByteArray("m\xC3\xBCller@b\xC3\xBC"
                                             "cher.de")
                               << true;
        QTest::newRow("quoted") << QByteArray("\"a,b\"@example.org") << true;
        QTest::newRow("second address") << QByteArray("m15@example.org>,<evil") << false;
        QTest::newRow("comma") << QByteArray("a,b@example.org") << false;
        QTest::newRow("surrogate") << QByteArray("c@am\xED\xBB\xBF.org") << false;
        QTest::newRow("overlong") << QByteArray("\xC0\xAF@example.org") << false;
        QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF"
                                                       "a@example.org")
                                         << false;
    }
    void addressSyntax() {
        QFETCH(QByteArray, address);
        QFETCH(bool, valid);
        const std::string problem = AddressSyntax::Problem(address.toStdString());
        QVERIFY2(problem.empty() == valid, problem.c_str());
    }

    // Appended addresses are found again by the next read (a second append adds nothing), whatever they hold and
    // whatever form the file has; the file's bytes where given.
    void appendedReadBack_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QStringList>("addresses");
        QTest::addColumn<QByteArray>("after");
        const QStringList hostile{"a#b@example.org",     "\"x,y\"@example.org",
                                  "\"p;q\"@example.org", "\"say \\\"hi\\\"\"@example.org",
                                  "\"c#d\"@example.org", "o'neil@example.org"};
        QTest::newRow("empty csv") << "empty.csv" << QByteArray() << QStringList{"gone@example.org"}
                                   << QByteArray("email\ngone@example.org\n");
        QTest::newRow("missing csv") << "new.csv" << QByteArray("-") << QStringList{"gone@example.org"}
                                     << QByteArray("email\ngone@example.org\n");
        QTest::newRow("csv hostile") << "h.csv" << QByteArray("name;email;date\r\nAnna;anna@example.org;1") << hostile
                                     << QByteArray();
        QTest::newRow("comma csv quoted") << "q.csv" << QByteArray("email,name\n") << QStringList{"\"x,y\"@example.org"}
                                          << QByteArray("email,name\n\"\"\"x,y\"\"@example.org\",\n");
        QTest::newRow("text hostile") << "h.txt" << QByteArray("# bounced\nanna@example.org") << hostile
                                      << QByteArray();
        // An address behind an invisible byte-order mark is none: written first, its mark would be taken for the
        // file's.
        QTest::newRow("text escaped") << "e.txt" << QByteArray()
                                      << QStringList{"a#b@example.org", "no address",
                                                     QChar(0xFEFF) + QString("@example.org")}
                                      << QByteArray("a\\#b@example.org\n");
        QTest::newRow("windows-1252 text")
            << "w.txt" << QByteArray("m\xFCller@example.org\n") << QStringList{QStringLiteral("zoë@example.org")}
            << QByteArray("m\xFCller@example.org\nzo\xEB@example.org\n");
        QTest::newRow("utf-16 text") << "u.txt" << Utf16("anna@example.org\r\n", QStringConverter::Utf16LE)
                                     << QStringList{"müller@example.org", "a#b@example.org"}
                                     << Utf16("anna@example.org\r\nmüller@example.org\r\na\\#b@example.org\r\n",
                                              QStringConverter::Utf16LE);
    }

    void appendedReadBack() {
        QFETCH(QString, name);
        QFETCH(QByteArray, before);
        QFETCH(QStringList, addresses);
        QFETCH(QByteArray, after);
        QString path = FDir.filePath(name);
        QFile::remove(path);
        if (before != "-")
            Write(name, before);
        std::vector<std::string> adding;
        for (const QString& address : addresses)
            adding.push_back(address.toStdString());
        try {
            const int added = TSuppressionList::AppendTo(path, adding);
            const TSuppressionList list(path);
            for (const QString& address : addresses)
                QVERIFY2(list.Contains(address.toStdString()) || !address.contains('@') ||
                             address.startsWith(QChar(0xFEFF)),
                         qPrintable(address));
            QCOMPARE(added, int(addresses.filter(QRegularExpression("^[^\uFEFF].*@")).size()));
            QCOMPARE(TSuppressionList::AppendTo(path, adding), 0);
            QCOMPARE(list.NotAddresses(), 0);
        } catch (const ESuppressionListError& error) {
            QFAIL(error.what());
        }
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        if (!after.isEmpty())
            QCOMPARE(file.readAll(), after);
    }
};

QTEST_GUILESS_MAIN(tst_SuppressionList)
#include "tst_suppressionlist.moc"
