// The security dialog: its values, the standard port shown while the port is empty, and the test.
#include "wizard/SecurityDialog.h"

#include "framework/widgets/Hourglass.h"
#include "mailing/MailingLogin.h"
#include "mailing/PasswordStore.h"
#include "oauth/OAuthAccess.h"
#include "oauth/OAuthSignIn.h"
#include "ui_SecurityDialog.h"

#include <QFileDialog>

namespace {

// Where the client ID comes from, per provider, in the words of the people who hand it out.
QString HelpText(int login, TOAuthProviderKind kind) {
    if (login == TMailingJob::CommandLogin)
        return QStringLiteral("The command runs before each connection; its first output line is the access token.");
    switch (kind) {
    case TOAuthProviderKind::Microsoft365:
        return QStringLiteral("The client ID is the application ID of your organisation's app registration for this "
                              "program (redirect http://localhost, permission SMTP.Send); your administrator has it.");
    case TOAuthProviderKind::Google:
        return QStringLiteral("The client ID and secret come from your organisation's OAuth client of the type "
                              "\"Desktop app\" for this program; your administrator has them.");
    case TOAuthProviderKind::Other:
        break;
    }
    return QStringLiteral("The client ID comes from this program's registration with your provider, whose "
                          "documentation names the two addresses and the scope.");
}

} // namespace

TSecurityDialog::TSecurityDialog(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::SecurityDialog>()) {
    ui->setupUi(this);
    connect(ui->cmbSecurity, &QComboBox::currentIndexChanged, this, [this] { cmbSecurityChange(); });
    connect(ui->btnTest, &QPushButton::clicked, this, [this] { btnTestClick(); });
    connect(ui->btnCertificate, &QPushButton::clicked, this, [this] { btnCertificateClick(); });
    connect(ui->btnSecurityOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->btnSecurityCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->cmbLogin, &QComboBox::currentIndexChanged, this, [this] { cmbLoginChange(); });
    connect(ui->cmbProvider, &QComboBox::currentIndexChanged, this, [this] { cmbLoginChange(); });
    connect(ui->cmbProvider, &QComboBox::activated, this, [this] { cmbProviderChange(); });
    connect(ui->btnSignIn, &QPushButton::clicked, this, [this] { btnSignInClick(); });
    connect(ui->btnSignInCancel, &QPushButton::clicked, this, [this] { CancelSignIn(); });
    ui->edtTenant->setPlaceholderText(QStringLiteral("organizations"));
    ui->lblTestResult->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::MinimumExpanding);
    cmbSecurityChange();
    cmbLoginChange();
}

TSecurityDialog::~TSecurityDialog() = default;

QString TSecurityDialog::Port() const {
    return ui->edtPort->text().trimmed();
}

TSmtpSecurity TSecurityDialog::Security() const {
    return TMailingJob::SecurityFromIndex(ui->cmbSecurity->currentIndex());
}

QString TSecurityDialog::UserName() const {
    return ui->edtUserName->text().trimmed();
}

QString TSecurityDialog::Password() const {
    return ui->edtPassword->text();
}

void TSecurityDialog::SetPassword(const QString& password) {
    ui->edtPassword->setText(password);
}

bool TSecurityDialog::RememberPassword() const {
    return ui->chbRememberPassword->isChecked();
}

bool TSecurityDialog::AllowClearPassword() const {
    return ui->chbAllowClearPassword->isChecked();
}

QString TSecurityDialog::Certificate() const {
    return ui->edtCertificate->text().trimmed();
}

int TSecurityDialog::Login() const {
    return ui->cmbLogin->currentIndex();
}

void TSecurityDialog::ReadOAuth(TMailingJob& job) const {
    job.Login = Login();
    job.OAuthProvider = ui->cmbProvider->currentText();
    job.OAuthClientId = ui->edtClientId->text().trimmed();
    job.OAuthClientSecret = ui->edtClientSecret->text();
    job.OAuthTenant = ui->edtTenant->text().trimmed();
    job.OAuthAuthorizationUrl = ui->edtAuthorizationUrl->text().trimmed();
    job.OAuthTokenUrl = ui->edtTokenUrl->text().trimmed();
    job.OAuthScope = ui->edtScope->text().trimmed();
    job.OAuthTokenCommand = ui->edtTokenCommand->text().trimmed();
}

void TSecurityDialog::ShowOAuth(const TMailingJob& job) {
    // A choice the list does not have keeps the one shown.
    if (job.Login >= 0 && job.Login < ui->cmbLogin->count())
        ui->cmbLogin->setCurrentIndex(job.Login);
    ui->cmbProvider->setCurrentIndex(static_cast<int>(TOAuthProvider::KindFromName(job.OAuthProvider)));
    ui->edtClientId->setText(job.OAuthClientId);
    ui->edtClientSecret->setText(job.OAuthClientSecret);
    ui->edtTenant->setText(job.OAuthTenant);
    ui->edtAuthorizationUrl->setText(job.OAuthAuthorizationUrl);
    ui->edtTokenUrl->setText(job.OAuthTokenUrl);
    ui->edtScope->setText(job.OAuthScope);
    ui->edtTokenCommand->setText(job.OAuthTokenCommand);
}

QString TSecurityDialog::SessionIdentity() const {
    return UserName() + QLatin1Char('\n') + ui->cmbProvider->currentText() + QLatin1Char('\n') +
           ui->edtClientId->text().trimmed();
}

std::shared_ptr<TAccessTokenSource> TSecurityDialog::Session() const {
    if (Login() != TMailingJob::OAuthLogin || FSessionIdentity != SessionIdentity())
        return nullptr;
    return FSession;
}

void TSecurityDialog::SetSession(std::shared_ptr<TAccessTokenSource> session) {
    FSession = std::move(session);
    FSessionIdentity = SessionIdentity();
}

void TSecurityDialog::ShowResult(const QString& text) {
    ui->lblTestResult->setText(text);
    // Assistive technology reads the sentence itself, not a fixed caption.
    ui->lblTestResult->setAccessibleName(text.isEmpty() ? QStringLiteral("Test result") : text);
    ui->lblTestResult->setAccessibleDescription(text);
    if (QLayout* grid = layout()) {
        grid->activate();
        resize(width(), std::max(height(), grid->totalHeightForWidth(width())));
    }
}

void TSecurityDialog::done(int result) {
    CancelSignIn();
    QDialog::done(result);
}

bool TSecurityDialog::Edit(const QString& note) {
    TMailingJob oauth;
    ReadOAuth(oauth);
    const QString port = ui->edtPort->text();
    const int security = ui->cmbSecurity->currentIndex();
    const QString user = ui->edtUserName->text();
    const QString password = ui->edtPassword->text();
    const bool remember = ui->chbRememberPassword->isChecked();
    const bool allowClear = ui->chbAllowClearPassword->isChecked();
    const QString certificate = ui->edtCertificate->text();
    const int connections = ui->spnConnections->value();
    ShowResult(note);
    ui->edtPort->setFocus();
    if (exec() == QDialog::Accepted)
        return true;
    ui->edtPort->setText(port);
    ui->cmbSecurity->setCurrentIndex(security);
    ui->edtUserName->setText(user);
    ui->edtPassword->setText(password);
    ui->chbRememberPassword->setChecked(remember);
    ui->chbAllowClearPassword->setChecked(allowClear);
    ui->edtCertificate->setText(certificate);
    ui->spnConnections->setValue(connections);
    ShowOAuth(oauth);
    return false;
}

void TSecurityDialog::cmbLoginChange() {
    const int login = Login();
    const auto kind = static_cast<TOAuthProviderKind>(ui->cmbProvider->currentIndex());
    const bool password = login == TMailingJob::PasswordLogin;
    const bool oauth = login == TMailingJob::OAuthLogin;
    for (QWidget* widget : {static_cast<QWidget*>(ui->lblPassword), static_cast<QWidget*>(ui->edtPassword),
                            static_cast<QWidget*>(ui->chbRememberPassword)})
        widget->setVisible(password);
    ui->grpOAuth->setVisible(!password);
    ui->grpOAuth->setTitle(oauth ? QStringLiteral("OAuth 2.0") : QStringLiteral("Access token"));
    const auto show = [](QWidget* label, QWidget* edit, bool visible) {
        label->setVisible(visible);
        edit->setVisible(visible);
    };
    show(ui->lblProvider, ui->cmbProvider, oauth);
    show(ui->lblClientId, ui->edtClientId, oauth);
    show(ui->lblClientSecret, ui->edtClientSecret, oauth && kind != TOAuthProviderKind::Microsoft365);
    show(ui->lblTenant, ui->edtTenant, oauth && kind == TOAuthProviderKind::Microsoft365);
    show(ui->lblAuthorizationUrl, ui->edtAuthorizationUrl, oauth && kind == TOAuthProviderKind::Other);
    show(ui->lblTokenUrl, ui->edtTokenUrl, oauth && kind == TOAuthProviderKind::Other);
    show(ui->lblScope, ui->edtScope, oauth && kind == TOAuthProviderKind::Other);
    show(ui->lblTokenCommand, ui->edtTokenCommand, login == TMailingJob::CommandLogin);
    show(ui->btnSignIn, ui->btnSignInCancel, oauth);
    ui->btnSignInCancel->setVisible(oauth && FSignIn && FSignIn->Running());
    ui->lblOAuthHelp->setText(HelpText(login, kind));
    ui->edtUserName->setPlaceholderText(password ? QString() : QStringLiteral("the mailbox address"));
}

void TSecurityDialog::cmbProviderChange() {
    // The user picked a provider: its mail server's port and security, and the server itself through the window.
    TMailingJob job;
    ReadOAuth(job);
    const TOAuthProvider provider = job.Provider();
    if (provider.SmtpHost.isEmpty())
        return;
    ui->edtPort->setText(QString::number(provider.SmtpPort));
    ui->cmbSecurity->setCurrentIndex(provider.SmtpImplicitTls ? 2 : 1);
    if (OnServerPreset)
        OnServerPreset(this, provider.SmtpHost);
}

void TSecurityDialog::btnSignInClick() {
    TMailingJob job;
    ReadOAuth(job);
    job.UserName = UserName();
    if (job.UserName.isEmpty())
        return ShowResult(QStringLiteral("Enter the mailbox address as the user name first."));
    const TOAuthProvider provider = job.Provider();
    if (const QString problem = provider.Problem(); !problem.isEmpty())
        return ShowResult(problem);
    FSignIn = std::make_unique<TOAuthSignIn>(provider, job.UserName);
    FSignIn->OnFinished = [this, provider, job](TOAuthSignIn&, const TOAuthSignIn::TResult& result) {
        QString text = result.Message;
        if (result.Ok) {
            auto access = std::make_shared<TOAuthAccess>(provider, job.UserName, result.Tokens.RefreshToken);
            access->SetTokens(result.Tokens);
            const QString key = MailingLogin::RefreshTokenKey(job);
            access->OnRefreshTokenChanged = [key](TOAuthAccess&, const QByteArray& token) {
                QString ignored;
                PasswordStore::Write(key, QString::fromUtf8(token), ignored);
            };
            SetSession(access);
            QString error;
            if (!job.OAuthClientSecret.isEmpty())
                PasswordStore::Write(MailingLogin::ClientSecretKey(job), job.OAuthClientSecret, error);
            if (!result.Tokens.RefreshToken.isEmpty() &&
                !PasswordStore::Write(key, QString::fromUtf8(result.Tokens.RefreshToken), error))
                text += QLatin1Char(' ') + (error == PasswordStore::NoKeyringText
                                                ? QStringLiteral("No desktop keyring is running, so the sign-in is "
                                                                 "kept until the program ends; then sign in again "
                                                                 "at Start!.")
                                                : QStringLiteral("The sign-in could not be kept in the desktop "
                                                                 "keyring: ") +
                                                      error);
        }
        SignInFinished(text, result.Ok);
    };
    FSignIn->Start();
    if (!FSignIn->Running())
        return; // the outcome comes from the event loop
    ui->btnSignIn->setEnabled(false);
    ui->btnSignInCancel->setVisible(true);
    ShowResult(FSignIn->BrowserOpened()
                   ? QStringLiteral("Waiting for the sign-in in the browser...")
                   : QStringLiteral("Open this address in a browser to sign in: ") + FSignIn->Address().toString());
}

void TSecurityDialog::SignInFinished(const QString& message, bool) {
    ui->btnSignIn->setEnabled(true);
    ui->btnSignInCancel->setVisible(false);
    ShowResult(message);
}

void TSecurityDialog::CancelSignIn() {
    if (FSignIn && FSignIn->Running())
        FSignIn->Cancel();
}

void TSecurityDialog::cmbSecurityChange() {
    ui->edtPort->setPlaceholderText(QStringLiteral("%1 (standard)").arg(TMailingJob::StandardPort(Security())));
}

void TSecurityDialog::btnTestClick() {
    if (!OnTest)
        return;
    ShowResult(QStringLiteral("Testing..."));
    ui->lblTestResult->repaint();
    THourglass busy;
    ShowResult(OnTest(this));
}

void TSecurityDialog::btnCertificateClick() {
    QFileDialog dialog(this, QStringLiteral("Trusted certificate"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({QStringLiteral("Certificates (*.pem *.crt *.cer)"), QStringLiteral("All Files (*)")});
    if (!Certificate().isEmpty())
        dialog.selectFile(Certificate());
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        ui->edtCertificate->setText(QDir::toNativeSeparators(dialog.selectedFiles().first()));
}
