// The pre-flight summary in the window: shown when the check passes, its figures and list, Back and Enter.
#include "tests/wizard/WizardFixture.h"

#include "table/Table.h"

#include <QClipboard>
#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>

class TestPreflightDialog : public QObject {
    Q_OBJECT

    QTemporaryDir FSettings;
    QTemporaryDir FDir;

private slots:
    // Back stays on page 4 with both tables closed, and the next Next checks and asks again; the box shows the
    // run's figures, "Show list" the records to look at under the table's own record numbers (the deleted record
    // 2 counted) with every column in view, "Copy" the list as tab-separated text, and Enter (Continue) leads to
    // "Start!".
    void figuresListAndAnswers() {
        QVERIFY(FSettings.isValid() && FDir.isValid());
        UseTemporarySettings(FSettings);
        const QString table = FDir.filePath("recipients.dbf");
        MakeTable(table, "NAME C(20); EMAIL C(40)",
                  Rows({"Anna Berg|anna@example.org", "Gone|gone@example.org", "Carl Dorn|",
                        "Eva Falk|eva at example.org", "Anna again|Anna@example.org"}),
                  {1});
        auto form = FilledWizard(FDir.path(), table, "127.0.0.1");
        Find<QLineEdit>(*form, "edtSubject")->setText("News for %O"); // a field the table lacks
        form->SettingsChanged = false;
        TPreflightAnswerer* answer = Preflight(*form);
        answer->Button = "btnBack";
        Find<QPushButton>(*form, "btnNext")->click();
        QCOMPARE(form->PageNo, 4);
        QVERIFY(!form->tblRecipients->Active());
        QVERIFY(!form->tblLog);

        QStringList seen;
        answer->Button.clear();
        answer->OnShown = [&](QDialog* box) {
            for (int row = 0; auto* value = box->findChild<QLabel*>(QStringLiteral("lblValue%1").arg(row)); ++row)
                seen << box->findChild<QLabel*>(QStringLiteral("lblCaption%1").arg(row))->text() + ' ' + value->text();
            box->findChild<QPushButton*>("btnShowList")->click();
            auto* list = box->findChild<QTreeWidget*>("lstRecords");
            for (int i = 0; list->isVisible() && i < list->topLevelItemCount(); ++i) {
                const QTreeWidgetItem* item = list->topLevelItem(i);
                seen << QStringList{item->text(0), item->text(1), item->text(2), item->text(3)}.join('|');
            }
            QVERIFY(list->header()->sectionPosition(3) + list->header()->sectionSize(3) <= list->viewport()->width());
            box->findChild<QPushButton*>("btnCopy")->click();
            seen << QGuiApplication::clipboard()->text();
            QTest::keyClick(box, Qt::Key_Return);
        };
        Find<QPushButton>(*form, "btnNext")->click();
        QCOMPARE(answer->Shown, 2);
        QCOMPARE(Find<QPushButton>(*form, "btnNext")->text(), QStringLiteral("Start!"));
        QCOMPARE(
            seen,
            (QStringList{"Records in the scope: 4", "Messages to send: 2", "Deleted records passed over: 1",
                         "Records without an e-mail address: 1", "Malformed addresses: 1", "Duplicate addresses: 1",
                         "Records with text that does not decode: 0", "Placeholders without a field: %O in the subject",
                         "Longest body line: 65 characters (wrapped at 80)", "3|Carl Dorn||no e-mail address",
                         "4|Eva Falk|eva at example.org|blank inside the e-mail address",
                         "5|Anna again|Anna@example.org|same address as record 1",
                         "Record\tName\tAddress\tReason\n3\tCarl Dorn\t\tno e-mail address\n"
                         "4\tEva Falk\teva at example.org\tblank inside the e-mail address\n"
                         "5\tAnna again\tAnna@example.org\tsame address as record 1\n"}));
    }
};

QTEST_MAIN(TestPreflightDialog)
#include "tst_preflightdialog.moc"
