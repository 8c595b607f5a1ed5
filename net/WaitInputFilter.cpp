// The application-wide input filter of a running wait.
#include "net/WaitInputFilter.h"

#include <QApplication>
#include <QMouseEvent>

bool TWaitInputFilter::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    // A shortcut is the key press seen by the shortcut map: dropping it keeps mnemonics from clicking buttons.
    case QEvent::KeyPress:
    case QEvent::Shortcut:
        QApplication::beep();
        return true;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        const auto button = static_cast<QMouseEvent*>(event)->button();
        if (button == Qt::LeftButton || button == Qt::RightButton) {
            QApplication::beep();
            return true;
        }
        break;
    }
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
