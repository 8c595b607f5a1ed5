// The application-wide input filter of a running wait.
#include "framework/widgets/WaitInputFilter.h"

#include <QApplication>
#include <QKeyEvent>
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

void TWaitInputFilter::Pass(QWidget* widget, int key) {
    FPassed.push_back({widget, key});
}

namespace {

// The widget an input event is for. The window system hands it to the window first, which passes it on to the
// widget under the mouse or with the focus: both steps meet the filter.
QWidget* Target(QObject* watched, QEvent* event) {
    if (auto* widget = qobject_cast<QWidget*>(watched))
        return widget;
    auto* window = qobject_cast<QWindow*>(watched);
    if (window == nullptr)
        return nullptr;
    if (event->type() == QEvent::KeyPress)
        return QApplication::focusWidget();
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (top->windowHandle() != window)
            continue;
        const QPoint at = top->mapFromGlobal(static_cast<QMouseEvent*>(event)->globalPosition().toPoint());
        QWidget* child = top->childAt(at);
        return child != nullptr ? child : top;
    }
    return nullptr;
}

} // namespace

bool TWaitInputFilter::ForPassed(QObject* watched, QEvent* event) const {
    if (FPassed.empty())
        return false;
    const int key = event->type() == QEvent::KeyPress ? static_cast<QKeyEvent*>(event)->key() : 0;
    QWidget* target = Target(watched, event);
    for (const TPassed& passed : FPassed) {
        if (passed.Widget == nullptr || !passed.Widget->isEnabled() || !passed.Widget->isVisible())
            continue;
        if (key != 0 && key == passed.Key)
            return true;
        if (target != nullptr && (target == passed.Widget || passed.Widget->isAncestorOf(target)))
            return true;
    }
    return false;
}

bool TWaitInputFilter::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    // A shortcut is the key press seen by the shortcut map: dropping it keeps mnemonics from clicking buttons.
    case QEvent::KeyPress:
    case QEvent::Shortcut:
        if (ForNewModal(watched) || ForPassed(watched, event))
            break;
        QApplication::beep();
        return true;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        const auto button = static_cast<QMouseEvent*>(event)->button();
        if ((button == Qt::LeftButton || button == Qt::RightButton) && !ForNewModal(watched) &&
            !ForPassed(watched, event)) {
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
