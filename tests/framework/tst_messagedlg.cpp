// The message boxes: captions, button texts, default and escape buttons, and how the answers come back.
#include "framework/widgets/MessageDlg.h"
#include "tests/framework/ModalAnswer.h"

#include <QApplication>
#include <QTest>

class TestMessageDlg : public QObject {
    Q_OBJECT

private slots:
    void warningHasOnlyOk() {
        auto seen = AnswerNextBox("OK");
        MessageDlg::Warning(nullptr, "Can't find recipient table:\r\n/tmp/<b>x</b>.dbf");
        QVERIFY(seen->Shown);
        QCOMPARE(seen->Title, QStringLiteral("Warning"));
        QCOMPARE(seen->Buttons, QStringList{"OK"});
        // CR LF becomes a line break, and a path that looks like markup is shown as it stands.
        QCOMPARE(seen->Text, QStringLiteral("Can't find recipient table:\n/tmp/<b>x</b>.dbf"));
    }

    void confirmationAnswers_data() {
        QTest::addColumn<bool>("withCancel");
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("answer");
        QTest::newRow("yes") << false << "&Yes" << int(TConfirmAnswer::Yes);
        QTest::newRow("no") << false << "&No" << int(TConfirmAnswer::No);
        QTest::newRow("yes of three") << true << "&Yes" << int(TConfirmAnswer::Yes);
        QTest::newRow("no of three") << true << "&No" << int(TConfirmAnswer::No);
        QTest::newRow("cancel") << true << "Cancel" << int(TConfirmAnswer::Cancel);
    }

    void confirmationAnswers() {
        QFETCH(bool, withCancel);
        QFETCH(QString, button);
        QFETCH(int, answer);
        auto seen = AnswerNextBox(button);
        const TConfirmAnswer given = MessageDlg::Confirm(nullptr, "Save Settings?", withCancel);
        QVERIFY(seen->Shown);
        QCOMPARE(seen->Title, QStringLiteral("Confirm"));
        QCOMPARE(seen->Text, QStringLiteral("Save Settings?"));
        // The desktop's button order decides where each stands; the set is ours.
        QStringList buttons = seen->Buttons;
        buttons.sort();
        const QStringList expected = withCancel ? QStringList{"&No", "&Yes", "Cancel"} : QStringList{"&No", "&Yes"};
        QCOMPARE(buttons, expected);
        QCOMPARE(seen->DefaultButton, QStringLiteral("&Yes"));
        QCOMPARE(int(given), answer);
    }

    // Escape is the safe answer: Cancel when offered, otherwise No, never Yes.
    void escapeTakesTheSafeAnswer_data() {
        QTest::addColumn<bool>("withCancel");
        QTest::addColumn<int>("answer");
        QTest::newRow("two buttons") << false << int(TConfirmAnswer::No);
        QTest::newRow("three buttons") << true << int(TConfirmAnswer::Cancel);
    }

    void escapeTakesTheSafeAnswer() {
        QFETCH(bool, withCancel);
        QFETCH(int, answer);
        auto seen = AnswerNextBox(QString(), [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
        const TConfirmAnswer given = MessageDlg::Confirm(nullptr, "Interrupt SMTP transfer?", withCancel);
        QVERIFY(seen->Shown);
        QCOMPARE(int(given), answer);
    }
};

QTEST_MAIN(TestMessageDlg)
#include "tst_messagedlg.moc"
