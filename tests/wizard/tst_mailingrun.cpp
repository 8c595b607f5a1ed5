// The mailing run through the real window: aiosmtpd or a scripted peer on loopback, tables written by
// python3-dbf, and what arrived and what mail_log.dbf holds read back independently.
#include "wizard/PreviewDialog.h"
#include "tests/wizard/WizardFixture.h"
#include "tests/framework/ModalAnswer.h"
#include "tests/servers/ParsedMail.h"
#include "tests/servers/ScriptedServer.h"
#include "tests/servers/SmtpSink.h"
#include "tests/servers/ThreadedPeer.h"

#include "framework/widgets/Wait.h"
#include "smtp/SmtpClient.h"
#include "table/Table.h"

#include <QCheckBox>
#include <QComboBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>
#include <QTcpServer>

namespace {

// Everything the run showed while it went on.
struct TRunTrace : QObject {
    QStringList Titles;
    QStringList Statuses;
    std::function<void(const QString&)> OnStatus;

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::WindowTitleChange)
            Titles << static_cast<QWidget*>(watched)->windowTitle();
        return false;
    }
};

QStringList LogLines(QWidget& form) {
    return Find<QPlainTextEdit>(form, "memLog")->toPlainText().split('\n');
}

// The memo's last line: the count of each result other than SENT.
QString Summary(int refused = 0, int deferred = 0, int unknown = 0, int skipped = 0, int aborted = 0) {
    return QString::asprintf("Refused %d, deferred %d, unknown %d, skipped %d, aborted %d.", refused, deferred, unknown,
                             skipped, aborted);
}

// The memo's "N messages sent." line, the one before the summary.
QString SentLine(QWidget& form) {
    const QStringList lines = LogLines(form);
    return lines.size() >= 2 ? lines.at(lines.size() - 2) : QString();
}

// A server on its own thread that takes every message; delayMs(command) holds a reply back.
ThreadedPeer::Script Accepting(std::function<int(const ThreadedPeer::Command&)> delayMs) {
    return [delayMs](const ThreadedPeer::Command& command) {
        using R = ThreadedPeer::Reply;
        if (command.Verb.empty())
            return R::Say("220 ready\r\n");
        if (command.Verb == "QUIT")
            return R::Say("221 bye\r\n").Then(R::End::Close);
        return R::Say(command.Verb == "DATA" ? "354 go\r\n" : "250 ok\r\n", delayMs(command));
    };
}

QString Field(QWidget& form, const char* name) {
    return Find<QLineEdit>(form, name)->text();
}

} // namespace

class TestMailingRun : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FSettings;
    QTemporaryDir FDir;
    QString FTable;
    std::unique_ptr<TRunTrace> FTrace;

    QString LogPath() const { return FDir.filePath("mail_log.dbf"); }

    // Five recipients; the fourth has no address.
    void MakeRecipients(const QString& path) {
        MakeTable(path, "NAME C(20); EMAIL C(40); DEAR C(10); ORG C(20)",
                  {{"Anna Berg", "anna@example.org", "Ms.", "Berg AG"},
                   {"Carl Dorn", "carl@example.org", "Mr.", ""},
                   {"Eva Falk", "eva@example.org", "Ms.", "Falk Ltd"},
                   {"Gustav Holm", "   ", "Mr.", ""},
                   {"Ida Jung", "ida@example.org", "Ms.", ""}});
    }

    // A wizard filled in for the given server port and table, on the ready page.
    std::unique_ptr<TMailWizardForm> ReadyWizard(quint16 port, const QString& table, const QString& from = {},
                                                 const QString& to = {}) {
        auto form = ShowWizard();
        form->LogFolder = FDir.path();
        form->findChild<TWait*>("Waiter")->SetInterval(100); // connection timeouts in tenths of seconds
        Find<QLineEdit>(*form, "edtSubject")->setText("Autumn news");
        Find<QPlainTextEdit>(*form, "memMessage")->setPlainText("Dear %D %N,\n\nnews for %O.\n.\nBye");
        Find<QLineEdit>(*form, "edtSMTPServer")->setText(QStringLiteral("127.0.0.1:%1").arg(port));
        Find<QLineEdit>(*form, "edtName")->setText("Quorvel Test");
        Find<QLineEdit>(*form, "edtOrganization")->setText("Test Works");
        Find<QLineEdit>(*form, "edtReturnAddress")->setText("sender@example.org");
        SetTable(*form, table);
        Find<QComboBox>(*form, "cmbName")->setEditText("NAME");
        Find<QComboBox>(*form, "cmbEmail")->setEditText("EMAIL");
        Find<QComboBox>(*form, "cmbDear")->setEditText("DEAR");
        Find<QComboBox>(*form, "cmbOrganization")->setEditText("ORG");
        if (!from.isEmpty())
            SetScope(*form, from, to);
        for (int i = 0; i < 4; ++i)
            Find<QPushButton>(*form, "btnNext")->click();
        if (Find<QPushButton>(*form, "btnNext")->text() != QStringLiteral("Start!"))
            qWarning("the check did not pass");
        FTrace = std::make_unique<TRunTrace>();
        form->installEventFilter(FTrace.get());
        TRunTrace* trace = FTrace.get();
        connect(form.get(), &TMailWizardForm::RunStatusReported, trace, [trace](const QString& text) {
            trace->Statuses << text;
            if (trace->OnStatus)
                trace->OnStatus(text);
        });
        return form;
    }

    static void Start(TMailWizardForm& form) { Find<QPushButton>(form, "btnNext")->click(); }

    // The wizard is usable again after every run: completed page, Back enabled, Next not, Close again.
    static void VerifyCompleted(TMailWizardForm& form) {
        QCOMPARE(form.PageNo, 5);
        QCOMPARE(Find<QLabel>(form, "lblTitle")->text(), QStringLiteral("Completed"));
        QVERIFY(Find<QPushButton>(form, "btnBack")->isEnabled());
        QVERIFY(!Find<QPushButton>(form, "btnNext")->isEnabled());
        QCOMPARE(Find<QPushButton>(form, "btnCancel")->text(), QStringLiteral("&Close"));
        QCOMPARE(form.windowTitle(), QStringLiteral("Quorvel Mailer 1.2"));
        QCOMPARE(Field(form, "edtStatus"), QStringLiteral("Disconnected"));
        QVERIFY(Find<QLabel>(form, "lblExpectedEnd")->text().startsWith(QStringLiteral("Ended ")));
        QCOMPARE(Field(form, "edtCurrentRecipient"), QString());
        QCOMPARE(form.SmtpClient->State(), smtpDisconnected);
    }

    // mail_log.dbf as dbfread reads it, without its line of field definitions.
    QStringList LogRows() const {
        QStringList rows = ReadTable(LogPath());
        if (!rows.isEmpty())
            rows.removeFirst();
        return rows;
    }

private slots:
    void initTestCase() {
        QVERIFY(FSettings.isValid() && FDir.isValid());
        UseTemporarySettings(FSettings);
        FTable = FDir.filePath("recipients.dbf");
        MakeRecipients(FTable);
    }

    void init() {
        RawSettings().clear();
        QFile::remove(LogPath());
        QFile::remove(FDir.filePath("mail_sent.dbf"));
    }

    // Three records: progress per record, every message personalised, the closing lines.
    void sendsEveryRecord() {
        const QString table = FDir.filePath("three.dbf");
        MakeTable(table, "NAME C(20); EMAIL C(40); DEAR C(10); ORG C(20)",
                  {{"Anna Berg", "anna@example.org", "Ms.", "Berg AG"},
                   {"Carl Dorn", "carl@example.org", "Mr.", ""},
                   {"Eva Falk", " eva@example.org ", "Ms.", "Falk Ltd"}});
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        auto form = ReadyWizard(sink.Port(), table);
        Start(*form);

        QCOMPARE(FTrace->Titles, (QStringList{"Sending 33%", "Sending 66%", "Sending 100%", "Quorvel Mailer 1.2"}));
        QVERIFY(FTrace->Statuses.contains("Sending mail #1"));
        QVERIFY(FTrace->Statuses.contains("Sending mail #3"));
        QCOMPARE(LogLines(*form), (QStringList{"Connection closed", "3 messages sent.", Summary()}));
        QCOMPARE(Field(*form, "edtSentCount"), QStringLiteral("3"));
        QCOMPARE(Field(*form, "edtErrorCount"), QStringLiteral("0"));
        VerifyCompleted(*form);

        const auto messages = sink.Messages();
        QCOMPARE(int(messages.size()), 3);
        QCOMPARE(messages[0].Sender, std::string("sender@example.org"));
        QCOMPARE(messages[0].Recipients, std::vector<std::string>{"anna@example.org"});
        QCOMPARE(messages[2].Recipients, std::vector<std::string>{"eva@example.org"});
        const QByteArray first = messages[0].Content;
        QVERIFY(first.startsWith("From: Quorvel Test <sender@example.org>\r\nOrganization: Test Works\r\n"
                                 "To: Anna Berg <anna@example.org>\r\nSubject: Autumn news\r\n"));
        QVERIFY2(first.contains("\r\n\r\nDear Ms. Anna Berg,\r\n\r\nnews for Berg AG.\r\n.\r\nBye\r\n\r\n"
                                "Delivered to you by Quorvel Mailer"),
                 first.constData());
        QVERIFY(messages[0].Wire.contains("\r\n..\r\nBye\r\n")); // the lone dot went out stuffed
        QVERIFY(messages[1].Content.contains("Dear Mr. Carl Dorn,\r\n\r\nnews for .\r\n"));
        QVERIFY(LogRows().isEmpty());
    }

    // Without the program's footer and with one message per address: the footer is not on the wire, a record
    // whose address an earlier one had is skipped under its own record number (a deleted record before it), the
    // preview steps by the same numbers over the deleted one, and both choices are saved as settings.
    void footerAndOncePerAddress() {
        const QString table = FDir.filePath("shared.dbf");
        MakeTable(table, "NAME C(20); EMAIL C(40); DEAR C(10); ORG C(20)",
                  Rows({"Anna Berg|anna@example.org|Ms.|", "Gone|gone@example.org||", "Carl Dorn|carl@example.org||",
                        "Anna's desk|ANNA@example.org||"}),
                  {1});
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        auto form = ShowWizard();
        Find<QCheckBox>(*form, "chbAddFooter")->setChecked(false);
        Find<QCheckBox>(*form, "chbOncePerAddress")->setChecked(true);
        form->SaveSettings();
        QCOMPARE(RawSettings().value("Message/Add Footer").toString(), QStringLiteral("0"));
        QCOMPARE(RawSettings().value("Settings/Once Per Address").toString(), QStringLiteral("1"));
        form.reset();
        form = ReadyWizard(sink.Port(), table);
        Find<QPushButton>(*form, "btnBack")->click();
        QList<int> shown;
        QTimer::singleShot(0, form.get(), [&] {
            auto* preview = qobject_cast<TPreviewDialog*>(QApplication::activeModalWidget());
            for (int step = 0; preview && step < 3; ++step, Find<QPushButton>(*preview, "btnNext")->click())
                shown << preview->RecordNumber();
            if (preview)
                Find<QPushButton>(*preview, "btnClose")->click();
        });
        Find<QPushButton>(*form, "btnPreview")->click();
        QCOMPARE(shown, (QList<int>{1, 3, 4}));
        Find<QPushButton>(*form, "btnNext")->click();
        Start(*form);

        QCOMPARE(sink.FirstRecipients(), (QStringList{"anna@example.org", "carl@example.org"}));
        QVERIFY(!sink.Messages()[0].Content.contains("Delivered to you"));
        QVERIFY(sink.Messages()[0].Content.endsWith("news for .\r\n.\r\nBye\r\n"));
        QCOMPARE(LogLines(*form).first(), QStringLiteral("Record 4 skipped: same address as record 1."));

        // Again: record 1's address got the message in the first run, so record 4 is still not sent.
        Find<QPushButton>(*form, "btnBack")->click();
        Find<QPushButton>(*form, "btnNext")->click();
        Start(*form);
        QCOMPARE(sink.Count(), 2);
        QVERIFY(LogLines(*form).contains(QStringLiteral("Record 4 skipped: same address as record 1.")));
    }

    // A table in a DOS code page and a page in three scripts, wrapped at 40. The preview (Next) shows for each
    // record what Python's email package reads from the stored message, Date and Message-ID aside, and sends
    // nothing; no line is longer than 998; a refused recipient's log row holds "?" for what Windows-1252 lacks.
    void everyLanguageAsPreviewed() {
        const QString table = FDir.filePath("cyrillic.dbf");
        const QStringList names{"Иван Петров", "Anna Berg", "Ольга"}, dears{"Г-н", "Ms.", "Г-жа"};
        MakeTable(table, "NAME C(20); EMAIL C(40); DEAR C(10); ORG C(20)",
                  {{names[0], "ivan@example.org", dears[0], ""},
                   {names[1], "anna@example.org", dears[1], ""},
                   {names[2], "olga@example.org", dears[2], ""}},
                  {}, "cp866");
        SmtpSink sink({"olga@example.org"});
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        auto form = ReadyWizard(sink.Port(), FTable);
        Find<QPushButton>(*form, "btnBack")->click();
        const QString subjectTail = " — € and a subject long enough to be folded over more than one line";
        const QString bodyTail =
            "\nhttps://example.org/a-long-link-that-must-not-break-at-its-hyphens\n.dot\nZoë =3D x\n-- \nZoë";
        Find<QLineEdit>(*form, "edtSubject")->setText("Новости для %N" + subjectTail);
        Find<QPlainTextEdit>(*form, "memMessage")->setPlainText("Здравствуйте, %D %N!" + bodyTail);
        Find<QLineEdit>(*form, "edtName")->setText("Zoë Müller");
        Find<QLineEdit>(*form, "edtOrganization")->setText("Société Générale");
        Find<QLineEdit>(*form, "edtWrapLines")->setText("40");
        SetTable(*form, table);

        QStringList previews;
        const auto stamps = QRegularExpression("\n(Date|Message-ID): [^\n]*");
        QTimer::singleShot(0, form.get(), [&] {
            auto* preview = qobject_cast<TPreviewDialog*>(QApplication::activeModalWidget());
            for (int step = 0; preview && step < 2; ++step, Find<QPushButton>(*preview, "btnNext")->click())
                previews << preview->MessageText().remove(stamps);
            if (preview)
                Find<QPushButton>(*preview, "btnClose")->click();
        });
        Find<QPushButton>(*form, "btnPreview")->click();
        QCOMPARE(previews.size(), 2);
        QCOMPARE(sink.Messages().size(), size_t(0));

        Find<QPushButton>(*form, "btnNext")->click();
        Start(*form);
        const auto messages = sink.Messages();
        QCOMPARE(int(messages.size()), 2);
        const QList<TParsedMail> mails = ParseMails({messages[0].Content, messages[1].Content});
        for (int i = 0; i < 2; ++i) {
            const TParsedMail& mail = mails[i];
            const QString headers = "From: " + mail.FromName + " <" + mail.FromAddress +
                                    ">\nOrganization: " + mail.Organization + "\nTo: " + mail.ToName + " <" +
                                    mail.ToAddress + ">\nSubject: " + mail.Subject;
            QCOMPARE(mail.Defects + headers + "\n\n" + mail.Body,
                     "From: Zoë Müller <sender@example.org>\nOrganization: Société Générale\nTo: " + names[i] + " <" +
                         mail.ToAddress + ">\nSubject: Новости для " + names[i] + subjectTail + "\n\nЗдравствуйте, " +
                         dears[i] + " " + names[i] + "!" + bodyTail +
                         "\n\nDelivered to you by Quorvel Mailer - get\nfree e-mail software at:\n"
                         "https://quorvel.example/mailer\n");
            QVERIFY(mail.LongestLine <= 998);
            QCOMPARE(previews[i], headers + "\nMime-Version: 1.0\nContent-Type: text/plain; charset=\"" + mail.Charset +
                                      "\"\nContent-Transfer-Encoding: " + mail.TransferEncoding + "\n\n" + mail.Body);
        }
        QCOMPARE(LogRows(), (QStringList{"550 Mailbox unavailable: olga@example.org|?????|olga@example.org"}));
    }

    // Scope 2 to 3 of 5: records 2 and 3 only, at 50% and 100%.
    void sendsTheScope() {
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        auto form = ReadyWizard(sink.Port(), FTable, "2", "3");
        Start(*form);

        QCOMPARE(FTrace->Titles, (QStringList{"Sending 50%", "Sending 100%", "Quorvel Mailer 1.2"}));
        QCOMPARE(FTrace->Statuses.filter("Sending mail"), (QStringList{"Sending mail #2", "Sending mail #3"}));
        const auto messages = sink.Messages();
        QCOMPARE(int(messages.size()), 2);
        QCOMPARE(messages[0].Recipients, std::vector<std::string>{"carl@example.org"});
        QCOMPARE(messages[1].Recipients, std::vector<std::string>{"eva@example.org"});
        QCOMPARE(SentLine(*form), QStringLiteral("2 messages sent."));
    }

    // A blank address is passed over with its reason in the memo; the whole table otherwise goes out.
    void skipsBlankAddress() {
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        auto form = ReadyWizard(sink.Port(), FTable);
        Start(*form);

        QCOMPARE(sink.Count(), 4);
        QCOMPARE(LogLines(*form), (QStringList{"Record 4 skipped: no e-mail address.", "Connection closed",
                                               "4 messages sent.", Summary(0, 0, 0, 1)}));
        QCOMPARE(Field(*form, "edtErrorCount"), QStringLiteral("0"));
        QVERIFY(!FTrace->Statuses.contains("Sending mail #4"));
        QVERIFY(LogRows().isEmpty());
    }

    // Nobody listens: the first connection fails and the run ends at once, with one error and a log row.
    void unreachableServer() {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 port = probe.serverPort();
        probe.close(); // a port with no listener: the connection is refused

        auto form = ReadyWizard(port, FTable);
        Start(*form);

        const QStringList lines = LogLines(*form);
        QCOMPARE(lines, (QStringList{"Can't connect to host '127.0.0.1': Connection refused",
                                     "Aborted: lost connection to SMTP server at position 0.", "Connection closed",
                                     "0 messages sent.", Summary(0, 0, 0, 0, 1)}));
        QCOMPARE(Field(*form, "edtErrorCount"), QStringLiteral("1"));
        QCOMPARE(LogRows(),
                 (QStringList{"Aborted: lost connection to SMTP server at positio|Anna Berg|anna@example.org"}));
        VerifyCompleted(*form);
    }

    // A refused recipient: one error in the server's words, logged, and the next record on a new connection.
    void refusedRecipient() {
        ScriptedServer server;
        QVERIFY(server.IsListening());
        server.SetReplies("RCPT", {ScriptedServer::Send("250 OK\r\n"),
                                   ScriptedServer::Send("550 5.1.1 <carl@example.org>: no such user\r\n"),
                                   ScriptedServer::Send("250 OK\r\n")});
        auto form = ReadyWizard(server.Port(), FTable);
        Start(*form);

        QCOMPARE(Field(*form, "edtErrorCount"), QStringLiteral("1"));
        QCOMPARE(Field(*form, "edtSentCount"), QStringLiteral("3"));
        QCOMPARE(LogLines(*form), (QStringList{"Error when sending mail to: Carl Dorn <carl@example.org>",
                                               "Server says: 550 5.1.1 <carl@example.org>: no such user",
                                               "Record 4 skipped: no e-mail address.", "Connection closed",
                                               "3 messages sent.", Summary(1, 0, 0, 1)}));
        QCOMPARE(LogRows(), (QStringList{"550 5.1.1 <carl@example.org>: no such user|Carl Dorn|carl@example.org"}));
        // The refusal left the connection sound: RSET, and the remaining records went over the same one.
        QCOMPARE(server.Connections(), 1);
        QCOMPARE(server.Commands().count("RSET"), 1);
        QCOMPARE(server.Commands().count("QUIT"), 1);
        VerifyCompleted(*form);
    }

    // Stop asks between records: No goes on, Yes ends the run with a log row.
    void stopAsksBetweenRecords() {
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        auto form = ReadyWizard(sink.Port(), FTable);
        QPushButton* stop = Find<QPushButton>(*form, "btnCancel");
        std::shared_ptr<TSeenBox> firstBox;
        std::shared_ptr<TSeenBox> secondBox;
        FTrace->OnStatus = [&](const QString& status) {
            if (status == QStringLiteral("Sending mail #1")) {
                QCOMPARE(stop->text(), QStringLiteral("&Stop"));
                stop->click();
                firstBox = AnswerNextBox("&No");
            } else if (status == QStringLiteral("Sending mail #2")) {
                stop->click();
                secondBox = AnswerNextBox("&Yes");
            }
        };
        Start(*form);

        QVERIFY(firstBox && firstBox->Shown);
        QCOMPARE(firstBox->Title, QStringLiteral("Confirm"));
        QCOMPARE(firstBox->Text, QStringLiteral("Sure to abort mailing in progress?\nYes = Stop now! No = Continue!"));
        QVERIFY(secondBox && secondBox->Shown);
        QCOMPARE(sink.Count(), 2);
        QCOMPARE(LogLines(*form), (QStringList{"User aborted at position 2.", "Connection closed", "2 messages sent.",
                                               Summary(0, 0, 0, 0, 1)}));
        QCOMPARE(LogRows(), (QStringList{"User aborted at position 2.|Eva Falk|eva@example.org"}));
        VerifyCompleted(*form);
    }

    // A real click on Stop while the run waits for a slow server's reply is taken, and the question comes at
    // the end of the message in transfer.
    void stopClickedDuringReplyWait() {
        ThreadedPeer peer(Accepting([](const ThreadedPeer::Command&) { return 1000; }));
        auto form = ReadyWizard(static_cast<quint16>(peer.Port()), FTable);
        Find<QSlider>(*form, "trbTimeout")->setValue(40); // 4 s with the test's 100 ms ticks
        QPushButton* stop = Find<QPushButton>(*form, "btnCancel");
        std::shared_ptr<TSeenBox> box;
        FTrace->OnStatus = [&](const QString& status) {
            if (status != QStringLiteral("Sending mail #1"))
                return;
            // Half way through the wait for the reply to RCPT.
            QTimer::singleShot(1500, stop, [&] {
                box = AnswerNextBox("&Yes");
                QTest::mouseClick(stop, Qt::LeftButton);
            });
        };
        Start(*form);

        QVERIFY(box && box->Shown);
        QCOMPARE(LogLines(*form), (QStringList{"User aborted at position 1.", "Connection closed", "1 messages sent.",
                                               Summary(0, 0, 0, 0, 1)}));
        VerifyCompleted(*form);
    }

    // The server hangs up in the middle of each message: every one is an error, none counts as sent.
    void connectionDroppedInMessage() {
        ScriptedServer server;
        QVERIFY(server.IsListening());
        server.SetCloseAfterDataLines(3);
        const QString table = FDir.filePath("two.dbf");
        MakeTable(table, "NAME C(20); EMAIL C(40); DEAR C(10); ORG C(20)",
                  {{"Anna Berg", "anna@example.org", "Ms.", ""}, {"Carl Dorn", "carl@example.org", "Mr.", ""}});
        auto form = ReadyWizard(server.Port(), table);
        Start(*form);

        QCOMPARE(Field(*form, "edtSentCount"), QStringLiteral("0"));
        QCOMPARE(Field(*form, "edtErrorCount"), QStringLiteral("2"));
        // The memo says what the client saw in its own words. The whole message went out before the line dropped,
        // so the server may have kept it: unknown, and the log says so, not a made-up refusal.
        const QStringList lines = LogLines(*form);
        QCOMPARE(
            lines.filter(QRegularExpression("^The (server closed the connection|connection to the server)")).size(), 2);
        QVERIFY(lines.filter("Server says").isEmpty());
        QCOMPARE(lines.mid(lines.size() - 2), (QStringList{"0 messages sent.", Summary(0, 0, 2)}));
        QCOMPARE(LogRows(), (QStringList{"no final answer; it may have been delivered|Anna Berg|anna@example.org",
                                         "no final answer; it may have been delivered|Carl Dorn|carl@example.org"}));
        QCOMPARE(lines.filter("No final answer from the server; the message may have been delivered").size(), 2);
        QCOMPARE(server.Connections(), 2);
        VerifyCompleted(*form);
    }

    // An empty table makes no connection; Back, Next and Start! run again with fresh counts.
    void emptyTableThenSecondRun() {
        ScriptedServer server;
        QVERIFY(server.IsListening());
        const QString empty = FDir.filePath("empty.dbf");
        MakeTable(empty, "NAME C(20); EMAIL C(40); DEAR C(10); ORG C(20)", {});
        auto form = ReadyWizard(server.Port(), empty);
        Start(*form);
        QCOMPARE(server.Connections(), 0);
        QCOMPARE(LogLines(*form), (QStringList{"Connection closed", "0 messages sent.", Summary()}));
        VerifyCompleted(*form);

        // Back to page 4, another table, the check again, and a second run.
        Find<QPushButton>(*form, "btnBack")->click();
        QCOMPARE(form->PageNo, 4);
        QVERIFY(!form->tblRecipients->Active());
        SetTable(*form, FTable);
        Find<QPushButton>(*form, "btnNext")->click();
        QCOMPARE(Find<QPushButton>(*form, "btnNext")->text(), QStringLiteral("Start!"));
        Start(*form);
        QCOMPARE(LogLines(*form), (QStringList{"Record 4 skipped: no e-mail address.", "Connection closed",
                                               "4 messages sent.", Summary(0, 0, 0, 1)}));
        QCOMPARE(Field(*form, "edtSentCount"), QStringLiteral("4"));
        QCOMPARE(server.Connections(), 1);
        VerifyCompleted(*form);

        // A third run that sends nothing shows 0, not the previous run's count.
        Find<QPushButton>(*form, "btnBack")->click();
        SetTable(*form, empty);
        Find<QPushButton>(*form, "btnNext")->click();
        Start(*form);
        QCOMPARE(Field(*form, "edtSentCount"), QStringLiteral("0"));
        QCOMPARE(SentLine(*form), QStringLiteral("0 messages sent."));
    }

    // Closing the window during a run: No keeps it going; Yes ends it at once and the window closes.
    void closeDuringRun() {
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        {
            auto form = ReadyWizard(sink.Port(), FTable);
            TMailWizardForm* window = form.get();
            std::shared_ptr<TSeenBox> box;
            FTrace->OnStatus = [&](const QString& status) {
                if (status == QStringLiteral("Sending mail #1")) {
                    box = AnswerNextBox("&No");
                    QTimer::singleShot(0, window, [window] { window->close(); });
                }
            };
            Start(*form);
            QVERIFY(box && box->Shown);
            QCOMPARE(box->Text, QStringLiteral("Interrupt SMTP transfer?"));
            QVERIFY(form->isVisible());
            QCOMPARE(sink.Count(), 4);
        }
        QFile::remove(FDir.filePath("mail_sent.dbf")); // a second run of the same message would ask first
        // The second message's MAIL is answered slowly, so that the close lands while it is in transfer.
        ThreadedPeer peer(Accepting([](const ThreadedPeer::Command& command) {
            return command.Verb == "MAIL" && command.Messages == 1 ? 500 : 0;
        }));
        auto form = ReadyWizard(static_cast<quint16>(peer.Port()), FTable);
        TMailWizardForm* window = form.get();
        std::shared_ptr<TSeenBox> box;
        FTrace->OnStatus = [&](const QString& status) {
            if (status == QStringLiteral("Sending mail #2")) {
                box = AnswerNextBox("&Yes");
                QTimer::singleShot(100, window, [window] { window->close(); });
            }
        };
        form->SettingsChanged = false; // no "Save Settings?" after the interruption
        Start(*form);
        QVERIFY(box && box->Shown);
        QVERIFY(!form->isVisible());
        // The first message went out; the second was in transfer when the connection was given up.
        const std::vector<std::string> commands = peer.Commands();
        QCOMPARE(std::count(commands.begin(), commands.end(), std::string("DATA")), 1);
        QCOMPARE(commands.back(), std::string("MAIL FROM:<sender@example.org>"));
        QVERIFY(!FTrace->Statuses.contains("Sending mail #3"));
        // The message in transfer is not sent; the user's abort is the only report, not also an error.
        QCOMPARE(LogLines(*form), (QStringList{"User aborted at position 2.", "Connection closed", "1 messages sent.",
                                               Summary(0, 0, 0, 0, 1)}));
        QCOMPARE(Field(*form, "edtErrorCount"), QStringLiteral("0"));
        QCOMPARE(LogRows(), (QStringList{"User aborted at position 2.|Eva Falk|eva@example.org"}));
    }

    void closeThenSaveQuestion_data() {
        QTest::addColumn<int>("readMs"); // how long the user takes over each box
        QTest::newRow("quick") << 0;
        QTest::newRow("slow") << 600;
    }

    // Yes to "Interrupt SMTP transfer?" ends the run even while "Save Settings?" is still up: no message starts
    // after the Yes, however long the user takes over either box (the message in transfer is answered meanwhile).
    void closeThenSaveQuestion() {
        QFETCH(int, readMs);
        ThreadedPeer peer(Accepting([](const ThreadedPeer::Command& command) {
            return command.Verb == "MAIL" && command.Messages == 1 ? 300 : 0;
        }));
        auto form = ReadyWizard(static_cast<quint16>(peer.Port()), FTable);
        TMailWizardForm* window = form.get();
        std::shared_ptr<TSeenBox> save;
        const auto answerLater = [readMs](const QString& caption) {
            return [readMs, caption](QMessageBox* box) {
                QTimer::singleShot(readMs, box, [box, caption] {
                    for (QAbstractButton* b : box->buttons())
                        if (b->text() == caption)
                            b->click();
                });
            };
        };
        FTrace->OnStatus = [&](const QString& status) {
            if (status != QStringLiteral("Sending mail #2"))
                return;
            AnswerNextBox({}, [&](QMessageBox* box) {
                answerLater("&Yes")(box);
                connect(box, &QDialog::finished, [&] { save = AnswerNextBox({}, answerLater("&No")); });
            });
            QTimer::singleShot(50, window, [window] { window->close(); });
        };
        form->SettingsChanged = true;
        Start(*form);
        QVERIFY(save && save->Shown);
        QCOMPARE(save->Text, QStringLiteral("Save Settings?"));
        QVERIFY(!form->isVisible());
        const std::vector<std::string> commands = peer.Commands();
        QVERIFY(std::count(commands.begin(), commands.end(), std::string("DATA")) <= 2);
        QVERIFY(!FTrace->Statuses.contains("Sending mail #3"));
    }

    // The window closed while Start! asks for the password: Yes to the interruption (and an answer to "Save
    // Settings?") means no run at all, whatever the prompt then returns.
    void closeDuringPasswordPrompt() {
        SmtpSink sink;
        sink.SetOptions({"--user", "anna", "--password", "s3cret", "--auth-clear"});
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        auto form = ReadyWizard(sink.Port(), FTable);
        Find<QPushButton>(*form, "btnBack")->click();
        Find<QLineEdit>(*form, "edtUserName")->setText("anna");
        Find<QCheckBox>(*form, "chbAllowClearPassword")->setChecked(true);
        Find<QPushButton>(*form, "btnNext")->click();
        TMailWizardForm* window = form.get();
        std::shared_ptr<TSeenBox> interrupt, save;
        QTimer::singleShot(0, window, [&] {
            auto* prompt = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
            if (!prompt)
                return;
            interrupt = AnswerNextBox("&Yes", [&](QMessageBox* box) {
                connect(box, &QDialog::finished, [&] { save = AnswerNextBox("&No"); });
            });
            window->close();
            prompt->setTextValue("s3cret");
            prompt->accept();
        });
        form->SettingsChanged = true;
        Start(*form);
        QVERIFY(interrupt && interrupt->Shown && save && save->Shown);
        QCOMPARE(interrupt->Text, QStringLiteral("Interrupt SMTP transfer?"));
        QVERIFY(!form->isVisible());
        QCOMPARE(sink.AuthAttempts(), QStringList());
        QCOMPARE(sink.Count(), 0);
    }

    // Closing the window while the server keeps the greeting back: a user abort, not a server failure.
    void closeWhileConnecting() {
        ScriptedServer server;
        QVERIFY(server.IsListening());
        server.SetGreeting(ScriptedServer::Silence());
        auto form = ReadyWizard(server.Port(), FTable);
        form->findChild<TWait*>("Waiter")->SetInterval(1000); // the close comes long before the timeout
        TMailWizardForm* window = form.get();
        std::shared_ptr<TSeenBox> box;
        FTrace->OnStatus = [&](const QString& status) {
            if (status == QStringLiteral("Connecting")) {
                box = AnswerNextBox("&Yes");
                QTimer::singleShot(200, window, [window] { window->close(); });
            }
        };
        form->SettingsChanged = false;
        Start(*form);

        QVERIFY(box && box->Shown);
        QVERIFY(!form->isVisible());
        QCOMPARE(LogLines(*form), (QStringList{"User aborted at position 0.", "Connection closed", "0 messages sent.",
                                               Summary(0, 0, 0, 0, 1)}));
        QCOMPARE(Field(*form, "edtErrorCount"), QStringLiteral("0"));
        QCOMPARE(LogRows(), (QStringList{"User aborted at position 0.|Anna Berg|anna@example.org"}));
    }

    // The close question shown while the run waits for a reply takes the user's real mouse click, although the
    // wait swallows every other click.
    void closeQuestionDuringWaitTakesClicks() {
        ScriptedServer server;
        QVERIFY(server.IsListening());
        server.SetReply(".", ScriptedServer::Silence());
        auto form = ReadyWizard(server.Port(), FTable);
        form->findChild<TWait*>("Waiter")->SetInterval(1000); // the reply wait outlasts the whole exchange
        TMailWizardForm* window = form.get();
        bool answered = false;
        bool stuck = false;
        FTrace->OnStatus = [&](const QString& status) {
            if (status != QStringLiteral("Sending mail #1"))
                return;
            QTimer::singleShot(200, window, [window] { window->close(); });
            QTimer::singleShot(400, [&] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (!box)
                    return;
                for (QAbstractButton* button : box->buttons())
                    if (button->text() == QStringLiteral("&Yes")) {
                        QTest::mouseClick(button, Qt::LeftButton);
                        answered = true;
                    }
                // A box the click did not reach is answered directly, so that the test ends either way.
                QTimer::singleShot(500, [&stuck] {
                    if (auto* still = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                        stuck = true;
                        still->buttons().first()->click();
                    }
                });
            });
        };
        form->SettingsChanged = false;
        Start(*form);

        QVERIFY(answered);
        QVERIFY(!stuck);
        QVERIFY(!form->isVisible());
        QVERIFY(LogLines(*form).contains("User aborted at position 1."));
    }

    // Stop after record 3, then "Resume the last run" sends exactly the rest, and a plain run passes over those
    // who have the same message already; the summary before each run counts what that run does, and offers the
    // choice about the ones already sent. ("Retry failed" is tst_testmessage's.)
    void resumeAndResendQuestion() {
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        auto form = ReadyWizard(sink.Port(), FTable);
        std::shared_ptr<TSeenBox> box;
        FTrace->OnStatus = [&](const QString& status) {
            if (status == QStringLiteral("Sending mail #3")) {
                Find<QPushButton>(*form, "btnCancel")->click();
                box = AnswerNextBox("&Yes");
            }
        };
        Start(*form);
        QVERIFY(box && box->Shown);
        QStringList sent{"anna@example.org", "carl@example.org", "eva@example.org"};
        QCOMPARE(sink.FirstRecipients(), sent);

        FTrace->OnStatus = nullptr;
        QStringList summary;
        bool choice = false;
        Preflight(*form)->OnShown = [&](QDialog* dialog) {
            summary.clear();
            for (int row = 0; auto* value = dialog->findChild<QLabel*>(QStringLiteral("lblValue%1").arg(row)); ++row)
                if (row < 4)
                    summary << dialog->findChild<QLabel*>(QStringLiteral("lblCaption%1").arg(row))->text() + ' ' +
                                   value->text();
            choice = dialog->findChild<QCheckBox*>("chbSendAgain")->isVisibleTo(dialog);
        };
        const auto again = [&](bool resume) {
            Find<QPushButton>(*form, "btnBack")->click();
            Find<QCheckBox>(*form, "chbResume")->setChecked(resume);
            Find<QPushButton>(*form, "btnNext")->click();
            Start(*form);
        };
        again(true);
        QCOMPARE(summary, (QStringList{"Records in the scope: 5", "Messages to send: 1", "Done in earlier runs: 3",
                                       "Deleted records passed over: 0"}));
        QVERIFY(!choice);
        QCOMPARE(sink.FirstRecipients(), sent << "ida@example.org");
        QCOMPARE(LogLines(*form).first(), QStringLiteral("Record 4 skipped: no e-mail address."));

        again(false);
        QCOMPARE(summary, (QStringList{"Records in the scope: 5", "Messages to send: 0",
                                       "Already sent this message: 4", "Deleted records passed over: 0"}));
        QVERIFY(choice);
        QCOMPARE(sink.Count(), 4);
        QCOMPARE(LogLines(*form).first(), QStringLiteral("4 recipients who already got this message are passed over."));
    }

    // "Last, First" names stay one mailbox in the To and From headers, and the rest of the message is unchanged;
    // an address beyond RFC 5321's Mailbox is skipped, a domain in other letters goes as its A-label.
    void namesWithCommas() {
        const QString table = FDir.filePath("commas.dbf");
        MakeTable(table, "NAME C(20); EMAIL C(40); DEAR C(10); ORG C(20)",
                  {{"Berg, Anna", "anna@example.org", "Ms.", ""},
                   {"Dr. Carl Dorn", "carl@example.org", "Mr.", ""},
                   {"Eve", "m15@example.org>,<evil", "Ms.", ""},
                   {"Jörg", "jorg@bücher.de", "Mr.", ""},
                   {"Anke", "müller@beispiel.de", "Ms.", ""}});
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        auto form = ReadyWizard(sink.Port(), table);
        Find<QPushButton>(*form, "btnBack")->click();
        Find<QLineEdit>(*form, "edtName")->setText("Test, Quorvel");
        Find<QPushButton>(*form, "btnNext")->click();
        Start(*form);

        const auto messages = sink.Messages();
        QCOMPARE(int(messages.size()), 3);
        // A domain in other letters goes as its A-label.
        QCOMPARE(sink.FirstRecipients().value(2), QStringLiteral("jorg@xn--bcher-kva.de"));
        QVERIFY2(messages[0].Content.startsWith("From: \"Test, Quorvel\" <sender@example.org>\r\n"
                                                "Organization: Test Works\r\n"
                                                "To: \"Berg, Anna\" <anna@example.org>\r\n"),
                 messages[0].Content.constData());
        QVERIFY(messages[0].Content.contains("\r\n\r\nDear Ms. Berg, Anna,\r\n"));
        QVERIFY(messages[1].Content.contains("\r\nTo: Dr. Carl Dorn <carl@example.org>\r\n"));
        // An address that would put a second one into To is skipped before the server sees it.
        QVERIFY2(LogLines(*form).contains("Record 3 skipped: \">\" in the domain of the e-mail address."),
                 qPrintable(LogLines(*form).join('|')));
        // The sink offers no SMTPUTF8: an address with letters beyond ASCII before the "@" is skipped, not sent raw.
        QVERIFY2(LogLines(*form).contains(QStringLiteral("Record 5 skipped: ") + TMailingRun::NoSmtpUtf8Reason + "."),
                 qPrintable(LogLines(*form).join('|')));
    }

    // A 421 closes the service and the server is gone when the run reconnects: the failed attempt is not reported
    // in the words of the earlier connection's last reply.
    void reconnectFailsAfterClosedService() {
        auto server = std::make_unique<ScriptedServer>();
        QVERIFY(server->IsListening());
        server->SetReplies("RCPT", {ScriptedServer::Send("250 OK\r\n"),
                                    ScriptedServer::SendAndClose("421 4.3.2 closing\r\n")});
        auto form = ReadyWizard(server->Port(), FTable);
        form->RetryDelays.clear(); // the deferred message is not tried again
        int attempts = 0;
        FTrace->OnStatus = [&](const QString& status) {
            if (status == QStringLiteral("Connecting") && ++attempts == 2)
                server.reset(); // nobody listens any more
        };
        Start(*form);

        QCOMPARE(attempts, 2);
        QCOMPARE(LogLines(*form), (QStringList{"Error when sending mail to: Carl Dorn <carl@example.org>",
                                               "Server says: 421 4.3.2 closing",
                                               "Can't connect to host '127.0.0.1': Connection refused",
                                               "Aborted: lost connection to SMTP server at position 2.",
                                               "Connection closed", "1 messages sent.", Summary(0, 1, 0, 0, 1)}));
        QCOMPARE(LogRows(),
                 (QStringList{"421 4.3.2 closing|Carl Dorn|carl@example.org",
                              "Aborted: lost connection to SMTP server at positio|Eva Falk|eva@example.org"}));
        QCOMPARE(Field(*form, "edtErrorCount"), QStringLiteral("2"));
    }
};

QTEST_MAIN(TestMailingRun)
#include "tst_mailingrun.moc"
