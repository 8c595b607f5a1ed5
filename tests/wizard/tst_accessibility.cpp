// The windows as a screen reader sees them through Qt's accessibility interface: every control the user can see
// is named by what a sighted user reads (its own text, or the label beside it), in every state of the wizard,
// and the page title announces each change.
#include "about/About.h"
#include "wizard/SecurityDialog.h"
#include "tests/wizard/WizardFixture.h"
#include "tests/servers/SmtpSink.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTextDocument>
#include <QTextEdit>

namespace {

// Controls that take input or show a value and are named by a label beside them.
bool IsInput(const QWidget* w) {
    return qobject_cast<const QLineEdit*>(w) || qobject_cast<const QAbstractSpinBox*>(w) ||
           qobject_cast<const QComboBox*>(w) || qobject_cast<const QPlainTextEdit*>(w) ||
           qobject_cast<const QTextEdit*>(w) || qobject_cast<const QAbstractSlider*>(w) ||
           qobject_cast<const QProgressBar*>(w);
}

// Controls that carry their own text.
bool HasOwnText(const QWidget* w) {
    return qobject_cast<const QLabel*>(w) || qobject_cast<const QAbstractButton*>(w) ||
           qobject_cast<const QGroupBox*>(w);
}

// The part of the widget inside the window and inside every parent: empty for what the user cannot see.
QRect SeenRect(const QWidget* w, const QWidget* window) {
    if (!w->isVisibleTo(window))
        return {};
    QRect seen(w->mapTo(window, QPoint(0, 0)), w->size());
    for (const QWidget* p = w->parentWidget(); p && p != window; p = p->parentWidget())
        seen &= QRect(p->mapTo(window, QPoint(0, 0)), p->size());
    return seen & window->rect();
}

// A text as the user reads it: rich text as plain text, "&" marking a mnemonic left out, no trailing colon.
QString AsRead(QString text, bool mnemonic) {
    if (Qt::mightBeRichText(text)) {
        QTextDocument document;
        document.setHtml(text);
        text = document.toPlainText();
    }
    if (mnemonic)
        text.replace(QRegularExpression(QStringLiteral("&(.)")), QStringLiteral("\\1"));
    text = text.trimmed();
    if (text.endsWith(QLatin1Char(':')))
        text.chop(1);
    return text.trimmed();
}

QString OwnText(const QWidget* w) {
    if (const auto* label = qobject_cast<const QLabel*>(w))
        return AsRead(label->text(), label->buddy() != nullptr);
    if (const auto* button = qobject_cast<const QAbstractButton*>(w))
        return AsRead(button->text(), true);
    if (const auto* group = qobject_cast<const QGroupBox*>(w))
        return AsRead(group->title(), true);
    return {};
}

QString AccessibleText(QWidget* w, QAccessible::Text which) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(w);
    return face ? face->text(which) : QString();
}

// What names an input control on the screen: the label whose buddy it is, else the nearest text to its left on
// the same row; a read-only text box without either is named by its first line.
QString SeenLabel(QWidget* control, QWidget* window, const QList<QWidget*>& seen) {
    for (QWidget* w : seen)
        if (const auto* label = qobject_cast<QLabel*>(w); label && label->buddy() == control)
            return OwnText(w);
    const QRect box = SeenRect(control, window);
    const QWidget* nearest = nullptr;
    int gap = 0;
    for (QWidget* w : seen) {
        const QRect r = SeenRect(w, window);
        if (!HasOwnText(w) || OwnText(w).isEmpty() || r.right() > box.left() + 2 || r.center().y() < box.top() ||
            r.center().y() > box.bottom())
            continue;
        if (!nearest || box.left() - r.right() < gap) {
            nearest = w;
            gap = box.left() - r.right();
        }
    }
    if (nearest)
        return OwnText(nearest);
    if (const auto* text = qobject_cast<QPlainTextEdit*>(control); text && text->isReadOnly())
        return text->toPlainText().section(QLatin1Char('\n'), 0, 0).trimmed();
    return {};
}

// Every seen control of the window whose accessible name is not what the user reads, as "name: says / shows".
QStringList Misnamed(QWidget* window, const QString& state) {
    QList<QWidget*> seen;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        bool part = false; // the edit of a combo box, the scroll bars of a text box; a group box only holds
        for (QWidget* p = w->parentWidget(); p && p != window; p = p->parentWidget())
            part = part || IsInput(p) || qobject_cast<QAbstractButton*>(p);
        const auto* label = qobject_cast<QLabel*>(w);
        const bool blank = label && label->text().isEmpty() && label->pixmap().isNull(); // shows nothing yet
        if ((IsInput(w) || HasOwnText(w)) && !part && !blank && !SeenRect(w, window).isEmpty())
            seen << w;
    }
    QStringList wrong;
    for (QWidget* w : seen) {
        QString shows = IsInput(w) ? SeenLabel(w, window, seen) : OwnText(w);
        QString says = AsRead(AccessibleText(w, QAccessible::Name), false);
        // On Linux a combo box's name is its current text; readers announce the label it is related to.
        if (QAccessibleInterface* face = QAccessible::queryAccessibleInterface(w);
            face && qobject_cast<QComboBox*>(w) && says != shows)
            for (const auto& [label, relation] : face->relations(QAccessible::Label))
                if (AsRead(label->text(QAccessible::Name), true) == shows)
                    says = shows;
        const auto* label = qobject_cast<QLabel*>(w);
        if (label && label->text().isEmpty() && !label->pixmap().isNull())
            shows = says.isEmpty() ? QStringLiteral("(a picture)") : says; // a picture needs a name of some kind
        if (shows.isEmpty() || says != shows)
            wrong << QStringLiteral("%1 %2: says \"%3\", shows \"%4\"").arg(state, w->objectName(), says, shows);
    }
    if (seen.size() < 3)
        wrong << state + QStringLiteral(": hardly any controls seen");
    return wrong;
}

} // namespace

class TestAccessibility : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FSettings;
    QTemporaryDir FDir;
    QString FTable;

    static void Next(QWidget& form) { Find<QPushButton>(form, "btnNext")->click(); }

private slots:
    void initTestCase() {
        QVERIFY(FSettings.isValid() && FDir.isValid());
        UseTemporarySettings(FSettings);
        FTable = FDir.filePath("recipients.dbf");
        MakeTable(FTable, "NAME C(20); EMAIL C(40)",
                  {{"Maximilian Huber", "max@example.org"}, {"Eva", "eva@example.org"}});
    }

    void init() { RawSettings().clear(); }

    // Each page, the failed and the passed check, the run and its end: the window as the reader hears it.
    void everySeenControlIsNamedAsShown() {
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        auto form = FilledWizard(FDir.path(), FTable, QStringLiteral("127.0.0.1:%1").arg(sink.Port()), 0);
        QStringList wrong = Misnamed(form.get(), "page 1");
        for (const char* page : {"page 2", "page 3", "page 4"}) {
            Next(*form);
            wrong << Misnamed(form.get(), page);
        }
        // Tab out of the table edit, as the user leaves it: the table is read and what shows it fills in.
        QTest::keyClick(Find<QLineEdit>(*form, "edtTable"), Qt::Key_Tab);
        wrong << Misnamed(form.get(), "page 4 with its table");
        Find<QComboBox>(*form, "cmbEmail")->setEditText("NO_SUCH_FIELD");
        auto seen = AnswerNextBox("OK");
        Next(*form);
        QVERIFY(seen->Shown);
        QCOMPARE(Find<QLabel>(*form, "lblTitle")->text(), QStringLiteral("Not ready"));
        wrong << Misnamed(form.get(), "not ready");

        Find<QComboBox>(*form, "cmbEmail")->setEditText("EMAIL");
        Preflight(*form)->OnShown = [&](QDialog* summary) { wrong << Misnamed(summary, "summary"); };
        Next(*form);
        QCOMPARE(Preflight(*form)->Shown, 1);
        QCOMPARE(Find<QPushButton>(*form, "btnNext")->text(), QStringLiteral("Start!"));
        wrong << Misnamed(form.get(), "ready");

        // During the run the cancel button reads "Stop": checked while the first message is on its way.
        bool checkedInRun = false;
        connect(form.get(), &TMailWizardForm::RunStatusReported, form.get(), [&](const QString& status) {
            if (status == QStringLiteral("Sending mail #1")) {
                checkedInRun = true;
                // Shown for the waits of the run, but outside the window: nothing unexplained to see or hear.
                auto* waiter = Find<QWidget>(*form, "Waiter");
                QVERIFY(waiter->isVisible());
                QVERIFY(SeenRect(waiter, form.get()).isEmpty());
                QCOMPARE(AccessibleText(Find<QPushButton>(*form, "btnCancel"), QAccessible::Name),
                         QStringLiteral("Stop"));
                wrong << Misnamed(form.get(), "running");
            }
        });
        Next(*form);
        QVERIFY(checkedInRun);
        QCOMPARE(sink.Count(), 2);
        QCOMPARE(Find<QLabel>(*form, "lblTitle")->text(), QStringLiteral("Completed"));
        wrong << Misnamed(form.get(), "completed");
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join('\n')));
        form->SettingsChanged = false;
    }

    void aboutBoxIsNamedAsShown() {
        TOKBottomDlg about;
        TSecurityDialog security;
        QStringList wrong;
        for (QDialog* dialog : {static_cast<QDialog*>(&about), static_cast<QDialog*>(&security)}) {
            dialog->show();
            QVERIFY(QTest::qWaitForWindowExposed(dialog));
            wrong << Misnamed(dialog, dialog->metaObject()->className());
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join('\n')));
    }

    // The title is announced by what it shows, in every state; its role is its description.
    void titleFollowsThePage() {
        auto form = FilledWizard(FDir.path(), FTable, QStringLiteral("127.0.0.1:1"), 0);
        auto* title = Find<QLabel>(*form, "lblTitle");
        QCOMPARE(AccessibleText(title, QAccessible::Description), QStringLiteral("Page title"));
        QStringList heard{AccessibleText(title, QAccessible::Name)};
        for (int i = 0; i < 3; ++i) {
            Next(*form);
            heard << AccessibleText(title, QAccessible::Name);
        }
        Find<QComboBox>(*form, "cmbEmail")->setEditText("NO_SUCH_FIELD");
        auto seen = AnswerNextBox("OK", [&](QMessageBox*) { heard << AccessibleText(title, QAccessible::Name); });
        Next(*form);
        QVERIFY(seen->Shown);
        heard << AccessibleText(title, QAccessible::Name);
        Find<QPushButton>(*form, "btnBack")->click();
        heard << AccessibleText(title, QAccessible::Name);
        QCOMPARE(heard,
                 (QStringList{"Welcome to Quorvel Mailer", "Prepare e-mail message", "Prepare mail server settings",
                              "Prepare recipient list", "Checking...", "Not ready", "Prepare mail server settings"}));
        form->SettingsChanged = false;
    }
};

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
