// The server's port, encryption and login: the security dialog, what the check hands to the SMTP client, the
// connection test and the password asked for at Start!.
#include "app/MailWizard.h"

#include "app/PasswordStore.h"
#include "app/SecurityDialog.h"
#include "app/ServerAddress.h"
#include "framework/MessageDlg.h"
#include "framework/Text.h"
#include "net/AsyncSocket.h"
#include "smtp/SmtpClient.h"
#include "ui_MailWizard.h"

#include <QFile>
#include <QFileInfo>
#include <QInputDialog>

namespace {

// A port number from 1 to 65535 or a service name the system knows, as the socket will read it.
bool UsablePort(const QString& port) {
    try {
        TAsyncSocket probe;
        probe.SetPort(port.toStdString());
        return probe.PortNumber() > 0;
    } catch (const ESocketException&) {
        return false;
    }
}

} // namespace

QString TMailWizardForm::PasswordKey() const {
    QString host;
    QString port;
    ServerAddress::Split(Text::Trim(ui->edtSMTPServer->text()), host, port);
    return PasswordStore::Key(SecurityDlg->UserName(), host);
}

void TMailWizardForm::btnSecurityClick(QObject* /*Sender*/) {
    const bool remembered = SecurityDlg->RememberPassword();
    const QString oldKey = PasswordKey();
    if (!SecurityDlg->Edit())
        return;
    SettingsChange(ui->btnSecurity);
    QString error;
    if (remembered && (!SecurityDlg->RememberPassword() || PasswordKey() != oldKey))
        PasswordStore::Remove(oldKey, error);
    if (SecurityDlg->RememberPassword() && !SecurityDlg->UserName().isEmpty() && !SecurityDlg->Password().isEmpty() &&
        !PasswordStore::Write(PasswordKey(), SecurityDlg->Password(), error))
        MessageDlg::Warning(this, QStringLiteral("The password could not be stored in the desktop keyring:\r\n") +
                                      error + QStringLiteral("\r\nIt is kept until the program ends."));
}

bool TMailWizardForm::ApplyConnectionSettings(TSmtpClient& client, QString& error) {
    QString host;
    QString port;
    if (!ServerAddress::Split(Text::Trim(ui->edtSMTPServer->text()), host, port)) {
        error = QStringLiteral("Invalid SMTP mail server specified: use a name or address, optionally followed by a "
                               "colon and the port.");
        return false;
    }
    const QString dialogPort = SecurityDlg->Port();
    if (!port.isEmpty() && !dialogPort.isEmpty() && port != dialogPort) {
        error = QStringLiteral("The SMTP server names port %1, the security settings port %2.").arg(port, dialogPort);
        return false;
    }
    const TSmtpSecurity security = SecurityDlg->Security();
    if (port.isEmpty())
        port = dialogPort;
    if (port.isEmpty())
        port = security == TSmtpSecurity::None ? QStringLiteral("smtp") : TSecurityDialog::StandardPort(security);
    if (!UsablePort(port)) {
        error = QStringLiteral("Invalid port specified: %1 (a number from 1 to 65535 or a service name).").arg(port);
        return false;
    }
    const QString certificate = SecurityDlg->Certificate();
    if (!certificate.isEmpty() && !QFile(certificate).open(QIODevice::ReadOnly)) {
        error = QStringLiteral("Can't read the trusted certificate file:\r\n") + certificate;
        return false;
    }
    const QString user = SecurityDlg->UserName();
    QString password = SecurityDlg->Password();
    if (!user.isEmpty() && password.isEmpty() && SecurityDlg->RememberPassword()) {
        QString keyringError;
        if (PasswordStore::Read(PasswordKey(), password, keyringError)) {
            SecurityDlg->SetPassword(password); // in memory from now on: the keyring is asked once
        } else if (!keyringError.isEmpty()) {
            error = QStringLiteral("A user name is given, but the password cannot be read from the desktop keyring: "
                                   "%1\r\nUntick \"Remember the password\" to be asked for it at Start!.")
                        .arg(keyringError);
            return false;
        }
    }
    client.SetHost(host.toStdString());
    client.SetPort(port.toStdString());
    client.SetSecurity(security);
    client.SetTrustedCertificate(QFile::encodeName(certificate).toStdString());
    client.SetUserName(user.toStdString());
    client.SetPassword(password.toStdString());
    client.SetAllowClearPassword(SecurityDlg->AllowClearPassword());
    return true;
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
    if (!client.UserName().empty() && SecurityDlg->Password().isEmpty())
        return QStringLiteral("Enter the password to test the login.");
    if (!client.Open()) {
        const std::string reply = client.LastResponse();
        if (client.SecurityFailure() || reply.empty())
            return QString::fromStdString(client.ErrorMessage()).replace(QStringLiteral("\r\n"), QStringLiteral(" "));
        return QStringLiteral("The server refused the connection: ") + QString::fromStdString(reply);
    }
    QString result = QStringLiteral("The test worked: connected to %1:%2")
                         .arg(QString::fromStdString(client.Host()), QString::fromStdString(client.Port()));
    result += client.Encrypted() ? QStringLiteral(", the connection is encrypted")
                                 : QStringLiteral(", the connection is not encrypted");
    if (!client.UserName().empty())
        result += QStringLiteral(", the login was accepted");
    client.Quit();
    return result + QLatin1Char('.');
}

bool TMailWizardForm::AskPassword() {
    if (SecurityDlg->UserName().isEmpty() || !SecurityDlg->Password().isEmpty())
        return true;
    bool given = false;
    const QString password =
        QInputDialog::getText(this, QStringLiteral("Password"),
                              QStringLiteral("Password of %1 at %2:")
                                  .arg(SecurityDlg->UserName(), QString::fromStdString(SmtpClient->Host())),
                              QLineEdit::Password, QString(), &given);
    if (!given || password.isEmpty())
        return false;
    // Kept in memory for this session; in the keyring only when the user asked for it.
    SecurityDlg->SetPassword(password);
    SmtpClient->SetPassword(password.toStdString());
    QString error;
    if (SecurityDlg->RememberPassword())
        PasswordStore::Write(PasswordKey(), password, error);
    return true;
}
