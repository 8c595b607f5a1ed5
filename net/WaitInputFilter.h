// Drops the user's key presses and mouse-button presses, with a beep, while a wait runs.
#pragma once

#include <QObject>

class TWaitInputFilter : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
