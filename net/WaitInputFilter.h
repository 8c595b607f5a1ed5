// Drops the user's key presses and mouse-button presses, with a beep, while a wait runs.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

class TWaitInputFilter : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Called as the filter goes up: a modal window shown after this moment still takes the user's input.
    void Arm();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // True when the event goes to a modal window opened during the wait.
    bool ForNewModal(QObject* watched) const;

    QPointer<QWidget> FModalAtStart;
};
