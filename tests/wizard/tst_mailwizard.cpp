// The wizard window: start state, page flow, digit-only edits, closing with and without changed settings.
#include "tests/wizard/WizardFixture.h"
#include "tests/framework/ModalAnswer.h"

#include <QCheckBox>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QStackedWidget>

class TestMailWizard : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FDir;

    static QString Page(QWidget& form) { return Find<QStackedWidget>(form, "stkPages")->currentWidget()->objectName(); }
    static QString Title(QWidget& form) { return Find<QLabel>(form, "lblTitle")->text(); }
    static QString Focused() { return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : ""; }
    static void Next(QWidget& form) { Find<QPushButton>(form, "btnNext")->click(); }
    static void Back(QWidget& form) { Find<QPushButton>(form, "btnBack")->click(); }

private slots:
    void initTestCase() {
        QVERIFY(FDir.isValid());
        UseTemporarySettings(FDir);
    }

    void init() { RawSettings().clear(); }

    void startState() {
        auto form = ShowWizard();
        QCOMPARE(form->PageNo, 1);
        QCOMPARE(Page(*form), QStringLiteral("pnlPage1"));
        QCOMPARE(Title(*form), QStringLiteral("Welcome to Quorvel Mailer"));
        QCOMPARE(form->windowTitle(), QStringLiteral("Quorvel Mailer 1.2"));
        QCOMPARE(form->size(), QSize(394, 399));
        QVERIFY(!Find<QPushButton>(*form, "btnBack")->isEnabled());
        QCOMPARE(Find<QPushButton>(*form, "btnNext")->text(), QStringLiteral("&Next >"));
        QCOMPARE(Find<QPushButton>(*form, "btnCancel")->text(), QStringLiteral("&Close"));
        QVERIFY(Find<QWidget>(*form, "Waiter")->isHidden());
        const QStringList welcome = Find<QPlainTextEdit>(*form, "memWelcomeMessage")->toPlainText().split('\n');
        QCOMPARE(welcome.size(), 10);
        QCOMPARE(welcome.first(), QStringLiteral("Welcome to Quorvel Mailer!"));
        QCOMPARE(welcome.last(), QStringLiteral("and monitor e-mail mass mailings."));
        // Loading the settings fires the change handlers; the wizard must still count as untouched.
        QVERIFY(!form->SettingsChanged);
        auto seen = AnswerNextBox("Cancel");
        QVERIFY(form->close());
        QVERIFY(!seen->Shown);
    }

    void pageFlowForwardAndBack() {
        auto form = ShowWizard();
        QPushButton* back = Find<QPushButton>(*form, "btnBack");
        struct Step {
            const char* page;
            const char* title;
            const char* focus;
        };
        const Step forward[] = {{"pnlPage2", "Prepare e-mail message", "edtSubject"},
                                {"pnlPage3", "Prepare mail server settings", "edtSMTPServer"},
                                {"pnlPage4", "Prepare recipient list", "edtTable"}};
        int pageNo = 1;
        for (const Step& step : forward) {
            Next(*form);
            QCOMPARE(form->PageNo, ++pageNo);
            QCOMPARE(Page(*form), QString::fromLatin1(step.page));
            QCOMPARE(Title(*form), QString::fromLatin1(step.title));
            QCOMPARE(Focused(), QString::fromLatin1(step.focus));
            QVERIFY(back->isEnabled());
        }
        const Step backward[] = {{"pnlPage3", "Prepare mail server settings", "edtSMTPServer"},
                                 {"pnlPage2", "Prepare e-mail message", "edtSubject"},
                                 {"pnlPage1", "Welcome to Quorvel Mailer", "btnNext"}};
        for (const Step& step : backward) {
            Back(*form);
            QCOMPARE(form->PageNo, --pageNo);
            QCOMPARE(Page(*form), QString::fromLatin1(step.page));
            QCOMPARE(Title(*form), QString::fromLatin1(step.title));
            QCOMPARE(Focused(), QString::fromLatin1(step.focus));
        }
        QVERIFY(!back->isEnabled());
        QVERIFY(!form->SettingsChanged);
    }

    // Enter presses Next wherever the focus is in a single-line edit; Escape presses Close.
    void enterAndEscape() {
        auto form = ShowWizard();
        QTest::keyClick(form.get(), Qt::Key_Return);
        QCOMPARE(form->PageNo, 2);
        QTest::keyClick(Find<QLineEdit>(*form, "edtSubject"), Qt::Key_Return);
        QCOMPARE(form->PageNo, 3);
        QTest::keyClick(Find<QLineEdit>(*form, "edtSMTPServer"), Qt::Key_Escape);
        QVERIFY(!form->isVisible());
    }

    void digitOnlyEdits_data() {
        QTest::addColumn<QString>("edit");
        QTest::newRow("wrap lines") << "edtWrapLines";
        QTest::newRow("scope from") << "edtScopeFrom";
        QTest::newRow("scope to") << "edtScopeTo";
    }

    void digitOnlyEdits() {
        QFETCH(QString, edit);
        auto form = ShowWizard();
        Next(*form);
        Next(*form);
        Next(*form);
        Find<QCheckBox>(*form, "chbLimit")->setChecked(true);
        QLineEdit* digits = Find<QLineEdit>(*form, edit.toLatin1().constData());
        digits->setFocus();
        digits->clear();
        QTest::keyClicks(digits, "1a2 -x");
        QKeyEvent accented(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QStringLiteral("\u00e9"));
        QApplication::sendEvent(digits, &accented);
        QCOMPARE(digits->text(), QStringLiteral("12"));
        QTest::keyClick(digits, Qt::Key_Backspace);
        QCOMPARE(digits->text(), QStringLiteral("1"));
        QTest::keyClick(digits, Qt::Key_Left);
        QTest::keyClick(digits, Qt::Key_Delete);
        QCOMPARE(digits->text(), QString());
        // Pasted text is not filtered, through the menu action as through Ctrl+V.
        QGuiApplication::clipboard()->setText("4x");
        digits->paste();
        QTest::keyClick(digits, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(digits->text(), QStringLiteral("4x4x"));
    }

    void scopeAndTimeoutHandlers() {
        auto form = ShowWizard();
        QLineEdit* from = Find<QLineEdit>(*form, "edtScopeFrom");
        QLineEdit* to = Find<QLineEdit>(*form, "edtScopeTo");
        QVERIFY(!from->isEnabled() && !to->isEnabled());
        Find<QCheckBox>(*form, "chbLimit")->setChecked(true);
        QVERIFY(from->isEnabled() && to->isEnabled());
        QVERIFY(form->SettingsChanged);
        form->SettingsChanged = false;
        Find<QSlider>(*form, "trbTimeout")->setValue(35);
        QCOMPARE(Find<QLabel>(*form, "lblTimeout")->text(), QStringLiteral("35 sec"));
        QVERIFY(form->SettingsChanged);
        form->SettingsChanged = false;
    }

    void closeWithChangedSettings_data() {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("closed");
        QTest::addColumn<bool>("saved");
        QTest::newRow("yes") << "&Yes" << true << true;
        QTest::newRow("no") << "&No" << true << false;
        QTest::newRow("cancel") << "Cancel" << false << false;
    }

    void closeWithChangedSettings() {
        QFETCH(QString, answer);
        QFETCH(bool, closed);
        QFETCH(bool, saved);
        auto form = ShowWizard();
        Next(*form);
        QTest::keyClicks(Find<QLineEdit>(*form, "edtSubject"), "Autumn news");
        QVERIFY(form->SettingsChanged);
        auto seen = AnswerNextBox(answer);
        QCOMPARE(form->close(), closed);
        QVERIFY(seen->Shown);
        QCOMPARE(seen->Title, QStringLiteral("Confirm"));
        QCOMPARE(seen->Text, QStringLiteral("Save Settings?"));
        QCOMPARE(seen->Buttons.size(), 3);
        QCOMPARE(form->isVisible(), !closed);
        QCOMPARE(RawSettings().value("Message/Subject").toString(), saved ? QStringLiteral("Autumn news") : QString());
        if (!closed) {
            form->SettingsChanged = false;
            QVERIFY(form->close());
        }
    }

    // During a run the window closes only after a Yes to the interruption, and the run is told to end.
    void closeDuringARun() {
        auto form = ShowWizard();
        form->PageNo = 6;
        auto seen = AnswerNextBox("&No");
        QVERIFY(!form->close());
        QCOMPARE(seen->Text, QStringLiteral("Interrupt SMTP transfer?"));
        QCOMPARE(seen->Buttons.size(), 2);
        QVERIFY(form->isVisible());
        QVERIFY(!form->CloseRequested);

        seen = AnswerNextBox("&Yes");
        QVERIFY(form->close());
        QVERIFY(seen->Shown);
        QVERIFY(form->CloseRequested);
        QVERIFY(form->StopRequested);
    }

    // Shift+Enter in the body breaks the line as Enter does: the message carries a line break, not U+2028.
    void shiftEnterBreaksTheBodyLine() {
        auto form = ShowWizard();
        Next(*form);
        auto* body = Find<QPlainTextEdit>(*form, "memMessage");
        body->setFocus();
        QTest::keyClicks(body, "Dear");
        QTest::keyClick(body, Qt::Key_Return, Qt::ShiftModifier);
        QTest::keyClicks(body, "all");
        QTest::keyClick(body, Qt::Key_Enter, Qt::ShiftModifier | Qt::KeypadModifier);
        QTest::keyClick(body, Qt::Key_Return);
        QTest::keyClicks(body, "Bye");
        QCOMPARE(body->toPlainText(), QStringLiteral("Dear\nall\n\nBye"));
        QCOMPARE(form->MessageBody(), std::string("Dear\r\nall\r\n\r\nBye"));
        QCOMPARE(form->PageNo, 2);
        form->SettingsChanged = false;
    }
};

QTEST_MAIN(TestMailWizard)
#include "tst_mailwizard.moc"
