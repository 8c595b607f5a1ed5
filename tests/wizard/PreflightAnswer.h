// Answers the wizard's pre-flight summary through its real buttons whenever it comes up, as a user who has read it.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <functional>

// Installed for the lifetime of its owner; found again by its object name.
struct TPreflightAnswerer : QObject {
    explicit TPreflightAnswerer(QObject* owner) : QObject(owner) {
        setObjectName(QStringLiteral("PreflightAnswerer"));
        qApp->installEventFilter(this);
    }

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

inline TPreflightAnswerer* AnswerPreflight(QObject& owner) {
    return new TPreflightAnswerer(&owner);
}
