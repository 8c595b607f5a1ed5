// "Send a test to me" in the preview window, against aiosmtpd: the shown record's message goes to the return
// address only, counts nothing, and its one TEST row in the ledger changes no later run.
#include "wizard/PreviewDialog.h"
#include "tests/wizard/WizardFixture.h"
#include "tests/servers/ParsedMail.h"
#include "tests/servers/SmtpSink.h"
#include "tests/servers/ThreadedPeer.h"

#include "framework/widgets/Wait.h"

#include <QLabel>
#include <QRegularExpression>

class TestTestMessage : public QObject {
    Q_OBJECT

    QTemporaryDir FSettings;
    QTemporaryDir FDir;
    QString FTable;

    // Opens the preview from page 4 and runs inside it; false when it did not open.
    static bool InPreview(TMailWizardForm& form, const std::function<void(TPreviewDialog&)>& inside) {
        bool opened = false;
        QTimer::singleShot(0, &form, [&] {
            if (auto* preview = qobject_cast<TPreviewDialog*>(QApplication::activeModalWidget())) {
                opened = true;
                inside(*preview);
                Find<QPushButton>(*preview, "btnClose")->click();
            }
        });
        Find<QPushButton>(form, "btnPreview")->click();
        return opened;
    }

    // Bytes this process has read through read calls so far.
    static qint64 BytesRead() {
        QFile io("/proc/self/io");
        return io.open(QIODevice::ReadOnly)
                   ? QRegularExpression("rchar: (\\d+)").match(io.readAll()).captured(1).toLongLong()
                   : -1;
    }

private slots:
    void initTestCase() {
        QVERIFY(FSettings.isValid() && FDir.isValid());
        UseTemporarySettings(FSettings);
        FTable = FDir.filePath("two.dbf");
        MakeTable(FTable, "NAME C(20); EMAIL C(40)",
                  {{"Carl Dorn", "carl@example.org"}, {"Eva Falk", "eva@example.org"}});
    }

    // After a run that was told "try again later" for Carl, a test of Carl's message reaches the sender alone, and
    // "Retry failed" still sends to Carl without asking whether he has it already.
    void testGoesToTheSenderOnly() {
        SmtpSink sink;
        sink.SetOptions({"--defer", "carl@example.org"});
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        auto form = FilledWizard(FDir.path(), FTable, "127.0.0.1:" + sink.PortText());
        form->RetryDelays = {};
        Find<QPushButton>(*form, "btnNext")->click();
        Find<QPushButton>(*form, "btnNext")->click(); // Start!: Carl deferred, Eva sent
        QCOMPARE(sink.Count(), 1);
        const auto state = [&] {
            return ReadTable(FDir.filePath("mail_log.dbf"))
                   << Find<QLineEdit>(*form, "edtSentCount")->text() << Find<QLineEdit>(*form, "edtErrorCount")->text();
        };
        const QStringList before = state();
        Find<QPushButton>(*form, "btnBack")->click();

        QString shown, result;
        QVERIFY(InPreview(*form, [&](TPreviewDialog& preview) {
            shown = preview.MessageText();
            Find<QPushButton>(preview, "btnSendTest")->click();
            result = Find<QLabel>(preview, "lblTestResult")->text();
        }));
        QVERIFY2(result.startsWith("Test message sent to anna@example.org: 250 "), qPrintable(result));
        QCOMPARE(sink.Count(), 2);
        QCOMPARE(sink.Read(2).Recipients, std::vector<std::string>{"anna@example.org"});
        const TParsedMail mail = ParseMails({sink.Read(2).Content}).value(0);
        QCOMPARE(mail.ToAddress + '\n' + mail.Body, "anna@example.org\n" + shown.mid(shown.indexOf("\n\n") + 2));
        QCOMPARE(state(), before);

        // RUN|DATE|TIME|RECNO|E_MAIL|STATUS|CODE|REPLY|MESSAGE_ID|QUEUE_ID|ATTEMPT|MSG_KEY
        const QStringList tests = ReadTable(FDir.filePath("mail_sent.dbf")).filter("|TEST|");
        QCOMPARE(tests.size(), 1);
        const QStringList row = tests.first().split('|');
        QCOMPARE(QStringList(row.mid(3, 4)) << row[0] << row[8],
                 (QStringList{"1", "anna@example.org", "TEST", "250", "0", mail.MessageId}));

        Find<QCheckBox>(*form, "chbRetryFailed")->setChecked(true);
        Find<QPushButton>(*form, "btnNext")->click();
        const auto question = AnswerNextBox("&No");
        Find<QPushButton>(*form, "btnNext")->click();
        QVERIFY(!question->Shown);
        QCOMPARE(sink.Count(), 3);
        QCOMPARE(sink.Read(3).Recipients, std::vector<std::string>{"carl@example.org"});
    }

    // A server that never greets: Escape and closing the window wait for the test, which ends at the timeout.
    void closingWaitsForTheTest() {
        ThreadedPeer silent([](const ThreadedPeer::Command&) { return ThreadedPeer::Reply{}; });
        auto form = FilledWizard(FDir.path(), FTable, "127.0.0.1:" + silent.PortText());
        form->findChild<TWait*>("Waiter")->SetInterval(100); // the timeout in tenths of seconds
        bool stayed = false;
        QString result;
        QVERIFY(InPreview(*form, [&](TPreviewDialog& preview) {
            QTimer::singleShot(200, &preview, [&] {
                QTest::keyClick(&preview, Qt::Key_Escape);
                preview.close();
                stayed = preview.isVisible() && preview.Busy();
            });
            Find<QPushButton>(preview, "btnSendTest")->click();
            result = Find<QLabel>(preview, "lblTestResult")->text();
        }));
        QVERIFY(stayed);
        QVERIFY2(result.startsWith("Test message not sent: "), qPrintable(result));
    }
    // 100,000 records: the preview opens after the check's one pass over the table, and a step back from the last
    // record reads from there, not the table from its top once more.
    void longTableIsReadOnce() {
        const QString path = FDir.filePath("long.dbf");
        const int count = 100000;
        RunPython("import struct, sys\n" // a dBase III table of NAME C(20), EMAIL C(40), quick at any size
                  "n = int(sys.argv[2])\n"
                  "with open(sys.argv[1], 'wb') as f:\n"
                  "    f.write(struct.pack('<B3xIHH20x', 3, n, 97, 61))\n"
                  "    for name, size in ((b'NAME', 20), (b'EMAIL', 40)):\n"
                  "        f.write(struct.pack('<11sc4xB15x', name, b'C', size))\n"
                  "    f.write(b'\\r' + b''.join(b' %-20s%-40s' % (b'Reader %d' % i, b'reader%d@example.org' % i)\n"
                  "                              for i in range(1, n + 1)) + b'\\x1a')\n",
                  {path, QString::number(count)});
        const qint64 size = QFileInfo(path).size();
        auto form = FilledWizard(FDir.path(), path, QString());
        const qint64 before = BytesRead();
        QVERIFY2(before > 0, "/proc/self/io does not say how much was read");
        qint64 opened = 0, stepped = 0;
        QString last;
        QVERIFY(InPreview(*form, [&](TPreviewDialog& preview) {
            opened = BytesRead();
            preview.ShowRecord(count);
            const qint64 atEnd = BytesRead();
            preview.ShowRecord(count - 1);
            stepped = BytesRead() - atEnd;
            last = preview.MessageText();
        }));
        QVERIFY2(opened - before < size * 3 / 2, qPrintable(QString::number(opened - before)));
        QVERIFY2(stepped < size / 10, qPrintable(QString::number(stepped)));
        QVERIFY2(last.contains("reader99999@example.org"), qPrintable(last));
    }
};

QTEST_MAIN(TestTestMessage)
#include "tst_testmessage.moc"
