// "host:port" split at its one colon.
#include "mailing/ServerAddress.h"

bool ServerAddress::Split(const QString& text, QString& host, QString& port) {
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    if (colon < 0) {
        host = text;
        port.clear();
        return !host.isEmpty();
    }
    if (text.indexOf(QLatin1Char(':'), colon + 1) >= 0)
        return false;
    host = text.left(colon).trimmed();
    port = text.mid(colon + 1).trimmed();
    return !host.isEmpty() && !port.isEmpty() && !host.contains(QLatin1Char(' '));
}
