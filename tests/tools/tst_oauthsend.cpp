// OAuth 2.0 logins end to end: the Security dialog signs in through the browser stand-in and saves the login;
// quorvel-send signs in the same way, keeps the sign-in in its token file and runs against aiosmtpd, whose logins
// the authorization server checks (each peer in its own process). No token may reach a file the programs write.
#include "oauth/TokenEndpoint.h"
#include "tests/oauth/AuthServer.h"
#include "tests/servers/SmtpSink.h"
#include "tests/wizard/WizardFixture.h"

#include <QDirIterator>
#include <QLabel>
#include <QRegularExpression>
#include <QtTest>

class TestOAuthSend : public QObject {
    Q_OBJECT

    QTemporaryDir FSettings;
    QString FTable;
    AuthServer FAuth;

    struct TRun {
        int Exit = -1;
        QString Out;
        QString Err;
    };

    // quorvel-send copied into folder (its log tables go beside it), started as cron would: no display, no bus.
    static TRun Send(const QTemporaryDir& folder, const QStringList& args) {
        const QString program = folder.filePath("quorvel-send");
        QFile::remove(program);
        QFile::copy(QCoreApplication::applicationDirPath() + "/quorvel-send", program);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS"})
            env.remove(name);
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(program, QStringList{"--settings", RawSettings().fileName()} + args);
        process.waitForFinished(120000);
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromLocal8Bit(process.readAllStandardOutput()),
                QString::fromLocal8Bit(process.readAllStandardError())};
    }

    std::unique_ptr<SmtpSink> Sink(const QStringList& options) {
        auto sink = std::make_unique<SmtpSink>();
        sink->SetOptions(QStringList{"--oauth", FAuth.Url("/introspect").toString(), "--auth-clear"} + options);
        if (!sink->Start())
            qWarning("%s", qPrintable(sink->ErrorText()));
        return sink;
    }

    // The Security dialog's OAuth login (Other, at the test's server) for a run of the first four members.
    std::unique_ptr<TMailWizardForm> Window(const SmtpSink& sink, int login, const QString& client) const {
        QFile::remove(RawSettings().fileName());
        auto form = FilledWizard(QString(), FTable, "127.0.0.1:" + sink.PortText(), 0);
        SetScope(*form, "1", "4");
        Find<QComboBox>(*form, "cmbLogin")->setCurrentIndex(login);
        Find<QComboBox>(*form, "cmbProvider")->setCurrentIndex(2);
        Find<QLineEdit>(*form, "edtUserName")->setText("anna@example.org");
        Find<QCheckBox>(*form, "chbAllowClearPassword")->setChecked(true);
        Find<QLineEdit>(*form, "edtClientId")->setText(client);
        Find<QLineEdit>(*form, "edtAuthorizationUrl")->setText(FAuth.Url("/authorize").toString());
        Find<QLineEdit>(*form, "edtTokenUrl")->setText(FAuth.Url("/token").toString());
        Find<QLineEdit>(*form, "edtScope")->setText("openid smtp offline_access");
        return form;
    }

    void Save(TMailWizardForm& form) const {
        form.SaveSettings();
        form.SettingsChanged = false;
        form.close();
    }

    // Every byte the programs wrote (folder but the user's token file, the settings, the output): no token, raw or
    // in a login line. The server's tokens all end in "+/=".
    static void NoTokenWritten(const QTemporaryDir& folder, const QString& tokenFile, const QByteArray& output,
                               const QByteArray& known = {}) {
        QList<QPair<QString, QByteArray>> written{{"output", output}};
        QFile settings(RawSettings().fileName());
        QVERIFY(settings.open(QIODevice::ReadOnly));
        written.append({settings.fileName(), settings.readAll()});
        for (QDirIterator files(folder.path(), QDir::Files, QDirIterator::Subdirectories); files.hasNext();) {
            QFile file(files.next());
            if (file.fileName() != tokenFile && !file.fileName().endsWith("quorvel-send") &&
                file.open(QIODevice::ReadOnly))
                written.append({file.fileName(), file.readAll()});
        }
        QVERIFY(written.size() > 3); // the settings, mail_log.dbf and the ledger at least
        const QRegularExpression loginLine("AUTH (XOAUTH2|OAUTHBEARER) (?!\\*)");
        for (const auto& [name, bytes] : written)
            QVERIFY2(!bytes.contains("+/=") && !loginLine.match(QString::fromLatin1(bytes)).hasMatch() &&
                         (known.isEmpty() || !bytes.contains(known)),
                     qPrintable(name));
    }

    // quorvel-send --sign-in: the browser stand-in answers, the refresh token lands in a file only the user reads.
    TRun SignIn(const QTemporaryDir& folder, const QString& tokenFile) {
        TRun run = Send(folder, {"--sign-in", "--refresh-token-file", tokenFile});
        if (QFileInfo(tokenFile).permissions() & (QFile::ReadGroup | QFile::ReadOther))
            run.Exit = -2;
        return run;
    }

private slots:
    void initTestCase() {
        QVERIFY(FSettings.isValid());
        UseTemporarySettings(FSettings);
        qputenv("PATH", QByteArray(QUORVEL_BROWSER_FOLDER) + ':' + qgetenv("PATH"));
        QVERIFY(FAuth.Start());
        FTable = FSettings.filePath("members.dbf");
        MakeTable(FTable, "NAME C(20); EMAIL C(40)",
                  Rows({"Member 1|m1@example.org", "Member 2|m2@example.org", "Member 3|m3@example.org",
                        "Member 4|m4@example.org"}));
    }

    void init() { RawSettings().clear(); }

    // Signed in from the dialog after a denied consent: each outcome in one sentence that wraps, grows the dialog
    // and is read by assistive technology; Test connection logs in with the session's token; the settings file
    // keeps no token.
    void signInFromDialog() {
        auto sink = Sink({});
        auto form = Window(*sink, 1, "deny");
        auto* dialog = Find<QDialog>(*form, "SecurityDialog");
        dialog->resize(300, dialog->minimumSizeHint().height()); // narrow: the sentence must wrap
        dialog->show();
        QLabel* result = Find<QLabel>(*form, "lblTestResult");
        Find<QPushButton>(*form, "btnSignIn")->click();
        QTRY_VERIFY_WITH_TIMEOUT(result->text().startsWith("The sign-in was cancelled in the browser: access_denied"),
                                 30000);
        QTRY_VERIFY(result->height() >= result->heightForWidth(result->width()));
        QVERIFY(result->heightForWidth(result->width()) > result->fontMetrics().height()); // wrapped, all shown

        Find<QLineEdit>(*form, "edtClientId")->setText("normal");
        Find<QPushButton>(*form, "btnSignIn")->click();
        QTRY_VERIFY_WITH_TIMEOUT(result->text().startsWith("Signed in as anna@example.org."), 30000);
        QCOMPARE(result->accessibleName(), result->text());
        Find<QPushButton>(*form, "btnTest")->click();
        QVERIFY2(result->text().contains("the login was accepted"), qPrintable(result->text()));
        QCOMPARE(sink->AuthAttempts(), QStringList{"anna@example.org OAUTHBEARER ok"});
        Save(*form);
        QCOMPARE(RawSettings().value("Settings/Login").toInt(), 1);
        QCOMPARE(RawSettings().value("Settings/OAuth Client ID").toString(), QString("normal"));
        QFile settings(RawSettings().fileName());
        QVERIFY(settings.open(QIODevice::ReadOnly) && !settings.readAll().contains("+/="));
    }

    // Every access token serves one login only: each new connection after the first meets a refusal, takes a fresh
    // token and logs in again; all four messages go, through either mechanism.
    void tokenExpiresMidRun_data() {
        QTest::addColumn<QString>("mechanism");
        QTest::newRow("OAUTHBEARER") << "OAUTHBEARER";
        QTest::newRow("XOAUTH2") << "XOAUTH2";
    }
    void tokenExpiresMidRun() {
        QFETCH(QString, mechanism);
        QStringList options{"--close-after-message"};
        if (mechanism == "XOAUTH2")
            options << "--exclude-auth"
                    << "OAUTHBEARER";
        auto sink = Sink(options);
        Save(*Window(*sink, 1, "once"));
        QTemporaryDir folder;
        const QString tokenFile = folder.filePath("sign-in");
        TRun run = SignIn(folder, tokenFile);
        QVERIFY2(run.Exit == 0 && run.Out.startsWith("Signed in as anna@example.org."), qPrintable(run.Out + run.Err));

        run = Send(folder, {"--refresh-token-file", tokenFile});
        QVERIFY2(run.Exit == 0, qPrintable(run.Out + run.Err));
        QCOMPARE(sink->Count(), 4);
        const QString refused = "anna@example.org " + mechanism + " refused";
        const QString ok = "anna@example.org " + mechanism + " ok";
        QCOMPARE(sink->AuthAttempts(), QStringList({ok, refused, ok, refused, ok, refused, ok}));
        NoTokenWritten(folder, tokenFile, (run.Out + run.Err).toUtf8());
    }

    // A refresh token the provider revoked ends the run at the first connection: one row, a sentence to sign in
    // again, the login exit code, nothing sent and no login tried.
    void revokedRefreshToken() {
        auto sink = Sink({});
        Save(*Window(*sink, 1, "normal"));
        QTemporaryDir folder;
        const QString tokenFile = folder.filePath("sign-in");
        QCOMPARE(SignIn(folder, tokenFile).Exit, 0);
        QVERIFY(FAuth.RevokeAll());
        const TRun run = Send(folder, {"--refresh-token-file", tokenFile});
        QCOMPARE(run.Exit, 4);
        QVERIFY2(run.Out.contains("no longer accepts the stored sign-in for anna@example.org") &&
                     run.Out.contains("Sign in again."),
                 qPrintable(run.Out + run.Err));
        QCOMPARE(ReadTable(folder.filePath("mail_log.dbf")).size(), 2); // the field list and one row
        QCOMPARE(sink->Count(), 0);
        QCOMPARE(sink->AuthAttempts(), QStringList());
    }

    // A sign-in the provider refuses during a window's run is forgotten: the next Start! asks to sign in again
    // instead of failing with the same sentence. Its access tokens are short, so the run must refresh.
    void refusedSignInForgotten() {
        auto sink = Sink({});
        auto form = Window(*sink, 1, "short");
        auto* dialog = Find<QDialog>(*form, "SecurityDialog");
        dialog->show();
        Find<QPushButton>(*form, "btnSignIn")->click();
        QLabel* result = Find<QLabel>(*form, "lblTestResult");
        QTRY_VERIFY_WITH_TIMEOUT(result->text().startsWith("Signed in as anna@example.org."), 30000);
        dialog->hide();
        QVERIFY(FAuth.RevokeAll());
        for (int i = 0; i < 4; ++i)
            Find<QPushButton>(*form, "btnNext")->click();
        QCOMPARE(Find<QPushButton>(*form, "btnNext")->text(), QString("Start!"));
        Find<QPushButton>(*form, "btnNext")->click();
        QVERIFY(Find<QPlainTextEdit>(*form, "memLog")->toPlainText().contains("no longer accepts the stored sign-in"));

        QString asked;
        QTimer answer;
        connect(&answer, &QTimer::timeout, form.get(), [&] {
            if (QApplication::activeModalWidget() == dialog && asked.isEmpty()) {
                asked = result->text();
                dialog->reject();
            }
        });
        Find<QPushButton>(*form, "btnBack")->click();
        Find<QPushButton>(*form, "btnNext")->click();
        answer.start(20);
        Find<QPushButton>(*form, "btnNext")->click();
        QCOMPARE(asked, QString("Sign in again to send the mailing: the provider refused the stored sign-in for "
                                "anna@example.org."));
        QCOMPARE(sink->Count(), 0);
    }

    // The token command's first line logs in every connection of the run; the token is written nowhere.
    void tokenCommand() {
        auto sink = Sink({"--close-after-message"});
        Save(*Window(*sink, 1, "normal"));
        QTemporaryDir folder;
        const QString signIn = folder.filePath("sign-in");
        QCOMPARE(SignIn(folder, signIn).Exit, 0);
        QFile refresh(signIn);
        QVERIFY(refresh.open(QIODevice::ReadOnly));
        TTokenEndpoint endpoint(FAuth.Url("/token"));
        const TTokenEndpoint::TReply reply = endpoint.PostAndWait(
            {{"grant_type", "refresh_token"}, {"refresh_token", refresh.readLine().trimmed()}, {"client_id", "normal"}},
            15000);
        QVERIFY(reply.Ok);
        QTemporaryDir secrets;
        QFile token(secrets.filePath("token"));
        QVERIFY(token.open(QIODevice::WriteOnly) && token.write(reply.Tokens.AccessToken + "\nsecond line\n") > 0);
        token.close();

        auto form = Window(*sink, 2, "normal");
        Find<QLineEdit>(*form, "edtTokenCommand")->setText("cat " + token.fileName());
        Save(*form);
        const TRun run = Send(folder, {});
        QVERIFY2(run.Exit == 0, qPrintable(run.Out + run.Err));
        QCOMPARE(sink->Count(), 4);
        QCOMPARE(sink->AuthAttempts().count("anna@example.org OAUTHBEARER ok"), 4);
        NoTokenWritten(folder, signIn, (run.Out + run.Err).toUtf8(), reply.Tokens.AccessToken);
    }
};

QTEST_MAIN(TestOAuthSend)
#include "tst_oauthsend.moc"
