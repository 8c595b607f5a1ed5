// The server as the user types it: "host" or "host:port".
#pragma once

#include <QString>

namespace ServerAddress {

// Splits text (already trimmed) into host and port; the port is empty when none is given. False when the text
// cannot name a server: an empty host, a colon without a port, or more than one colon (IPv6 is not supported).
bool Split(const QString& text, QString& host, QString& port);

} // namespace ServerAddress
