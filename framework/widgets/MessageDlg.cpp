// The program's message boxes over QMessageBox, with our own captions and button texts.
#include "framework/widgets/MessageDlg.h"

#include <QMessageBox>
#include <QPushButton>

namespace MessageDlg {

namespace {

QPushButton* AddButton(QMessageBox& box, const QString& caption, QMessageBox::ButtonRole role) {
    QPushButton* button = box.addButton(caption, role);
    QString plain = caption;
    button->setAccessibleName(plain.remove(QLatin1Char('&')));
    return button;
}

void Prepare(QMessageBox& box, const QString& title, const QString& text) {
    box.setWindowTitle(title);
    // User data (paths, server replies) must never be read as markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(DisplayText(text));
    box.setWindowModality(Qt::ApplicationModal);
}

} // namespace

QString DisplayText(const QString& text) {
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

void Warning(QWidget* parent, const QString& text) {
    QMessageBox box(parent);
    Prepare(box, QStringLiteral("Warning"), text);
    box.setIcon(QMessageBox::Warning);
    QPushButton* ok = AddButton(box, QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
}

TConfirmAnswer Confirm(QWidget* parent, const QString& text, bool withCancel) {
    QMessageBox box(parent);
    Prepare(box, QStringLiteral("Confirm"), text);
    box.setIcon(QMessageBox::Question);
    QPushButton* yes = AddButton(box, QStringLiteral("&Yes"), QMessageBox::YesRole);
    QPushButton* no = AddButton(box, QStringLiteral("&No"), QMessageBox::NoRole);
    QPushButton* cancel = withCancel ? AddButton(box, QStringLiteral("Cancel"), QMessageBox::RejectRole) : nullptr;
    box.setDefaultButton(yes);
    box.setEscapeButton(cancel ? cancel : no);
    box.exec();
    const QAbstractButton* clicked = box.clickedButton();
    if (clicked == yes)
        return TConfirmAnswer::Yes;
    if (clicked == no || !withCancel)
        return TConfirmAnswer::No;
    return TConfirmAnswer::Cancel;
}

} // namespace MessageDlg
