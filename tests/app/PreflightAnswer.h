// Answers the wizard's pre-flight summary through its real buttons whenever it comes up, as a user who has read it.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <functional>

struct TPreflightAnswerer : QObject {
    // The button pressed: "btnContinue" or "btnBack"; empty leaves the box to OnShown.
    QString Button = QStringLiteral("btnContinue");
    // Called while the box is up, before the button is pressed.
    std::function<void(QDialog*)> OnShown;
    int Shown = 0;

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Show || watched->objectName() != QStringLiteral("PreflightDialog"))
            return false;
        // The box's own loop runs the answer, after the box is up.
        QTimer::singleShot(0, this, [this, box = QPointer<QDialog>(qobject_cast<QDialog*>(watched))] {
            if (!box)
                return;
            ++Shown;
            if (OnShown)
                OnShown(box);
            if (auto* button = box->findChild<QPushButton*>(Button); button && !Button.isEmpty())
                button->click();
        });
        return false;
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
