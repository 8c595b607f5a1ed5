// The presets of the providers and the rule for endpoint addresses.
#include "oauth/OAuthProvider.h"

#include <QHostAddress>

TOAuthProvider TOAuthProvider::Microsoft365(const QString& tenant) {
    // "organizations" takes any work or school account; a tenant ID or domain narrows it to one organisation.
    const QString base = QStringLiteral("https://login.microsoftonline.com/%1/oauth2/v2.0/")
                             .arg(tenant.trimmed().isEmpty() ? QStringLiteral("organizations") : tenant.trimmed());
    TOAuthProvider provider;
    provider.Kind = TOAuthProviderKind::Microsoft365;
    provider.AuthorizationUrl = QUrl(base + QStringLiteral("authorize"));
    provider.TokenUrl = QUrl(base + QStringLiteral("token"));
    provider.Scope = QStringLiteral("https://outlook.office.com/SMTP.Send offline_access");
    // Microsoft's app registration offers http://localhost for desktop programs and ignores its port.
    provider.RedirectHost = QStringLiteral("localhost");
    provider.SmtpHost = QStringLiteral("smtp.office365.com");
    provider.SmtpPort = 587;
    provider.SmtpImplicitTls = false;
    return provider;
}

TOAuthProvider TOAuthProvider::Google() {
    TOAuthProvider provider;
    provider.Kind = TOAuthProviderKind::Google;
    provider.AuthorizationUrl = QUrl(QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth"));
    provider.TokenUrl = QUrl(QStringLiteral("https://oauth2.googleapis.com/token"));
    provider.Scope = QStringLiteral("https://mail.google.com/");
    provider.SmtpHost = QStringLiteral("smtp.gmail.com");
    provider.SmtpPort = 465;
    provider.SmtpImplicitTls = true;
    return provider;
}

TOAuthProvider TOAuthProvider::Other(const QUrl& authorizationUrl, const QUrl& tokenUrl, const QString& scope) {
    TOAuthProvider provider;
    provider.AuthorizationUrl = authorizationUrl;
    provider.TokenUrl = tokenUrl;
    provider.Scope = scope.trimmed();
    return provider;
}

QString TOAuthProvider::KindName(TOAuthProviderKind kind) {
    switch (kind) {
    case TOAuthProviderKind::Microsoft365:
        return QStringLiteral("Microsoft 365");
    case TOAuthProviderKind::Google:
        return QStringLiteral("Google");
    case TOAuthProviderKind::Other:
        break;
    }
    return QStringLiteral("Other");
}

TOAuthProviderKind TOAuthProvider::KindFromName(const QString& name) {
    for (TOAuthProviderKind kind : {TOAuthProviderKind::Microsoft365, TOAuthProviderKind::Google})
        if (name.trimmed().compare(KindName(kind), Qt::CaseInsensitive) == 0)
            return kind;
    return TOAuthProviderKind::Other;
}

QString TOAuthProvider::Problem() const {
    if (ClientId.trimmed().isEmpty())
        return QStringLiteral("Enter the client ID of the program's registration with the provider.");
    QString problem = EndpointProblem(AuthorizationUrl, QStringLiteral("authorization"));
    if (problem.isEmpty())
        problem = EndpointProblem(TokenUrl, QStringLiteral("token"));
    return problem;
}

QString EndpointProblem(const QUrl& url, const QString& which) {
    if (url.isEmpty())
        return QStringLiteral("Enter the %1 URL.").arg(which);
    if (!url.isValid() || url.host().isEmpty())
        return QStringLiteral("The %1 URL is not a web address: %2").arg(which, url.toString());
    if (url.scheme() == QLatin1String("https"))
        return {};
    const QHostAddress address(url.host());
    const bool loopback = url.host().compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ||
                          (!address.isNull() && address.isLoopback());
    if (url.scheme() == QLatin1String("http") && loopback)
        return {};
    return QStringLiteral("The %1 URL must start with https:// (plain http only on this computer's loopback "
                          "address): %2")
        .arg(which, url.toString());
}
