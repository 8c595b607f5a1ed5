// PKCE values from the operating system's random source.
#include "oauth/Pkce.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

namespace Pkce {

namespace {

QByteArray RandomBytes(int count) {
    QByteArray bytes(count, Qt::Uninitialized);
    QRandomGenerator* random = QRandomGenerator::system();
    for (char& byte : bytes)
        byte = static_cast<char>(random->bounded(256));
    return bytes;
}

QByteArray Base64Url(const QByteArray& bytes) {
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

} // namespace

QByteArray Verifier() {
    return Base64Url(RandomBytes(48)); // 48 bytes are 64 characters of [A-Za-z0-9_-]
}

QByteArray Challenge(const QByteArray& verifier) {
    return Base64Url(QCryptographicHash::hash(verifier, QCryptographicHash::Sha256));
}

QByteArray State() {
    return Base64Url(RandomBytes(24));
}

} // namespace Pkce
