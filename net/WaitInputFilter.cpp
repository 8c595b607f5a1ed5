// The application-wide input filter of a running wait.
#include "net/WaitInputFilter.h"

#include <QApplication>
#include <QMouseEvent>
#include <QWindow>

void TWaitInputFilter::Arm() {
    FModalAtStart = QApplication::activeModalWidget();
}

// A box opened inside the wait (the window's close question) runs its own loop on top of the wait's: were its
// answer swallowed too, neither could ever end.
bool TWaitInputFilter::ForNewModal(QObject* watched) const {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || modal == FModalAtStart)
        return false;
    if (auto* widget = qobject_cast<QWidget*>(watched))
        return widget->window() == modal;
    if (auto* window = qobject_cast<QWindow*>(watched))
        return window == modal->windowHandle();
    return false;
}

bool TWaitInputFilter::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    // A shortcut is the key press seen by the shortcut map: dropping it keeps mnemonics from clicking buttons.
    case QEvent::KeyPress:
    case QEvent::Shortcut:
        if (ForNewModal(watched))
            break;
        QApplication::beep();
        return true;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        const auto button = static_cast<QMouseEvent*>(event)->button();
        if ((button == Qt::LeftButton || button == Qt::RightButton) && !ForNewModal(watched)) {
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
