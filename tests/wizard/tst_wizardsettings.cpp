// The wizard's settings in a real store: round trip, defaults, the field lists and the Browse dialog.
#include "tests/wizard/WizardFixture.h"
#include "tests/framework/ModalAnswer.h"

#include "mailing/MailingCheck.h"
#include "mailing/SettingsTable.h"
#include "smtp/SmtpClient.h"
#include "table/Table.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>

class TestWizardSettings : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FSettings;
    QTemporaryDir FDir;
    QString FTable;

    static QStringList Items(QWidget& form, const char* combo) {
        QComboBox* box = Find<QComboBox>(form, combo);
        QStringList items;
        for (int i = 0; i < box->count(); ++i)
            items << box->itemText(i);
        return items;
    }

    static void CloseSaying(TMailWizardForm& form, const QString& answer) {
        auto seen = AnswerNextBox(answer);
        QVERIFY(form.close());
        QVERIFY(seen->Shown);
    }

private slots:
    void initTestCase() {
        QVERIFY(FSettings.isValid() && FDir.isValid());
        UseTemporarySettings(FSettings);
        FTable = FDir.filePath("people.dbf");
        MakeTable(FTable, "FIRST C(10); EMAIL C(40); FIRMA C(30); ANREDE C(10)",
                  {{"Eva", "eva@example.org", "Eva GmbH", "Frau"}});
    }

    void init() { RawSettings().clear(); }

    void roundTrip() {
        const QString body = "Dear %D %N,\n\n\nwe write to %E.\n  indented line\n\nBye\n";
        {
            auto form = ShowWizard();
            Find<QLineEdit>(*form, "edtSubject")->setText("Gr\u00fc\u00dfe, all");
            Find<QPlainTextEdit>(*form, "memMessage")->setPlainText(body);
            Find<QLineEdit>(*form, "edtSMTPServer")->setText("mail.example.org");
            Find<QLineEdit>(*form, "edtName")->setText("Anna Berg");
            Find<QLineEdit>(*form, "edtOrganization")->setText("Berg Books");
            Find<QLineEdit>(*form, "edtReturnAddress")->setText("anna@example.org");
            Find<QSlider>(*form, "trbTimeout")->setValue(45);
            Find<QLineEdit>(*form, "edtWrapLines")->setText("72");
            Find<QCheckBox>(*form, "chbClearLog")->setChecked(true);
            Find<QLineEdit>(*form, "edtTable")->setText(FTable);
            Find<QComboBox>(*form, "cmbName")->setEditText("FIRST");
            Find<QComboBox>(*form, "cmbOrganization")->setEditText("FIRMA");
            Find<QComboBox>(*form, "cmbEmail")->setEditText("EMAIL");
            Find<QComboBox>(*form, "cmbDear")->setEditText("ANREDE");
            SetScope(*form, "2", "900");
            CloseSaying(*form, "&Yes");
        }
        QSettings raw = RawSettings();
        // Stored as the 8-bit programs stored it: CR LF breaks, numbers and booleans as text.
        QCOMPARE(raw.value("Message/Text").toString(), QString(body).replace("\n", "\r\n"));
        QCOMPARE(raw.value("Settings/Timeout").toString(), QStringLiteral("45"));
        QCOMPARE(raw.value("Settings/Clear Error Log").toString(), QStringLiteral("1"));
        QCOMPARE(raw.value("Settings/Limit Scope").toString(), QStringLiteral("1"));
        QCOMPARE(raw.value("Settings/E-mail Field").toString(), QStringLiteral("EMAIL"));

        auto form = ShowWizard();
        QVERIFY(!form->SettingsChanged);
        QCOMPARE(Find<QLineEdit>(*form, "edtSubject")->text(), QStringLiteral("Gr\u00fc\u00dfe, all"));
        QCOMPARE(Find<QPlainTextEdit>(*form, "memMessage")->toPlainText(), body);
        QCOMPARE(form->MessageBody(), QString(body).replace("\n", "\r\n").toStdString());
        QCOMPARE(Find<QLineEdit>(*form, "edtSMTPServer")->text(), QStringLiteral("mail.example.org"));
        QCOMPARE(Find<QLineEdit>(*form, "edtName")->text(), QStringLiteral("Anna Berg"));
        QCOMPARE(Find<QLineEdit>(*form, "edtOrganization")->text(), QStringLiteral("Berg Books"));
        QCOMPARE(Find<QLineEdit>(*form, "edtReturnAddress")->text(), QStringLiteral("anna@example.org"));
        QCOMPARE(Find<QSlider>(*form, "trbTimeout")->value(), 45);
        QCOMPARE(Find<QLabel>(*form, "lblTimeout")->text(), QStringLiteral("45 sec"));
        QCOMPARE(Find<QLineEdit>(*form, "edtWrapLines")->text(), QStringLiteral("72"));
        QVERIFY(Find<QCheckBox>(*form, "chbClearLog")->isChecked());
        QCOMPARE(Find<QLineEdit>(*form, "edtTable")->text(), FTable);
        QCOMPARE(QString::fromStdString(form->tblRecipients->TableName()), FTable);
        QCOMPARE(Find<QComboBox>(*form, "cmbName")->currentText(), QStringLiteral("FIRST"));
        QCOMPARE(Find<QComboBox>(*form, "cmbOrganization")->currentText(), QStringLiteral("FIRMA"));
        QCOMPARE(Find<QComboBox>(*form, "cmbEmail")->currentText(), QStringLiteral("EMAIL"));
        QCOMPARE(Find<QComboBox>(*form, "cmbDear")->currentText(), QStringLiteral("ANREDE"));
        QVERIFY(Find<QCheckBox>(*form, "chbLimit")->isChecked());
        QVERIFY(Find<QLineEdit>(*form, "edtScopeFrom")->isEnabled());
        QCOMPARE(Find<QLineEdit>(*form, "edtScopeFrom")->text(), QStringLiteral("2"));
        QCOMPARE(Find<QLineEdit>(*form, "edtScopeTo")->text(), QStringLiteral("900"));
        QVERIFY(form->close());
    }

    void unreadableValuesFallBack_data() {
        QTest::addColumn<QString>("timeout");
        QTest::addColumn<int>("shown");
        QTest::newRow("letters") << "abc" << 20;
        QTest::newRow("below the range") << "5" << 10;
        QTest::newRow("above the range") << "75" << 60;
        QTest::newRow("hex") << "0x28" << 40;
    }

    void unreadableValuesFallBack() {
        QFETCH(QString, timeout);
        QFETCH(int, shown);
        {
            QSettings raw = RawSettings();
            raw.setValue("Settings/Timeout", timeout);
            raw.setValue("Settings/Clear Error Log", "perhaps");
            raw.setValue("Settings/Limit Scope", "0x1");
        }
        auto form = ShowWizard();
        QCOMPARE(Find<QSlider>(*form, "trbTimeout")->value(), shown);
        QCOMPARE(Find<QLabel>(*form, "lblTimeout")->text(), QString::number(shown) + " sec");
        QVERIFY(!Find<QCheckBox>(*form, "chbClearLog")->isChecked());
        QVERIFY(Find<QCheckBox>(*form, "chbLimit")->isChecked());
        // Defaults stay what the controls held.
        QCOMPARE(Find<QLineEdit>(*form, "edtWrapLines")->text(), QStringLiteral("80"));
        QCOMPARE(Find<QLineEdit>(*form, "edtScopeFrom")->text(), QStringLiteral("1"));
        QVERIFY(form->close());
    }

    // The Security dialog's connections: what it stores, and a hand-edited value read as the nearest the run can
    // use, alike by the window's box and by the check quorvel-send runs on the stored file.
    void connectionsSetting() {
        {
            auto form = ShowWizard();
            QSpinBox* box = Find<QSpinBox>(*form, "spnConnections");
            QCOMPARE((QList<int>{box->minimum(), box->value(), box->maximum()}), (QList<int>{1, 1, 8}));
            box->setValue(4);
            form->SaveSettings();
            form->SettingsChanged = false;
            QVERIFY(form->close());
        }
        QCOMPARE(RawSettings().value("Settings/Connections").toString(), QStringLiteral("4"));
        const QList<std::pair<QString, int>> cases{{"4", 4}, {"0", 1}, {"99", 8}, {"-2", 1}, {"x", 1}};
        for (const auto& [stored, read] : cases) {
            RawSettings().setValue("Settings/Connections", stored);
            auto form = ShowWizard();
            TSmtpClient client;
            const TMailingCheck check(SettingsTable::Load(*form->RegSettings), client);
            QCOMPARE((QList<int>{Find<QSpinBox>(*form, "spnConnections")->value(), check.RunSettings().Connections}),
                     (QList<int>{read, read}));
            QVERIFY(form->close());
        }
    }

    void fieldListsFillFromTheNameList() {
        auto form = ShowWizard();
        QLineEdit* table = SetTable(*form, FTable);
        form->edtTableExit(table);
        Find<QComboBox>(*form, "cmbEmail")->setEditText("typed");
        for (const char* other : {"cmbOrganization", "cmbEmail", "cmbDear"})
            QVERIFY(Items(*form, other).isEmpty());

        QComboBox* name = Find<QComboBox>(*form, "cmbName");
        name->showPopup();
        name->hidePopup();
        const QStringList fields{"FIRST", "EMAIL", "FIRMA", "ANREDE"};
        for (const char* combo : {"cmbName", "cmbOrganization", "cmbEmail", "cmbDear"})
            QCOMPARE(Items(*form, combo), fields);
        // Filling the lists keeps what was typed.
        QCOMPARE(Find<QComboBox>(*form, "cmbEmail")->currentText(), QStringLiteral("typed"));
        QCOMPARE(name->currentText(), QString());

        // A new table empties the lists but not the texts; leaving the edit unchanged keeps them.
        form->edtTableExit(table);
        QCOMPARE(Items(*form, "cmbDear"), fields);
        table->setText(FDir.filePath("other.dbf"));
        table->setModified(true);
        form->edtTableExit(table);
        for (const char* combo : {"cmbName", "cmbOrganization", "cmbEmail", "cmbDear"})
            QVERIFY(Items(*form, combo).isEmpty());
        QCOMPARE(Find<QComboBox>(*form, "cmbEmail")->currentText(), QStringLiteral("typed"));
        form->SettingsChanged = false;
    }

    // A table that cannot be read explains itself instead of taking the program down.
    void unreadableTableInTheNameList() {
        auto form = ShowWizard();
        QLineEdit* table = SetTable(*form, FDir.filePath("absent.dbf"));
        form->edtTableExit(table);
        auto seen = AnswerNextBox("OK");
        Find<QComboBox>(*form, "cmbName")->showPopup();
        QTRY_VERIFY(seen->Shown);
        QCOMPARE(seen->Title, QStringLiteral("Warning"));
        Find<QComboBox>(*form, "cmbName")->hidePopup();
        QVERIFY(Items(*form, "cmbName").isEmpty());
        form->SettingsChanged = false;
    }

    void browsePicksATable() {
        auto form = ShowWizard();
        QComboBox* name = Find<QComboBox>(*form, "cmbName");
        name->addItem("OLD");
        QString filters;
        QTimer::singleShot(0, [this, &filters] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            filters = dialog->nameFilters().join(';');
            dialog->selectFile(FTable);
            static_cast<QDialog*>(dialog)->accept();
        });
        Find<QPushButton>(*form, "btnBrowse")->click();
        QCOMPARE(filters, QStringLiteral("Dbase and Foxpro Tables (*.dbf *.DBF);All Files (*)"));
        QCOMPARE(Find<QLineEdit>(*form, "edtTable")->text(), FTable);
        QCOMPARE(QString::fromStdString(form->tblRecipients->TableName()), FTable);
        QVERIFY(Items(*form, "cmbName").isEmpty());
        QVERIFY(form->SettingsChanged);

        // The same name again changes nothing.
        name->addItem("KEPT");
        form->SettingsChanged = false;
        QTimer::singleShot(0, [this] {
            if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                dialog->selectFile(FTable);
                static_cast<QDialog*>(dialog)->accept();
            }
        });
        Find<QPushButton>(*form, "btnBrowse")->click();
        QCOMPARE(Items(*form, "cmbName"), QStringList{"KEPT"});
        QVERIFY(!form->SettingsChanged);
    }

    // Page 2's files and HTML version and page 4's attachment field and folder: chosen in the controls, saved to
    // the settings and shown again.
    void messageFiles() {
        const QString price = FDir.filePath("price list.pdf");
        const QString terms = FDir.filePath("terms.txt");
        for (const QString& path : {price, terms}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        {
            auto form = ShowWizard();
            auto* list = Find<QListWidget>(*form, "lstAttachments");
            auto* remove = Find<QPushButton>(*form, "btnRemoveAttachment");
            QTimer::singleShot(0, [&] {
                if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                    dialog->selectFile(price);
                    static_cast<QDialog*>(dialog)->accept();
                }
            });
            Find<QPushButton>(*form, "btnAddAttachment")->click();
            form->AddAttachments({terms, price, FDir.filePath("a;b.pdf")}); // listed once; ";" cannot be kept
            QCOMPARE(list->count(), 2);
            QVERIFY(!remove->isEnabled());
            list->item(0)->setSelected(true);
            remove->click();
            QCOMPARE(list->item(0)->text(), terms);
            Find<QLineEdit>(*form, "edtHtmlFile")->setText(FDir.filePath("letter.html"));
            form->edtTableExit(SetTable(*form, FTable));
            auto* field = Find<QComboBox>(*form, "cmbAttachmentField");
            field->showPopup();
            QCOMPARE(Items(*form, "cmbAttachmentField"), (QStringList{"", "FIRST", "EMAIL", "FIRMA", "ANREDE"}));
            field->hidePopup();
            field->setCurrentIndex(3);
            Find<QLineEdit>(*form, "edtAttachmentFolder")->setText(FDir.path());
            CloseSaying(*form, "&Yes");
        }
        QSettings raw = RawSettings();
        QCOMPARE(raw.value("Message/Attachments").toString(), terms);
        QCOMPARE(raw.value("Message/Attachment Field").toString(), QStringLiteral("FIRMA"));
        QCOMPARE(raw.value("Message/Attachment Folder").toString(), FDir.path());
        QCOMPARE(raw.value("Message/HTML File").toString(), FDir.filePath("letter.html"));
        raw.setValue("Message/Attachments", terms + "; " + price);
        raw.sync();
        auto form = ShowWizard();
        QCOMPARE(Find<QListWidget>(*form, "lstAttachments")->count(), 2);
        QCOMPARE(form->Job().Attachments, terms + ";" + price);
        QCOMPARE(Find<QComboBox>(*form, "cmbAttachmentField")->currentText(), QStringLiteral("FIRMA"));
    }
};

QTEST_MAIN(TestWizardSettings)
#include "tst_wizardsettings.moc"
