// Drops the user's key presses and mouse-button presses, with a beep, while a wait runs.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <vector>

class TWaitInputFilter : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Called as the filter goes up: a modal window shown after this moment still takes the user's input.
    void Arm();
    // Clicks and key presses on widget (or a child of it) pass, and so do presses of key anywhere (0: none):
    // the button that stops a long task must work while the task waits.
    void Pass(QWidget* widget, int key);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // True when the event goes to a modal window opened during the wait.
    bool ForNewModal(QObject* watched) const;
    // True when the event goes to a widget whose input passes.
    bool ForPassed(QObject* watched, QEvent* event) const;

    QPointer<QWidget> FModalAtStart;
    struct TPassed {
        QPointer<QWidget> Widget;
        int Key = 0;
    };
    std::vector<TPassed> FPassed;
};
