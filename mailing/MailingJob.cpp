// The parts of a mailing job that are read the same way by every front end.
#include "mailing/MailingJob.h"

#include "oauth/OAuthProvider.h"

#include <QStringList>
#include <algorithm>

TSmtpSecurity TMailingJob::SecurityMode() const {
    return SecurityFromIndex(Security);
}

QString TMailingJob::StandardPort(TSmtpSecurity security) {
    switch (security) {
    case TSmtpSecurity::StartTls:
        return QStringLiteral("587");
    case TSmtpSecurity::Tls:
        return QStringLiteral("465");
    case TSmtpSecurity::None:
        break;
    }
    return QStringLiteral("25");
}

TSmtpSecurity TMailingJob::SecurityFromIndex(int index) {
    switch (index) {
    case 1:
        return TSmtpSecurity::StartTls;
    case 2:
        return TSmtpSecurity::Tls;
    default:
        return TSmtpSecurity::None;
    }
}

int TMailingJob::Limit(const QString& text) {
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok ? std::max(value, 0) : 0;
}

bool TMailingJob::RetryPauses(std::vector<std::chrono::milliseconds>& pauses) const {
    pauses.clear();
    if (RetryDelays.trimmed().isEmpty())
        return true;
    for (const QString& item : RetryDelays.split(QLatin1Char(','))) {
        bool ok = false;
        const int minutes = item.trimmed().toInt(&ok);
        // A day is the longest pause a run keeps a message waiting for.
        if (!ok || minutes < 0 || minutes > 24 * 60)
            return false;
        pauses.push_back(std::chrono::minutes(minutes));
    }
    return true;
}

TOAuthProvider TMailingJob::Provider() const {
    TOAuthProvider provider;
    switch (TOAuthProvider::KindFromName(OAuthProvider)) {
    case TOAuthProviderKind::Microsoft365:
        provider = TOAuthProvider::Microsoft365(OAuthTenant);
        break;
    case TOAuthProviderKind::Google:
        provider = TOAuthProvider::Google();
        break;
    case TOAuthProviderKind::Other:
        provider =
            TOAuthProvider::Other(QUrl(OAuthAuthorizationUrl.trimmed()), QUrl(OAuthTokenUrl.trimmed()), OAuthScope);
        break;
    }
    provider.ClientId = OAuthClientId.trimmed();
    provider.ClientSecret = OAuthClientSecret;
    return provider;
}
