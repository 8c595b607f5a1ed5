// One request to a provider's token endpoint (RFC 6749 4.1.3, 6) and what came back.
#pragma once

#include "oauth/OAuthTokens.h"

#include <QNetworkAccessManager>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>
#include <utility>
#include <vector>

class QNetworkReply;

class TTokenEndpoint {
public:
    using TForm = std::vector<std::pair<QString, QByteArray>>;

    struct TReply {
        bool Ok = false;
        TOAuthTokens Tokens;
        QString Error;       // the provider's error code ("invalid_grant"), empty when it gave none
        QString Description; // the provider's error_description
        QString Transport;   // why no answer of the provider came, empty when one came

        // The provider's refusal as "invalid_grant (description)", or the transport failure.
        QString Reason() const;
    };

    explicit TTokenEndpoint(QUrl url);
    ~TTokenEndpoint();
    TTokenEndpoint(const TTokenEndpoint&) = delete;
    TTokenEndpoint& operator=(const TTokenEndpoint&) = delete;

    // Posts the form and calls done once with the outcome, from the event loop; a new Post aborts the previous.
    void Post(const TForm& form, std::function<void(const TReply&)> done);
    // Posts and waits in a local event loop; a reply that has not come within timeoutMs is a transport failure.
    TReply PostAndWait(const TForm& form, int timeoutMs);
    // Drops the request in flight; its done is not called.
    void Abort();

    // application/x-www-form-urlencoded: every byte outside the unreserved set percent-encoded, so a token with
    // "+" or "/" arrives as sent.
    static QByteArray FormBody(const TForm& form);
    // Reads a token endpoint's answer; status is the HTTP status, 0 when none came.
    static TReply Parse(int status, const QByteArray& body);

private:
    QUrl FUrl;
    QNetworkAccessManager FNetwork;
    QPointer<QNetworkReply> FReply;
};
