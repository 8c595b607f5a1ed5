// The check before a run: each step's message, the scope, the mapped fields, the ready page and the error log.
#include "tests/wizard/WizardFixture.h"
#include "tests/framework/ModalAnswer.h"

#include "smtp/SmtpClient.h"
#include "table/Table.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>

class TestWizardCheck : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FSettings;
    QTemporaryDir FDir;
    QString FTable;

    // A wizard on page 4 with every setting valid; the test spoils one. Blanks around the texts are trimmed.
    std::unique_ptr<TMailWizardForm> ValidWizard() {
        auto form = FilledWizard(FDir.path(), FTable, " 127.0.0.1 ", 0);
        Find<QLineEdit>(*form, "edtSubject")->setText("  Autumn news ");
        for (int i = 0; i < 3; ++i)
            Find<QPushButton>(*form, "btnNext")->click();
        return form;
    }

    static QString Failure(const QString& message) { return message + " \n\nPlease check settings."; }

    static void VerifyNotReady(TMailWizardForm& form) {
        QCOMPARE(form.PageNo, 4);
        QCOMPARE(Find<QStackedWidget>(form, "stkPages")->currentWidget()->objectName(), QStringLiteral("pnlPage4"));
        QCOMPARE(Find<QLabel>(form, "lblTitle")->text(), QStringLiteral("Not ready"));
        // The widget that has the focus whenever the window is active (the box took the activation away).
        QCOMPARE(form.focusWidget(), Find<QWidget>(form, "btnBack"));
        QVERIFY(Find<QPushButton>(form, "btnNext")->isEnabled());
        QVERIFY(!form.tblRecipients->Active());
    }

private slots:
    void initTestCase() {
        QVERIFY(FSettings.isValid() && FDir.isValid());
        UseTemporarySettings(FSettings);
        FTable = FDir.filePath("recipients.dbf");
        MakeTable(FTable, "NAME C(20); EMAIL C(40); COMPANY C(30)",
                  {{"Deleted Person", "gone@example.org", "X"},
                   {"Maximilian Huber", "max@example.org", "Huber AG"},
                   {"Eva", "eva@example.org", ""},
                   {"Olaf", "olaf@example.org", "Olaf Ltd"}},
                  {0});
    }

    void init() {
        RawSettings().clear();
        QFile::remove(FDir.filePath("mail_log.dbf"));
    }

    void subjectOfBlanks() {
        auto form = ValidWizard();
        Find<QLineEdit>(*form, "edtSubject")->setText(" \t ");
        QCOMPARE(CheckWarning(*form), Failure("No message subject specified."));
        VerifyNotReady(*form);
        // Next again repeats the check.
        QCOMPARE(CheckWarning(*form), Failure("No message subject specified."));
        VerifyNotReady(*form);
        form->SettingsChanged = false;
    }

    void stepsInOrder_data() {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("message");
        QTest::newRow("body of blank lines") << "memMessage"
                                             << " \n \n"
                                             << "Message is empty.";
        QTest::newRow("no server") << "edtSMTPServer"
                                   << "  "
                                   << "No SMTP mail server specified.";
        QTest::newRow("no return address") << "edtReturnAddress"
                                           << ""
                                           << "No return address specified.";
        QTest::newRow("no wrap column") << "edtWrapLines"
                                        << ""
                                        << "Invalid line wrap column specified.";
        QTest::newRow("no table") << "edtTable"
                                  << ""
                                  << "No recipient table specified.";
        QTest::newRow("no e-mail field") << "cmbEmail"
                                         << ""
                                         << "No e-mail field specified in recipient's table.";
        QTest::newRow("return address beyond ASCII") << "edtReturnAddress"
                                                     << "zo\u00eb@example.org"
                                                     << "The return address holds characters that cannot be sent "
                                                        "(an e-mail address must be plain ASCII).";
    }

    void stepsInOrder() {
        QFETCH(QString, control);
        QFETCH(QString, value);
        QFETCH(QString, message);
        auto form = ValidWizard();
        QWidget* target = Find<QWidget>(*form, control.toLatin1().constData());
        if (auto* edit = qobject_cast<QLineEdit*>(target)) {
            edit->setText(value);
            edit->setModified(true);
        } else if (auto* memo = qobject_cast<QPlainTextEdit*>(target)) {
            memo->setPlainText(value);
        } else {
            // The table is taken first (its known fields fill empty boxes); the user empties the box afterwards.
            form->edtTableExit(target);
            qobject_cast<QComboBox*>(target)->setEditText(value);
        }
        QCOMPARE(CheckWarning(*form), Failure(message));
        VerifyNotReady(*form);
        form->SettingsChanged = false;
    }

    // A table's usual field names fill the boxes the user left empty when the table is taken; a field the user
    // chose stays; the code page the table is read in shows as text.
    void knownFieldsMapped() {
        const QString table = FDir.filePath("known.dbf");
        MakeTable(table, "FULLNAME C(20); NAME C(20); ORGANIZATI C(30); E_MAIL C(40); SALUTATION C(10)",
                  Rows({"Anna Berg|Anna|Berg AG|anna@example.org|Ms."}));
        auto form = ShowWizard();
        Find<QComboBox>(*form, "cmbName")->setEditText("FULLNAME");
        SetTable(*form, table);
        form->edtTableExit(form.get());
        QStringList mapped;
        for (const char* box : {"cmbName", "cmbOrganization", "cmbEmail", "cmbDear"})
            mapped << Find<QComboBox>(*form, box)->currentText();
        QCOMPARE(mapped, (QStringList{"FULLNAME", "ORGANIZATI", "E_MAIL", "SALUTATION"}));
        QCOMPARE(Find<QLabel>(*form, "lblCodePageUsed")->text(), QStringLiteral("Read as CP1252"));
        form->SettingsChanged = false;
    }

    // Any language passes: the client gets UTF-8 and picks the message's charset itself.
    void anyTextPasses() {
        auto form = ValidWizard();
        Find<QLineEdit>(*form, "edtSubject")->setText(QStringLiteral("Новости € für %N"));
        Find<QLineEdit>(*form, "edtOrganization")->setText(QStringLiteral("€ Shop"));
        Find<QLineEdit>(*form, "edtName")->setText(QStringLiteral("Zoë"));
        QCOMPARE(CheckWarning(*form), QString());
        QCOMPARE(form->SmtpClient->HdrSubject() + '|' + form->SmtpClient->HdrFrom(),
                 std::string("Новости € für %N|Zoë <anna@example.org>"));
        form->SettingsChanged = false;
    }

    // Every mapped field of every record in the scope is read: a byte of no character names its record.
    void undecodableByteIsNamed() {
        const QString table = FDir.filePath("cyrillic.dbf");
        MakeTable(table, "NAME C(20); EMAIL C(40)",
                  {{QStringLiteral("Иван"), "ivan@example.org"}, {"ok", "ok@example.org"}, {"XQX", "x@example.org"}},
                  {}, "cp1251");
        QFile file(table);
        QVERIFY(file.open(QIODevice::ReadWrite));
        const QByteArray bytes = file.readAll().replace("XQX", "X\x98X"); // 0x98 is no character in Windows-1251
        QVERIFY(file.seek(0) && file.write(bytes) == bytes.size());
        file.close();
        auto form = ValidWizard();
        SetTable(*form, table);
        QCOMPARE(CheckWarning(*form),
                 Failure("Record 3, field NAME does not read in code page CP1251:\nbyte 0x98 at position 2 does not "
                         "stand for a character in code page CP1251.\nChoose the table's code page on this page."));
        VerifyNotReady(*form);
        // Outside the scope it does not matter; the run starts at the scope's first record.
        SetScope(*form, "2", "2");
        QCOMPARE(CheckWarning(*form), QString());
        QCOMPARE(form->tblRecipients->RecNo(), 2);
        form->SettingsChanged = false;
    }

    // Beside the code page choice, the first record as it reads in the chosen code page; the choice is kept.
    void codePageChoice() {
        const QString table = FDir.filePath("dos.dbf");
        MakeTable(table, "NAME C(20); EMAIL C(40)", {{QStringLiteral("Иван Петров"), "ivan@example.org"}}, {}, "cp866");
        auto form = ValidWizard();
        SetTable(*form, table);
        form->edtTableExit(nullptr);
        auto* preview = Find<QLabel>(*form, "lblCodePagePreview");
        QVERIFY2(preview->toolTip().startsWith(QStringLiteral("Иван Петров <ivan@example.org>\nRead as CP866")),
                 qPrintable(preview->toolTip()));
        QComboBox* codePage = Find<QComboBox>(*form, "cmbCodePage");
        codePage->setCurrentIndex(codePage->findData("CP1251"));
        QVERIFY(preview->toolTip().contains("Read as CP1251"));
        form->SaveSettings();
        form->SettingsChanged = false;
        form.reset();
        auto again = ShowWizard();
        QCOMPARE(Find<QComboBox>(*again, "cmbCodePage")->currentData().toString(), QStringLiteral("CP1251"));
        again->SettingsChanged = false;
    }

    // The client's properties are set as the check goes, even when a later step fails.
    void clientProperties() {
        auto form = ValidWizard();
        SetTable(*form, QString());
        CheckWarning(*form);
        QCOMPARE(form->SmtpClient->HdrSubject(), std::string("Autumn news"));
        QCOMPARE(form->SmtpClient->Host(), std::string("127.0.0.1"));
        QCOMPARE(form->SmtpClient->FromName(), std::string("anna@example.org"));
        QCOMPARE(form->SmtpClient->HdrFrom(), std::string("Anna Berg <anna@example.org>"));
        Find<QLineEdit>(*form, "edtName")->setText("   ");
        CheckWarning(*form);
        QCOMPARE(form->SmtpClient->HdrFrom(), std::string("anna@example.org"));
        form->SettingsChanged = false;
    }

    void missingTableShowsItsPath() {
        auto form = ValidWizard();
        const QString path = FDir.filePath("no such folder/people.dbf");
        SetTable(*form, path);
        QCOMPARE(CheckWarning(*form), Failure("Can't find recipient table:\n" + path));
        SetTable(*form, FDir.path());
        QCOMPARE(CheckWarning(*form), Failure("Can't find recipient table:\n" + FDir.path()));
        VerifyNotReady(*form);
        form->SettingsChanged = false;
    }

    // A file that is no table says so, with the engine's reason, whether or not an e-mail field is mapped
    // (a text file renamed .dbf leaves the field lists empty), and so does the field drop-down.
    void unreadableTable_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("reason");
        QTest::newRow("short file, e-mail field typed") << QByteArray("this is not a table") << "EMAIL"
                                                        << "The file is too short to be a table (19 bytes).";
        QTest::newRow("text file, no field mapped")
            << QByteArray("Hello,\nthis is a letter and no table at all, however long it may be.\n") << ""
            << "Not a dBase or FoxPro table (version byte 0x48).";
    }

    void unreadableTable() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, email);
        QFETCH(QString, reason);
        const QString broken = FDir.filePath("broken.dbf");
        QFile file(broken);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size());
        file.close();
        auto form = ValidWizard();
        SetTable(*form, broken);
        Find<QComboBox>(*form, "cmbEmail")->setEditText(email);
        const QString expected = Failure("Can't open recipient table:\n" + broken + "\n" + reason);
        QCOMPARE(CheckWarning(*form), expected);
        VerifyNotReady(*form);

        auto seen = AnswerNextBox("OK");
        Find<QComboBox>(*form, "cmbName")->showPopup();
        QCOMPARE(seen->Text, expected);
        QCOMPARE(Find<QComboBox>(*form, "cmbEmail")->count(), 0);
        form->SettingsChanged = false;
    }

    // Three visible records: the deleted first one does not count.
    void invalidScopes_data() {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("message");
        const QString invalid = "Invalid scope specified.";
        QTest::newRow("5 to 3") << "5"
                                << "3" << invalid;
        QTest::newRow("0 to 3") << "0"
                                << "3" << invalid;
        QTest::newRow("beyond the count") << "1"
                                          << "4" << invalid;
        QTest::newRow("empty from") << ""
                                    << "3"
                                    << "Can't open recipient table:\n";
        QTest::newRow("not a number") << "1"
                                      << "3x"
                                      << "Can't open recipient table:\n";
    }

    void invalidScopes() {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QString, message);
        auto form = ValidWizard();
        SetScope(*form, from, to);
        if (message.endsWith('\n'))
            message += FTable;
        QCOMPARE(CheckWarning(*form), Failure(message));
        VerifyNotReady(*form);
        form->SettingsChanged = false;
    }

    void validScopesStartAtTheirFirstRecord_data() {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("email");
        QTest::newRow("whole table") << "1"
                                     << "3"
                                     << "max@example.org";
        QTest::newRow("from the second") << "2"
                                         << "3"
                                         << "eva@example.org";
        QTest::newRow("hex numbers") << "0x3"
                                     << "0x3"
                                     << "olaf@example.org";
    }

    void validScopesStartAtTheirFirstRecord() {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QString, email);
        auto form = ValidWizard();
        SetScope(*form, from, to);
        QCOMPARE(CheckWarning(*form), QString());
        QVERIFY(form->tblRecipients->Active());
        QCOMPARE(QString::fromStdString(form->tblRecipients->FieldByName("EMAIL").AsString()), email);
        form->SettingsChanged = false;
    }

    // A field the table lacks is told by the check, the attachment field's too, never at the first recipient.
    void missingMappedField_data() {
        QTest::addColumn<QString>("combo");
        QTest::newRow("salutation") << "cmbDear";
        QTest::newRow("attachment field") << "cmbAttachmentField";
    }
    void missingMappedField() {
        QFETCH(QString, combo);
        auto form = ValidWizard();
        Find<QComboBox>(*form, qPrintable(combo))->setEditText("SALUTE");
        QCOMPARE(CheckWarning(*form), Failure("Invalid field in recipient table:\nField 'SALUTE' not found"));
        VerifyNotReady(*form);
        form->SettingsChanged = false;
    }

    void readyPageAndBack() {
        auto form = ValidWizard();
        QCOMPARE(CheckWarning(*form), QString());
        QPushButton* next = Find<QPushButton>(*form, "btnNext");
        QCOMPARE(form->PageNo, 5);
        QCOMPARE(Find<QStackedWidget>(*form, "stkPages")->currentWidget()->objectName(), QStringLiteral("pnlPage5"));
        QCOMPARE(Find<QLabel>(*form, "lblTitle")->text(), QStringLiteral("Ready to send mail"));
        QCOMPARE(next->text(), QStringLiteral("Start!"));
        QCOMPARE(next->toolTip(), QStringLiteral("Begin mailing"));
        QCOMPARE(form->focusWidget(), next);
        QVERIFY(form->tblRecipients->Active());
        QVERIFY(form->tblLog && form->tblLog->Active());
        QCOMPARE(form->ErrorLogFolder(), FDir.path() + "/");
        QCOMPARE(ReadTable(FDir.filePath("mail_log.dbf")), QStringList{"ERR_TEXT:C:50;NAME:C:10;E_MAIL:C:50"});

        Find<QPushButton>(*form, "btnBack")->click();
        QCOMPARE(form->PageNo, 4);
        QCOMPARE(Find<QLabel>(*form, "lblTitle")->text(), QStringLiteral("Prepare recipient list"));
        QCOMPARE(next->text(), QStringLiteral("&Next >"));
        QVERIFY(next->toolTip().isEmpty());
        QVERIFY(!form->tblRecipients->Active());
        QVERIFY(!form->tblLog);
        form->SettingsChanged = false;
    }

    // A path typed and confirmed with Enter is the one checked, not the one before it.
    void tableConfirmedWithEnter() {
        auto form = ValidWizard();
        QLineEdit* table = Find<QLineEdit>(*form, "edtTable");
        table->setFocus();
        table->selectAll();
        const QString missing = FDir.filePath("elsewhere.dbf");
        QTest::keyClicks(table, missing);
        auto seen = AnswerNextBox("OK");
        QTest::keyClick(table, Qt::Key_Return);
        QCOMPARE(seen->Text, Failure("Can't find recipient table:\n" + missing));
        form->SettingsChanged = false;
    }

    void logRows() {
        auto form = ValidWizard();
        QCOMPARE(CheckWarning(*form), QString());
        // "Maximilian Huber" is cut to the 10 characters of NAME.
        form->AppendErrorLog("550 No such user here");
        Find<QComboBox>(*form, "cmbName")->setEditText("");
        form->AppendErrorLog("User aborted at position 1.");
        const QString log = FDir.filePath("mail_log.dbf");
        QCOMPARE(ReadTable(log).mid(1), (QStringList{"550 No such user here|Maximilian|max@example.org",
                                                     "User aborted at position 1.||max@example.org"}));

        // Rows stay from run to run unless the reset box is ticked.
        Find<QPushButton>(*form, "btnBack")->click();
        QCOMPARE(CheckWarning(*form), QString());
        QCOMPARE(ReadTable(log).size(), 3);
        Find<QPushButton>(*form, "btnBack")->click();
        Find<QCheckBox>(*form, "chbClearLog")->setChecked(true);
        QCOMPARE(CheckWarning(*form), QString());
        QCOMPARE(ReadTable(log).size(), 1);
        form->SettingsChanged = false;
    }

    // The log lies beside the program, whatever the current directory is.
    void logInTheProgramFolder() {
        const QString log = QCoreApplication::applicationDirPath() + "/mail_log.dbf";
        const bool existed = QFile::exists(log);
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(FDir.path()));
        auto form = ValidWizard();
        form->LogFolder.clear();
        const QString text = CheckWarning(*form);
        QDir::setCurrent(before);
        QCOMPARE(text, QString());
        QCOMPARE(form->ErrorLogFolder(), QCoreApplication::applicationDirPath() + "/");
        QVERIFY(QFile::exists(log));
        QVERIFY(!QFile::exists(FDir.filePath("mail_log.dbf")));
        Find<QPushButton>(*form, "btnBack")->click();
        if (!existed)
            QFile::remove(log);
        form->SettingsChanged = false;
    }

    // A mail_log.dbf of another structure is refused by the check, not at the run's first failure; the reset
    // box replaces it with a log of the right fields.
    void logTableOfAnotherStructure() {
        const QString log = FDir.filePath("mail_log.dbf");
        MakeTable(log, "REMARK C(5)", {{"kept"}});
        auto form = ValidWizard();
        QCOMPARE(CheckWarning(*form), Failure("Can't create error log table: " + FDir.path() + "/mail_log.dbf"));
        VerifyNotReady(*form);
        QVERIFY(!form->tblLog);
        QCOMPARE(ReadTable(log), (QStringList{"REMARK:C:5", "kept"}));

        Find<QCheckBox>(*form, "chbClearLog")->setChecked(true);
        QCOMPARE(CheckWarning(*form), QString());
        QCOMPARE(ReadTable(log), QStringList{"ERR_TEXT:C:50;NAME:C:10;E_MAIL:C:50"});
        form->SettingsChanged = false;
    }
};

QTEST_MAIN(TestWizardCheck)
#include "tst_wizardcheck.moc"
