// Answers the wizard's pre-flight summary through its real buttons whenever it comes up, as a user who has read it.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <functional>

struct TPreflightAnswerer : QObject {
    // The button pressed: "btnContinue" or "btnBack"; empty leaves the box to the test's OnShown.
    QString Button = QStringLiteral("btnContinue");
    // Called while the box is up, before the button is pressed.
    std::function<void(QDialog*)> OnShown;
    int Shown = 0;
    // The summary's lines as the box showed them the last time: "caption value".
    QStringList Lines;

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && watched->objectName() == QStringLiteral("PreflightDialog"))
            if (auto* dialog = qobject_cast<QDialog*>(watched)) {
                QPointer<QDialog> box(dialog);
                // The box's own loop runs the answer, after the box is up.
                QTimer::singleShot(0, this, [this, box] {
                    if (box)
                        Answer(box);
                });
            }
        return false;
    }

    void Answer(QDialog* box) {
        ++Shown;
        Lines.clear();
        for (int row = 0;; ++row) {
            auto* caption = box->findChild<QLabel*>(QStringLiteral("lblCaption%1").arg(row));
            auto* value = box->findChild<QLabel*>(QStringLiteral("lblValue%1").arg(row));
            if (!caption || !value)
                break;
            Lines << caption->text() + ' ' + value->text();
        }
        if (OnShown)
            OnShown(box);
        if (!Button.isEmpty())
            if (auto* button = box->findChild<QPushButton*>(Button))
                button->click();
    }
};

// Installs an answerer for the lifetime of owner.
inline TPreflightAnswerer* AnswerPreflight(QObject& owner) {
    auto* answerer = new TPreflightAnswerer;
    answerer->setObjectName(QStringLiteral("PreflightAnswerer"));
    answerer->setParent(&owner);
    qApp->installEventFilter(answerer);
    return answerer;
}
