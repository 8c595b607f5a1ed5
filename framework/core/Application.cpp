// The application object's title and pending-message processing.
#include "framework/core/Application.h"

#include <QCoreApplication>

namespace Application {

namespace {
QString& TitleStore() {
    static QString title;
    return title;
}
} // namespace

QString Title() {
    return TitleStore();
}

void SetTitle(const QString& title) {
    TitleStore() = title;
}

QString Version() {
    return QStringLiteral(QUORVEL_VERSION);
}

void ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace Application
