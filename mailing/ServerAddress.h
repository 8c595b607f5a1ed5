// The server as the user types it: "host", "host:port", an IPv6 address ("::1") or one in brackets with a port
// ("[::1]:587").
#pragma once

#include <QString>

namespace ServerAddress {

// Splits text (already trimmed) into host and port (an IPv6 host without its brackets); the port is empty when
// none is given. False when the text cannot name a server: an empty host, a colon without a port, brackets that
// do not close.
bool Split(const QString& text, QString& host, QString& port);

} // namespace ServerAddress
