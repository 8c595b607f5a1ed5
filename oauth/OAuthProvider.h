// Where to sign in: the provider's endpoints, scope and mail server, and the program's registration with it.
#pragma once

#include <QString>
#include <QUrl>

enum class TOAuthProviderKind { Microsoft365, Google, Other };

struct TOAuthProvider {
    TOAuthProviderKind Kind = TOAuthProviderKind::Other;
    QUrl AuthorizationUrl;
    QUrl TokenUrl;
    QString Scope;
    // The host name of the redirect URI: what the provider's app registration accepts for a desktop program.
    QString RedirectHost = QStringLiteral("127.0.0.1");
    // The preset mail server; empty for Other.
    QString SmtpHost;
    quint16 SmtpPort = 0;
    bool SmtpImplicitTls = false; // true: TLS from the first byte; false: STARTTLS
    QString ClientId;
    QString ClientSecret; // empty for registrations without one

    static TOAuthProvider Microsoft365(const QString& tenant = QString());
    static TOAuthProvider Google();
    static TOAuthProvider Other(const QUrl& authorizationUrl, const QUrl& tokenUrl, const QString& scope);

    // "Microsoft 365", "Google", "Other": the names the settings file keeps.
    static QString KindName(TOAuthProviderKind kind);
    // Other for a name that is none of them.
    static TOAuthProviderKind KindFromName(const QString& name);

    // Why this provider cannot be used, as a sentence; empty when it can.
    QString Problem() const;
};

// Why url cannot serve as an OAuth endpoint ("authorization" or "token" names it), empty when it can: tokens and
// codes travel only over https, except to a loopback address, which never leaves the machine.
QString EndpointProblem(const QUrl& url, const QString& which);
