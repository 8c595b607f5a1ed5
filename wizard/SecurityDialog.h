// The "Security..." dialog of the server page: port, encryption, login and a certificate to trust, with a test.
#pragma once

#include "mailing/MailingJob.h"
#include "smtp/SmtpClient.h"

#include <QDialog>
#include <functional>
#include <memory>

namespace Ui {
class SecurityDialog;
}
class TOAuthSignIn;

class TSecurityDialog : public QDialog {
    Q_OBJECT
public:
    explicit TSecurityDialog(QWidget* parent = nullptr);
    ~TSecurityDialog() override;

    // The controls, for the settings table; the password edit is never stored there.
    const Ui::SecurityDialog& Controls() const { return *ui; }

    QString Port() const;
    TSmtpSecurity Security() const;
    QString UserName() const;
    // The password typed in this session (kept in memory only).
    QString Password() const;
    void SetPassword(const QString& password);
    bool RememberPassword() const;
    bool AllowClearPassword() const;
    QString Certificate() const;

    // The login (a TMailingJob::TLogin) and the OAuth values, to and from a job; the client secret goes only to
    // the job in memory, never to the settings.
    int Login() const;
    void ReadOAuth(TMailingJob& job) const;
    void ShowOAuth(const TMailingJob& job);
    // The access of this session's sign-in for the login shown now; empty when there is none (or the user name,
    // provider or client ID changed since). The check's, read from the keyring, is kept with SetSession.
    std::shared_ptr<TAccessTokenSource> Session() const;
    void SetSession(std::shared_ptr<TAccessTokenSource> session);

    // Shows the dialog modally; true on OK. Cancel puts every value back as it was. note, when given, is shown in
    // the result line as the dialog opens (why it was opened).
    bool Edit(const QString& note = QString());
    // The sentence under Test connection and Sign in: it wraps, the dialog grows, and assistive technology reads it.
    void ShowResult(const QString& text);
    // Called by Test connection; returns the sentence to show.
    std::function<QString(TSecurityDialog* sender)> OnTest;
    // The user picked a provider whose mail server is known: the window puts host into its server box.
    std::function<void(TSecurityDialog* sender, const QString& host)> OnServerPreset;

private:
    void cmbSecurityChange();
    void cmbLoginChange();
    void cmbProviderChange();
    void btnSignInClick();
    void SignInFinished(const QString& message, bool ok);
    void CancelSignIn();
    // The login the session belongs to: user name, provider and client ID.
    QString SessionIdentity() const;
    void done(int result) override;
    void btnTestClick();
    void btnCertificateClick();

    std::unique_ptr<Ui::SecurityDialog> ui;
    std::unique_ptr<TOAuthSignIn> FSignIn;
    std::shared_ptr<TAccessTokenSource> FSession;
    QString FSessionIdentity;
};
