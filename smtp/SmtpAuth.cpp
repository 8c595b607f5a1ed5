// SASL responses of the SMTP login, built with Qt's base64 and HMAC.
#include "smtp/SmtpAuth.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QMessageAuthenticationCode>

#include <algorithm>

namespace SmtpAuth {

TMechanism Choose(const std::vector<std::string>& offered, bool encrypted) {
    const auto has = [&offered](const char* name) {
        return std::find(offered.begin(), offered.end(), name) != offered.end();
    };
    const TMechanism order[] = {encrypted ? TMechanism::Plain : TMechanism::CramMd5,
                                encrypted ? TMechanism::Login : TMechanism::Plain,
                                encrypted ? TMechanism::CramMd5 : TMechanism::Login};
    for (TMechanism mechanism : order)
        if (has(Name(mechanism)))
            return mechanism;
    return TMechanism::None;
}

const char* Name(TMechanism mechanism) {
    switch (mechanism) {
    case TMechanism::Plain:
        return "PLAIN";
    case TMechanism::Login:
        return "LOGIN";
    case TMechanism::CramMd5:
        return "CRAM-MD5";
    case TMechanism::None:
        break;
    }
    return "";
}

std::string Base64(const std::string& bytes) {
    return QByteArray::fromStdString(bytes).toBase64().toStdString();
}

bool FromBase64(const std::string& text, std::string& bytes) {
    const auto result = QByteArray::fromBase64Encoding(QByteArray::fromStdString(text).trimmed(),
                                                       QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return false;
    bytes = result.decoded.toStdString();
    return true;
}

std::string PlainResponse(const std::string& user, const std::string& password) {
    return Base64(std::string(1, '\0') + user + std::string(1, '\0') + password);
}

std::string CramMd5Response(const std::string& user, const std::string& password, const std::string& challenge) {
    std::string decoded;
    if (!FromBase64(challenge, decoded))
        return Cancel; // RFC 4954 4: the client cancels rather than answer a challenge it cannot read
    const QByteArray digest =
        QMessageAuthenticationCode::hash(QByteArray::fromStdString(decoded), QByteArray::fromStdString(password),
                                         QCryptographicHash::Md5)
            .toHex();
    return Base64(user + " " + digest.toStdString());
}

} // namespace SmtpAuth
