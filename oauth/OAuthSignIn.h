// The authorization code flow with PKCE through the system browser (RFC 6749 4.1, RFC 7636, RFC 8252): opens the
// provider's page, receives the redirect on the loopback address, exchanges the code for tokens.
#pragma once

#include "oauth/LoopbackReceiver.h"
#include "oauth/OAuthProvider.h"
#include "oauth/OAuthTokens.h"
#include "oauth/TokenEndpoint.h"

#include <QTimer>

#include <functional>
#include <memory>

class TOAuthSignIn : public QObject {
public:
    struct TResult {
        bool Ok = false;
        QString Message; // one sentence for the user; never holds a token
        TOAuthTokens Tokens;
    };

    // user is the mailbox address typed by the user; it names the account when the provider sends no id_token.
    TOAuthSignIn(TOAuthProvider provider, QString user, QObject* parent = nullptr);
    ~TOAuthSignIn() override;

    // Opens the browser at the given address; false when it could not. By default runs xdg-open, so that the
    // library needs no Qt Gui; the window passes QDesktopServices::openUrl.
    std::function<bool(const QUrl& url)> OnOpenBrowser;
    // Called once per Start with the outcome, from the event loop (never inside Start); the handler may delete the
    // sign-in.
    std::function<void(TOAuthSignIn& sender, const TResult& result)> OnFinished;

    void Start();
    // Ends a sign-in in progress with "The sign-in was cancelled."; nothing happens when none is.
    void Cancel();
    bool Running() const { return FRunning; }
    // False when OnOpenBrowser could not open the browser: then the caller shows Address() for the user to open
    // by hand, and the sign-in waits for it all the same.
    bool BrowserOpened() const { return FBrowserOpened; }
    // The provider's sign-in page of the current sign-in. It holds no secret: the state and the PKCE challenge are
    // worthless without this program's listener and verifier.
    QUrl Address() const { return FAddress; }
    // How long to wait for the browser's answer (5 minutes unless set).
    void SetTimeout(int ms) { FTimeoutMs = ms; }

    // xdg-open url, detached: the default of OnOpenBrowser.
    static bool OpenWithXdgOpen(const QUrl& url);

private:
    void Redirected(const QUrlQuery& query);
    void Exchanged(const TTokenEndpoint::TReply& reply);
    void Finish(bool ok, const QString& message, const TOAuthTokens& tokens = {});
    QUrl AuthorizationRequest() const;

    TOAuthProvider FProvider;
    QString FUser;
    QByteArray FVerifier;
    QByteArray FState;
    QString FRedirectUri;
    QUrl FAddress;
    bool FBrowserOpened = false;
    TLoopbackReceiver FReceiver;
    TTokenEndpoint FEndpoint;
    QTimer FTimeout;
    int FTimeoutMs = 5 * 60 * 1000;
    bool FRunning = false;
    int FRun = 0; // counts the Starts, so a late outcome of an earlier one is not taken for the current one
};
