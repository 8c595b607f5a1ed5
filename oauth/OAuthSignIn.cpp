// The sign-in's steps; each failure ends it with one sentence the user can act on.
#include "oauth/OAuthSignIn.h"

#include "oauth/Pkce.h"

#include <QProcess>

#include <utility>
#include <vector>

TOAuthSignIn::TOAuthSignIn(TOAuthProvider provider, QString user, QObject* parent)
    : QObject(parent), FProvider(std::move(provider)), FUser(std::move(user).trimmed()), FEndpoint(FProvider.TokenUrl) {
    OnOpenBrowser = &TOAuthSignIn::OpenWithXdgOpen;
    FReceiver.OnRedirect = [this](TLoopbackReceiver&, const QUrlQuery& query) { Redirected(query); };
    FTimeout.setSingleShot(true);
    connect(&FTimeout, &QTimer::timeout, this, [this] {
        Finish(false, QStringLiteral("No answer came from the browser within %1 minutes; sign in again.")
                          .arg(qMax(1, FTimeoutMs / 60000)));
    });
}

TOAuthSignIn::~TOAuthSignIn() = default;

bool TOAuthSignIn::OpenWithXdgOpen(const QUrl& url) {
    return QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)});
}

void TOAuthSignIn::Start() {
    if (FRunning)
        return;
    FRunning = true;
    ++FRun;
    if (const QString problem = FProvider.Problem(); !problem.isEmpty())
        return Finish(false, problem);
    FVerifier = Pkce::Verifier();
    FState = Pkce::State();
    FReceiver.SetState(FState);
    if (!FReceiver.Listen(FProvider.RedirectHost.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0))
        return Finish(false, QStringLiteral("The sign-in could not listen on this computer's loopback address: %1")
                                 .arg(FReceiver.ErrorText()));
    FRedirectUri = QStringLiteral("http://%1:%2/").arg(FProvider.RedirectHost).arg(FReceiver.Port());
    FTimeout.start(FTimeoutMs);
    FAddress = AuthorizationRequest();
    // Without a browser the sign-in waits on: the user may open the address by hand.
    FBrowserOpened = OnOpenBrowser && OnOpenBrowser(FAddress);
}

QUrl TOAuthSignIn::AuthorizationRequest() const {
    std::vector<std::pair<const char*, QString>> items{
        {"response_type", QStringLiteral("code")},
        {"client_id", FProvider.ClientId.trimmed()},
        {"redirect_uri", FRedirectUri},
        {"scope", FProvider.Scope},
        {"state", QString::fromLatin1(FState)},
        {"code_challenge", QString::fromLatin1(Pkce::Challenge(FVerifier))},
        {"code_challenge_method", QStringLiteral("S256")}};
    if (!FUser.isEmpty())
        items.emplace_back("login_hint", FUser);
    // Google hands out a refresh token only for offline access (Microsoft asks through the scope).
    if (FProvider.Kind == TOAuthProviderKind::Google)
        items.emplace_back("access_type", QStringLiteral("offline"));
    // Every value fully percent-encoded: QUrlQuery would leave "+" and ";" alone, which a server may split on.
    QByteArray query = FProvider.AuthorizationUrl.query(QUrl::FullyEncoded).toLatin1();
    for (const auto& [key, value] : items)
        query += (query.isEmpty() ? "" : "&") + QByteArray(key) + '=' + QUrl::toPercentEncoding(value);
    QUrl url(FProvider.AuthorizationUrl);
    url.setQuery(QString::fromLatin1(query), QUrl::StrictMode);
    return url;
}

void TOAuthSignIn::Redirected(const QUrlQuery& query) {
    if (!FRunning)
        return;
    const auto value = [&query](const char* key) {
        return query.queryItemValue(QLatin1String(key), QUrl::FullyDecoded);
    };
    // An answer with another state was not asked for by this sign-in (RFC 6749 10.12): neither its code nor its
    // error is trusted.
    if (value("state") != QString::fromLatin1(FState))
        return Finish(false, QStringLiteral("The browser returned an answer that does not belong to this sign-in "
                                            "(wrong state); nothing was signed in. Sign in again."));
    if (const QString error = value("error"); !error.isEmpty()) {
        const QString description = value("error_description").simplified();
        const QString reason = description.isEmpty() ? error : error + QStringLiteral(" (") + description + ')';
        if (error == QLatin1String("access_denied"))
            return Finish(false, QStringLiteral("The sign-in was cancelled in the browser: %1").arg(reason));
        return Finish(false, QStringLiteral("The provider stopped the sign-in: %1").arg(reason));
    }
    const QString code = value("code");
    if (code.isEmpty())
        return Finish(false, QStringLiteral("The browser returned no authorization code; sign in again."));
    TTokenEndpoint::TForm form{{QStringLiteral("grant_type"), "authorization_code"},
                               {QStringLiteral("code"), code.toUtf8()},
                               {QStringLiteral("redirect_uri"), FRedirectUri.toUtf8()},
                               {QStringLiteral("client_id"), FProvider.ClientId.trimmed().toUtf8()},
                               {QStringLiteral("code_verifier"), FVerifier}};
    if (!FProvider.ClientSecret.isEmpty())
        form.emplace_back(QStringLiteral("client_secret"), FProvider.ClientSecret.toUtf8());
    FEndpoint.Post(form, [this](const TTokenEndpoint::TReply& reply) { Exchanged(reply); });
}

void TOAuthSignIn::Exchanged(const TTokenEndpoint::TReply& reply) {
    if (!reply.Ok) {
        if (!reply.Error.isEmpty())
            return Finish(false, QStringLiteral("The provider refused the code: %1").arg(reply.Reason()));
        return Finish(false, QStringLiteral("The sign-in failed at the token endpoint: %1").arg(reply.Transport));
    }
    TOAuthTokens tokens = reply.Tokens;
    if (tokens.Account.isEmpty())
        tokens.Account = FUser;
    if (tokens.RefreshToken.isEmpty())
        return Finish(true,
                      QStringLiteral("Signed in as %1, but the provider gave no refresh token: the sign-in lasts "
                                     "only until the access token expires.")
                          .arg(tokens.Account),
                      tokens);
    Finish(true,
           tokens.Account.isEmpty() ? QStringLiteral("Signed in.")
                                    : QStringLiteral("Signed in as %1.").arg(tokens.Account),
           tokens);
}

void TOAuthSignIn::Cancel() {
    if (FRunning)
        Finish(false, QStringLiteral("The sign-in was cancelled."));
}

void TOAuthSignIn::Finish(bool ok, const QString& message, const TOAuthTokens& tokens) {
    FRunning = false;
    FTimeout.stop();
    FReceiver.Close();
    FEndpoint.Abort();
    FVerifier.clear();
    // From the event loop, so that the handler may delete this sign-in: here the receiver's socket or the token
    // endpoint's reply may still be inside its own signal. A result of an earlier Start is dropped.
    QMetaObject::invokeMethod(
        this,
        [this, run = FRun, result = TResult{ok, message, tokens}] {
            if (run == FRun && OnFinished)
                OnFinished(*this, result);
        },
        Qt::QueuedConnection);
}
