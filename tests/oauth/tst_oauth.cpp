// The sign-in, refresh and token command against an authorization server of our own (a Python process) and a
// browser stand-in (xdg-open on PATH) that follows the redirect to the loopback listener.
#include "oauth/OAuthAccess.h"
#include "oauth/OAuthError.h"
#include "oauth/OAuthSignIn.h"
#include "oauth/RefreshTokenFile.h"
#include "oauth/TokenCommand.h"
#include "tests/oauth/AuthServer.h"

#include <QEventLoop>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

namespace {

// The message a sign-in finishes with, waited for in an event loop.
struct TFinished {
    QString Message;
    QEventLoop Loop;
    explicit TFinished(TOAuthSignIn& signIn) {
        signIn.OnFinished = [this](TOAuthSignIn&, const TOAuthSignIn::TResult& result) {
            Message = result.Message;
            Loop.quit();
        };
    }
    QString Wait() {
        Loop.exec();
        return Message;
    }
};

} // namespace

class tst_oauth : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void signIn_data();
    void signIn();
    void withoutBrowser();
    void wrongStateIgnored_data();
    void wrongStateIgnored();
    void refresh();
    void revokedRefreshToken();
    void tokenCommand_data();
    void tokenCommand();
    void tokenFile();
    void endpoints();

private:
    TOAuthProvider Provider(const QString& clientId, const QString& scope = QStringLiteral("mail")) const;
    TOAuthSignIn::TResult SignIn(const TOAuthProvider& provider, const QString& user);

    std::unique_ptr<AuthServer> FServer;
};

void tst_oauth::initTestCase() {
    qputenv("PATH", QByteArray(QUORVEL_BROWSER_FOLDER) + ':' + qgetenv("PATH"));
    FServer = std::make_unique<AuthServer>();
    QVERIFY(FServer->Start());
}

TOAuthProvider tst_oauth::Provider(const QString& clientId, const QString& scope) const {
    TOAuthProvider provider = TOAuthProvider::Other(FServer->Url(QStringLiteral("/authorize")),
                                                    FServer->Url(QStringLiteral("/token")), scope);
    provider.ClientId = clientId;
    return provider;
}

TOAuthSignIn::TResult tst_oauth::SignIn(const TOAuthProvider& provider, const QString& user) {
    TOAuthSignIn signIn(provider, user);
    signIn.SetTimeout(30000);
    TOAuthSignIn::TResult outcome;
    QEventLoop loop;
    signIn.OnFinished = [&](TOAuthSignIn&, const TOAuthSignIn::TResult& result) {
        outcome = result;
        loop.quit();
    };
    signIn.Start();
    loop.exec();
    return outcome;
}

void tst_oauth::signIn_data() {
    QTest::addColumn<QString>("client");
    QTest::addColumn<QString>("scope");
    QTest::addColumn<QString>("message");
    QTest::newRow("account from the id_token") << "app"
                                               << "openid mail"
                                               << "Signed in as anna@example.org.";
    QTest::newRow("account from the user name") << "app"
                                                << "mail"
                                                << "Signed in as bob@example.org.";
    QTest::newRow("consent denied") << "deny"
                                    << "mail"
                                    << "The sign-in was cancelled in the browser: access_denied (The user declined.)";
    QTest::newRow("PKCE verifier mismatch") << "mismatch"
                                            << "mail"
                                            << "The provider refused the code: invalid_grant (PKCE verifier mismatch)";
}

void tst_oauth::signIn() {
    QFETCH(QString, client);
    QFETCH(QString, scope);
    QFETCH(QString, message);
    const TOAuthSignIn::TResult result = SignIn(Provider(client, scope), QStringLiteral("bob@example.org"));
    QCOMPARE(result.Message, message);
    QCOMPARE(result.Ok, message.startsWith(QLatin1String("Signed in")));
    QCOMPARE(result.Tokens.AccessToken.startsWith("at-"), result.Ok);
    QCOMPARE(result.Tokens.RefreshToken.startsWith("rt-"), result.Ok);
}

void tst_oauth::withoutBrowser() {
    // The browser does not open: the sign-in waits while the user opens the address by hand, or cancels.
    for (const bool cancel : {false, true}) {
        TOAuthSignIn signIn(Provider(QStringLiteral("app")), QStringLiteral("bob@example.org"));
        signIn.OnOpenBrowser = [](const QUrl&) { return false; };
        TFinished finished(signIn);
        signIn.Start();
        QVERIFY(signIn.Running() && !signIn.BrowserOpened());
        if (cancel)
            signIn.Cancel();
        else
            QVERIFY(QProcess::startDetached(QStringLiteral(QUORVEL_BROWSER_FOLDER "/xdg-open"),
                                            {signIn.Address().toString(QUrl::FullyEncoded)}));
        QCOMPARE(finished.Wait(), cancel ? QStringLiteral("The sign-in was cancelled.")
                                 : QStringLiteral("Signed in as bob@example.org."));
    }
}

void tst_oauth::wrongStateIgnored_data() {
    QTest::addColumn<QString>("host");
    QTest::newRow("127.0.0.1") << "127.0.0.1";
    QTest::newRow("localhost, both families") << "localhost";
}

void tst_oauth::wrongStateIgnored() {
    // Any local program can send the listener a redirect: one with another state gets 404, and the sign-in waits
    // on for the browser's. A "localhost" listener holds ::1 as well, so nobody else can take it.
    QFETCH(QString, host);
    TOAuthProvider provider = Provider(QStringLiteral("app"));
    provider.RedirectHost = host;
    TOAuthSignIn signIn(provider, QStringLiteral("bob@example.org"));
    signIn.OnOpenBrowser = [](const QUrl&) { return true; };
    TFinished finished(signIn);
    signIn.Start();
    const QString address = signIn.Address().toString(QUrl::FullyEncoded);
    const QUrl redirect(QUrlQuery(signIn.Address()).queryItemValue(QStringLiteral("redirect_uri"), QUrl::FullyDecoded));
    QTcpServer other;
    QCOMPARE(other.listen(QHostAddress::LocalHostIPv6, quint16(redirect.port())), host == "127.0.0.1");
    other.close();
    // The browser stand-in in its own process; the authorization server sends it back with another state.
    QProcess tampered;
    QEventLoop wait;
    connect(&tampered, &QProcess::finished, &wait, &QEventLoop::quit);
    tampered.start(QStringLiteral(QUORVEL_BROWSER_FOLDER "/xdg-open"),
                   {QString(address).replace("client_id=app", "client_id=tamper")});
    wait.exec();
    QVERIFY(tampered.readAllStandardError().contains("404"));
    QVERIFY(signIn.Running());
    QVERIFY(QProcess::startDetached(QStringLiteral(QUORVEL_BROWSER_FOLDER "/xdg-open"), {address}));
    QCOMPARE(finished.Wait(), QStringLiteral("Signed in as bob@example.org."));
}

void tst_oauth::refresh() {
    // Tokens of 30 seconds are within the minute of margin: every login takes a fresh one, and each refresh
    // rotates the refresh token, which works only when the rotated one is kept.
    const TOAuthProvider shortLived = Provider(QStringLiteral("short"));
    TOAuthSignIn::TResult signedIn = SignIn(shortLived, QStringLiteral("bob@example.org"));
    QVERIFY2(signedIn.Ok, qPrintable(signedIn.Message));
    TOAuthAccess access(shortLived, QStringLiteral("bob@example.org"), {});
    access.SetTokens(signedIn.Tokens);
    QList<QByteArray> stored;
    access.OnRefreshTokenChanged = [&stored](TOAuthAccess&, const QByteArray& token) { stored << token; };
    const QByteArray first = access.AccessToken();
    const QByteArray second = access.AccessToken();
    QVERIFY(first != signedIn.Tokens.AccessToken && second != first);
    QCOMPARE(stored.size(), 2);

    // An hour-long token is used as it is; a refusal brings one fresh token, a second refusal does not.
    const TOAuthProvider hourLong = Provider(QStringLiteral("app"));
    signedIn = SignIn(hourLong, QStringLiteral("bob@example.org"));
    QVERIFY2(signedIn.Ok, qPrintable(signedIn.Message));
    TOAuthAccess stable(hourLong, QStringLiteral("bob@example.org"), {});
    stable.SetTokens(signedIn.Tokens);
    QCOMPARE(stable.AccessToken(), signedIn.Tokens.AccessToken);
    QVERIFY(stable.Rejected());
    const QByteArray renewed = stable.AccessToken();
    QVERIFY(renewed != signedIn.Tokens.AccessToken && renewed.startsWith("at-"));
    QVERIFY(!stable.Rejected());
}

void tst_oauth::revokedRefreshToken() {
    const TOAuthProvider provider = Provider(QStringLiteral("app"));
    const TOAuthSignIn::TResult signedIn = SignIn(provider, QStringLiteral("anna@example.org"));
    QVERIFY2(signedIn.Ok, qPrintable(signedIn.Message));
    QVERIFY(FServer->RevokeAll());
    TOAuthAccess access(provider, QStringLiteral("anna@example.org"), signedIn.Tokens.RefreshToken);
    try {
        access.AccessToken();
        QFAIL("a revoked refresh token gave an access token");
    } catch (const EOAuthError& error) {
        QVERIFY(error.SignInAgain());
        QCOMPARE(error.Message(), QStringLiteral("The provider no longer accepts the stored sign-in for "
                                                 "anna@example.org: invalid_grant (refresh token revoked or unknown). "
                                                 "Sign in again."));
    }
}

void tst_oauth::tokenCommand_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("outcome"); // the token, or the message of the failure
    QTest::newRow("first line") << "printf 'tok-1 \\nsecond\\n'"
                                << "tok-1";
    QTest::newRow("failure, its error output shown") << "echo tok-secret; echo 'no session' >&2; exit 3"
                                                     << "The token command failed (exit code 3): no session";
    QTest::newRow("empty first line") << "printf '\\ntok-2\\n'"
                                      << "The token command printed no access token on its first line.";
    QTest::newRow("hangs") << "exec sleep 30"
                           << "The token command did not finish within 2 seconds.";
}

void tst_oauth::tokenCommand() {
    QFETCH(QString, command);
    QFETCH(QString, outcome);
    TTokenCommand source(command, 2000);
    try {
        QCOMPARE(QString::fromUtf8(source.AccessToken()), outcome);
    } catch (const EOAuthError& error) {
        QCOMPARE(error.Message(), outcome);
    }
}

void tst_oauth::tokenFile() {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("token"));
    QFile existing(path); // an earlier file that others could read: the new one must not inherit that
    QVERIFY(existing.open(QIODevice::WriteOnly) && existing.setPermissions(existing.permissions() | QFile::ReadOther));
    existing.close();
    RefreshTokenFile::Write(path, "rt-1+/=");
    QCOMPARE(QFile::permissions(path), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    QCOMPARE(RefreshTokenFile::Read(path), QByteArray("rt-1+/="));
    QVERIFY(QFile::setPermissions(path, QFile::permissions(path) | QFile::ReadGroup));
    QVERIFY_THROWS_EXCEPTION(EOAuthError, RefreshTokenFile::Read(path));
}

void tst_oauth::endpoints() {
    for (const char* good :
         {"https://login.example.com/token", "http://127.0.0.1:8080/token", "http://[::1]/t", "http://localhost:99/t"})
        QVERIFY2(EndpointProblem(QUrl(QLatin1String(good)), QStringLiteral("token")).isEmpty(), good);
    for (const char* bad : {"http://login.example.com/token", "http://127.0.0.1.example.org/t", "ftp://127.0.0.1/t"})
        QVERIFY2(!EndpointProblem(QUrl(QLatin1String(bad)), QStringLiteral("token")).isEmpty(), bad);
    const TOAuthProvider microsoft = TOAuthProvider::Microsoft365(QStringLiteral("contoso.example"));
    QCOMPARE(microsoft.TokenUrl.toString(),
             QStringLiteral("https://login.microsoftonline.com/contoso.example/oauth2/v2.0/token"));
    QCOMPARE(TOAuthProvider::Microsoft365().AuthorizationUrl.toString(),
             QStringLiteral("https://login.microsoftonline.com/organizations/oauth2/v2.0/authorize"));
}

QTEST_MAIN(tst_oauth)
#include "tst_oauth.moc"
