// The OAuth SASL strings, built byte by byte as the mechanisms define them.
#include "smtp/SaslOAuth.h"

#include "smtp/SmtpAuth.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace SaslOAuth {

namespace {

constexpr char Separator = '\x01';

std::string SaslName(const std::string& user) {
    std::string escaped;
    for (char c : user) {
        if (c == ',')
            escaped += "=2C";
        else if (c == '=')
            escaped += "=3D";
        else
            escaped += c;
    }
    return escaped;
}

} // namespace

TMechanism Choose(const std::vector<std::string>& offered) {
    for (TMechanism mechanism : {TMechanism::OAuthBearer, TMechanism::XOAuth2})
        if (std::find(offered.begin(), offered.end(), Name(mechanism)) != offered.end())
            return mechanism;
    return TMechanism::None;
}

const char* Name(TMechanism mechanism) {
    switch (mechanism) {
    case TMechanism::XOAuth2:
        return "XOAUTH2";
    case TMechanism::OAuthBearer:
        return "OAUTHBEARER";
    case TMechanism::None:
        break;
    }
    return "";
}

std::string XOAuth2Response(const std::string& user, const std::string& token) {
    return SmtpAuth::Base64("user=" + user + Separator + "auth=Bearer " + token + Separator + Separator);
}

std::string OAuthBearerResponse(const std::string& user, const std::string& host, int port, const std::string& token) {
    return SmtpAuth::Base64("n,a=" + SaslName(user) + "," + Separator + "host=" + host + Separator + "port=" +
                            std::to_string(port) + Separator + "auth=Bearer " + token + Separator + Separator);
}

bool ReadTokenError(const std::string& challenge, TTokenError& error) {
    std::string json;
    if (!SmtpAuth::FromBase64(challenge, json))
        return false;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonObject object = document.object();
    // XOAUTH2 servers send the status as a string ("401"); accept a number as well.
    const auto text = [&object](const char* key) {
        const QJsonValue value = object.value(QLatin1String(key));
        return (value.isDouble() ? QString::number(value.toInteger()) : value.toString()).toStdString();
    };
    error = TTokenError{text("status"), text("scope"), text("schemes")};
    return true;
}

std::string ErrorChallengeAnswer(TMechanism mechanism) {
    return mechanism == TMechanism::OAuthBearer ? SmtpAuth::Base64(std::string(1, Separator)) : std::string();
}

std::string Describe(const TTokenError& error) {
    std::string text = "status " + (error.Status.empty() ? std::string("unknown") : error.Status);
    if (!error.Scope.empty())
        text += ", scope " + error.Scope;
    return text;
}

} // namespace SaslOAuth
