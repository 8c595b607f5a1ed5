// The "Security..." dialog of the server page: port, encryption, login and a certificate to trust, with a test.
#pragma once

#include "smtp/SmtpClient.h"

#include <QDialog>
#include <functional>
#include <memory>

namespace Ui {
class SecurityDialog;
}

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

    // Shows the dialog modally; true on OK. Cancel puts every value back as it was.
    bool Edit();
    // Called by Test connection; returns the sentence to show.
    std::function<QString(TSecurityDialog* sender)> OnTest;

private:
    void cmbSecurityChange();
    void btnTestClick();
    void btnCertificateClick();

    std::unique_ptr<Ui::SecurityDialog> ui;
};
