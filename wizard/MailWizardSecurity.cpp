// The server's port, encryption and login: the security dialog, what the check hands to the SMTP client, the
// connection test and the password asked for at Start!.
#include "wizard/MailWizard.h"

#include "mailing/MailingCheck.h"
#include "mailing/MailingLogin.h"
#include "mailing/MailingRun.h"
#include "mailing/PasswordStore.h"
#include "oauth/AccessTokenSource.h"
#include "wizard/SecurityDialog.h"
#include "framework/widgets/MessageDlg.h"
#include "framework/core/Text.h"
#include "smtp/SmtpClient.h"
#include "ui_MailWizard.h"

#include <QFile>
#include <QFileInfo>
#include <QInputDialog>

const QString TMailWizardForm::PasswordRefusedText = QStringLiteral("The server refused the password; enter it again.");

QString TMailWizardForm::PasswordKey() const {
    return TMailingCheck(Job(), *SmtpClient).PasswordKey();
}

TMailingJob TMailWizardForm::CheckedJob() const {
    TMailingJob job = Job();
    if (FPasswordRefused)
        job.RememberPassword = false; // for the check only: the setting itself stays as the user left it
    return job;
}

bool TMailWizardForm::PasswordRefused(const TSmtpClient& client) {
    if (!TMailingRun::LoginRefused(client))
        return false;
    FPasswordRefused = true;
    SecurityDlg->SetPassword(QString());
    SmtpClient->SetPassword(std::string());
    return true;
}

bool TMailWizardForm::SignInRefused() {
    const std::shared_ptr<TAccessTokenSource> session = SecurityDlg->Session();
    if (!session || !session->SignInRefused())
        return false;
    FRefusedSignIn = MailingLogin::RefreshTokenKey(Job());
    SecurityDlg->SetSession(nullptr);
    return true;
}

void TMailWizardForm::PasswordAccepted() {
    FPasswordRefused = false;
    FRefusedSignIn.clear();
    const QString password = SecurityDlg->Password();
    if (!SecurityDlg->RememberPassword() || SecurityDlg->UserName().isEmpty() || password.isEmpty())
        return;
    const QString holds = PasswordKey() + QLatin1Char('\n') + password;
    if (holds == FKeyringHolds)
        return;
    // Tried once per password: a keyring that failed is not asked again after every run.
    FKeyringHolds = holds;
    QString error;
    if (!PasswordStore::Write(PasswordKey(), password, error))
        MessageDlg::Warning(this, QStringLiteral("The password could not be stored in the desktop keyring:\r\n") +
                                      error + QStringLiteral("\r\nIt is kept until the program ends."));
}

void TMailWizardForm::btnSecurityClick(QObject* /*Sender*/) {
    const bool remembered = SecurityDlg->RememberPassword();
    const QString oldKey = PasswordKey();
    if (!SecurityDlg->Edit())
        return;
    SettingsChange(ui->btnSecurity);
    QString error;
    if (remembered && (!SecurityDlg->RememberPassword() || PasswordKey() != oldKey)) {
        PasswordStore::Remove(oldKey, error);
        FKeyringHolds.clear();
    }
    // A typed password reaches the keyring only once the server has accepted it (PasswordAccepted).
}

bool TMailWizardForm::ApplyConnectionSettings(TSmtpClient& client, QString& error) {
    TMailingCheck check(CheckedJob(), client);
    error = check.Server();
    if (!check.KeyringPassword().isEmpty()) {
        SecurityDlg->SetPassword(check.KeyringPassword()); // in memory from now on: the keyring is asked once
        FKeyringHolds = PasswordKey() + QLatin1Char('\n') + check.KeyringPassword();
    }
    return error.isEmpty();
}

QString TMailWizardForm::TestConnection() {
    if (Text::Trim(ui->edtSMTPServer->text()).isEmpty())
        return QStringLiteral("Enter the SMTP server first.");
    TSmtpClient client;
    client.SetWait(ui->Waiter);
    client.SetTimeOut(ui->trbTimeout->value());
    QString error;
    if (!ApplyConnectionSettings(client, error))
        return error.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    if (!client.UserName().empty() && SecurityDlg->Login() == TMailingJob::PasswordLogin &&
        SecurityDlg->Password().isEmpty())
        return QStringLiteral("Enter the password to test the login.");
    if (!client.Open()) {
        const std::string reply = client.LastResponse();
        if (PasswordRefused(client))
            return PasswordRefusedText + QStringLiteral(" (") + QString::fromStdString(reply) + QLatin1Char(')');
        if (client.SecurityFailure() || reply.empty())
            return QString::fromStdString(client.ErrorMessage()).replace(QStringLiteral("\r\n"), QStringLiteral(" "));
        return QStringLiteral("The server refused the connection: ") + QString::fromStdString(reply);
    }
    const QString host = QString::fromStdString(client.Host());
    const QString address = QString::fromStdString(client.HostAddress());
    QString result = QStringLiteral("The test worked: connected to %1:%2")
                         .arg(host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host,
                              QString::fromStdString(client.Port()));
    // A name may stand for several addresses (IPv6 and IPv4): the one that answered.
    if (!address.isEmpty() && address != host)
        result += QStringLiteral(" at ") + address;
    result += client.Encrypted() ? QStringLiteral(", the connection is encrypted")
                                 : QStringLiteral(", the connection is not encrypted");
    if (!client.UserName().empty()) {
        result += QStringLiteral(", the login was accepted");
        PasswordAccepted();
    }
    client.Quit();
    return result + QLatin1Char('.');
}

void TMailWizardForm::ServerPreset(const QString& host) {
    ui->edtSMTPServer->setText(host);
}

bool TMailWizardForm::AskPassword() {
    if (SecurityDlg->Login() == TMailingJob::OAuthLogin) {
        // No sign-in kept (no keyring, or none yet): the user signs in now, in the Security dialog.
        if (!SecurityDlg->Session()) {
            const QString why = FRefusedSignIn.isEmpty()
                                    ? QStringLiteral("Sign in to send the mailing: there is no stored sign-in for %1.")
                                    : QStringLiteral("Sign in again to send the mailing: the provider refused the "
                                                     "stored sign-in for %1.");
            SecurityDlg->Edit(why.arg(SecurityDlg->UserName()));
            if (!SecurityDlg->Session())
                return false;
        }
        TMailingJob job = Job();
        MailingLogin::Install(*SmtpClient, job);
        return true;
    }
    if (SecurityDlg->Login() != TMailingJob::PasswordLogin)
        return true;
    if (SecurityDlg->UserName().isEmpty() || !SecurityDlg->Password().isEmpty())
        return true;
    bool given = false;
    QString label = QStringLiteral("Password of %1 at %2:")
                        .arg(SecurityDlg->UserName(), QString::fromStdString(SmtpClient->Host()));
    if (FPasswordRefused)
        label = PasswordRefusedText + QLatin1Char('\n') + label;
    const QString password = QInputDialog::getText(this, QStringLiteral("Password"), label, QLineEdit::Password,
                                                   QString(), &given);
    if (!given || password.isEmpty())
        return false;
    // Kept in memory for this session; in the keyring only once the server accepted it, and the user asked for it.
    SecurityDlg->SetPassword(password);
    SmtpClient->SetPassword(password.toStdString());
    return true;
}
