// The pre-flight summary in the window: shown when the check passes, its list, its keys, and Back to page 4.
#include "tests/app/WizardFixture.h"

#include "table/Table.h"

#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

class TestPreflightDialog : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FSettings;
    QTemporaryDir FDir;
    QString FTable;

    // A wizard on page 4 with every setting valid for the given table; the subject names a field the table lacks.
    std::unique_ptr<TMailWizardForm> Page4(const QString& table) {
        auto form = FilledWizard(FDir.path(), table, "127.0.0.1");
        Find<QLineEdit>(*form, "edtSubject")->setText("News for %O");
        form->SettingsChanged = false;
        return form;
    }

    static void Next(TMailWizardForm& form) { Find<QPushButton>(form, "btnNext")->click(); }

private slots:
    void initTestCase() {
        QVERIFY(FSettings.isValid() && FDir.isValid());
        UseTemporarySettings(FSettings);
        FTable = FDir.filePath("recipients.dbf");
        MakeTable(FTable, "NAME C(20); EMAIL C(40)",
                  {{"Anna Berg", "anna@example.org"},
                   {"Gone", "gone@example.org"},
                   {"Carl Dorn", ""},
                   {"Eva Falk", "eva at example.org"},
                   {"Anna again", "Anna@example.org"}},
                  {1});
    }

    // The box comes between the passed check and "Start!", with the run's figures; "Show list" lists the records
    // to look at with their reasons.
    void figuresAndList() {
        auto form = Page4(FTable);
        TPreflightAnswerer* answer = Preflight(*form);
        QStringList rows;
        bool listShown = false;
        answer->OnShown = [&](QDialog* box) {
            auto* show = box->findChild<QPushButton*>("btnShowList");
            show->click();
            auto* list = box->findChild<QTreeWidget*>("lstRecords");
            listShown = list->isVisible() && show->text() == QStringLiteral("Hide &list");
            for (int i = 0; i < list->topLevelItemCount(); ++i) {
                const QTreeWidgetItem* item = list->topLevelItem(i);
                rows << QStringList{item->text(0), item->text(1), item->text(2), item->text(3)}.join('|');
            }
        };
        Next(*form);
        QCOMPARE(answer->Shown, 1);
        QCOMPARE(
            answer->Lines,
            (QStringList{"Records in the scope: 4", "Messages to send: 2", "Deleted records passed over: 1",
                         "Records without an e-mail address: 1", "Malformed addresses: 1", "Duplicate addresses: 1",
                         "Records with text that does not decode: 0", "Placeholders without a field: %O in the subject",
                         "Longest body line: 65 characters (wrapped at 80)"}));
        QVERIFY(listShown);
        QCOMPARE(rows, (QStringList{"2|Carl Dorn||no e-mail address",
                                    "3|Eva Falk|eva at example.org|blank inside the e-mail address",
                                    "4|Anna again|Anna@example.org|same address as record 1"}));
    }

    // Enter (the default, Continue) leads to "Start!"; Back stays on page 4 with both tables closed, and the next
    // Next checks and asks again.
    void answers_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("page");
        QTest::newRow("Enter") << "" << int(Qt::Key_Return) << 5;
        QTest::newRow("Back") << "btnBack" << 0 << 4;
    }

    void answers() {
        QFETCH(QString, button);
        QFETCH(int, key);
        auto form = Page4(FTable);
        TPreflightAnswerer* answer = Preflight(*form);
        answer->Button = button;
        if (key)
            answer->OnShown = [key](QDialog* box) { QTest::keyClick(box, Qt::Key(key)); };
        Next(*form);
        QCOMPARE(answer->Shown, 1);
        QTEST(form->PageNo, "page");
        if (form->PageNo == 5) {
            QCOMPARE(Find<QPushButton>(*form, "btnNext")->text(), QStringLiteral("Start!"));
            return;
        }
        QCOMPARE(Find<QLabel>(*form, "lblTitle")->text(), QStringLiteral("Prepare recipient list"));
        QCOMPARE(Find<QPushButton>(*form, "btnNext")->text(), QStringLiteral("&Next >"));
        QVERIFY(Find<QPushButton>(*form, "btnNext")->isEnabled());
        QCOMPARE(form->focusWidget(), Find<QWidget>(*form, "edtTable"));
        QVERIFY(!form->tblRecipients->Active());
        QVERIFY(!form->tblLog);

        answer->Button = "btnContinue";
        answer->OnShown = nullptr;
        Next(*form);
        QCOMPARE(answer->Shown, 2);
        QCOMPARE(form->PageNo, 5);
    }
};

QTEST_MAIN(TestPreflightDialog)
#include "tst_preflightdialog.moc"
