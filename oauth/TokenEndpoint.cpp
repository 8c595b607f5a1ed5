// Token requests over QNetworkAccessManager; the JSON answer becomes TOAuthTokens or the provider's error.
#include "oauth/TokenEndpoint.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace {

// The mailbox of an OpenID Connect id_token. It came straight from the token endpoint over the connection we
// opened, so its signature need not be checked to name the account (OpenID Connect Core 3.1.3.7).
QString AccountOf(const QString& idToken) {
    const QStringList parts = idToken.split(QLatin1Char('.'));
    if (parts.size() < 2)
        return {};
    const auto payload = QByteArray::fromBase64Encoding(parts[1].toLatin1(), QByteArray::Base64UrlEncoding);
    if (!payload)
        return {};
    const QJsonObject claims = QJsonDocument::fromJson(payload.decoded).object();
    for (const char* claim : {"email", "preferred_username", "upn"}) {
        const QString value = claims.value(QLatin1String(claim)).toString();
        if (value.contains(QLatin1Char('@')))
            return value;
    }
    return {};
}

} // namespace

QString TTokenEndpoint::TReply::Reason() const {
    if (!Transport.isEmpty())
        return Transport;
    return Description.isEmpty() ? Error : Error + QStringLiteral(" (") + Description + QLatin1Char(')');
}

TTokenEndpoint::TTokenEndpoint(QUrl url) : FUrl(std::move(url)) {}

TTokenEndpoint::~TTokenEndpoint() {
    Abort();
}

QByteArray TTokenEndpoint::FormBody(const TForm& form) {
    QByteArray body;
    for (const auto& [key, value] : form) {
        if (!body.isEmpty())
            body += '&';
        body += QUrl::toPercentEncoding(key) + '=' + QUrl::toPercentEncoding(QString::fromUtf8(value));
    }
    return body;
}

TTokenEndpoint::TReply TTokenEndpoint::Parse(int status, const QByteArray& body) {
    TReply reply;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    const QJsonObject answer = document.object();
    if (status == 200 && answer.contains(QLatin1String("access_token"))) {
        reply.Tokens.AccessToken = answer.value(QLatin1String("access_token")).toString().toUtf8();
        reply.Tokens.RefreshToken = answer.value(QLatin1String("refresh_token")).toString().toUtf8();
        const QJsonValue lifetime = answer.value(QLatin1String("expires_in"));
        // Some providers send the lifetime as a string of digits.
        const qint64 seconds = lifetime.isString() ? lifetime.toString().toLongLong() : lifetime.toInteger();
        if (seconds > 0)
            reply.Tokens.Expires = QDateTime::currentDateTimeUtc().addSecs(seconds);
        reply.Tokens.Account = AccountOf(answer.value(QLatin1String("id_token")).toString());
        reply.Ok = !reply.Tokens.AccessToken.isEmpty();
        if (!reply.Ok)
            reply.Transport = QStringLiteral("the provider's answer held an empty access token");
        return reply;
    }
    reply.Error = answer.value(QLatin1String("error")).toString();
    reply.Description = answer.value(QLatin1String("error_description")).toString().simplified();
    if (reply.Error.isEmpty())
        reply.Transport = status == 200 ? QStringLiteral("the provider's answer held no access token")
                                        : QStringLiteral("the token endpoint answered with HTTP status %1").arg(status);
    return reply;
}

void TTokenEndpoint::Post(const TForm& form, std::function<void(const TReply&)> done) {
    Abort();
    QNetworkRequest request(FUrl);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Accept", "application/json");
    QNetworkReply* reply = FNetwork.post(request, FormBody(form));
    FReply = reply;
    QObject::connect(reply, &QNetworkReply::finished, &FNetwork, [this, reply, done = std::move(done)] {
        reply->deleteLater();
        if (FReply != reply)
            return;
        FReply.clear();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        TReply outcome;
        if (status == 0) // no HTTP answer at all: the provider was not reached
            outcome.Transport = reply->errorString();
        else
            outcome = Parse(status, reply->readAll());
        done(outcome);
    });
}

TTokenEndpoint::TReply TTokenEndpoint::PostAndWait(const TForm& form, int timeoutMs) {
    QEventLoop loop;
    TReply outcome;
    bool finished = false;
    Post(form, [&](const TReply& reply) {
        outcome = reply;
        finished = true;
        loop.quit();
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(timeoutMs);
    if (!finished)
        loop.exec();
    if (!finished) {
        Abort();
        outcome.Transport = QStringLiteral("no answer within %1 seconds").arg(timeoutMs / 1000);
    }
    return outcome;
}

void TTokenEndpoint::Abort() {
    if (QNetworkReply* reply = FReply.data()) {
        FReply.clear();
        reply->abort();
    }
}
