// "host:port" split at its one colon; an IPv6 address stands alone or in brackets ("[2001:db8::25]:587").
#include "mailing/ServerAddress.h"

bool ServerAddress::Split(const QString& text, QString& host, QString& port) {
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        if (close < 0)
            return false;
        host = text.mid(1, close - 1).trimmed();
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))
            return false;
        port = rest.mid(1).trimmed();
        return !host.isEmpty() && host.contains(QLatin1Char(':')) && !host.contains(QLatin1Char(' ')) &&
               (rest.isEmpty() || !port.isEmpty());
    }
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    if (colon < 0) {
        host = text;
        port.clear();
        return !host.isEmpty();
    }
    if (text.indexOf(QLatin1Char(':'), colon + 1) >= 0) {
        // Two colons or more: an IPv6 address without a port, which needs the brackets to carry one.
        host = text;
        port.clear();
        return !host.contains(QLatin1Char(' ')) && !host.contains(QLatin1Char('[')) && !host.contains(QLatin1Char(']'));
    }
    host = text.left(colon).trimmed();
    port = text.mid(colon + 1).trimmed();
    return !host.isEmpty() && !port.isEmpty() && !host.contains(QLatin1Char(' '));
}
