// The wizard window: five pages that prepare a mailing, the check before a run, the run and its error log.
#pragma once

#include <QWidget>
#include <memory>
#include <string>

namespace Ui {
class MailWizardForm;
}
class TSettingsStore;
class TSmtpClient;

// What closing a window does with it.
enum TCloseAction { caNone, caHide, caFree, caMinimize };

class TMailWizardForm : public QWidget {
    Q_OBJECT
public:
    explicit TMailWizardForm(QWidget* parent = nullptr);
    ~TMailWizardForm() override;

    // Page flow and the small handlers of the controls (MailWizard.cpp).
    void FormShow(QObject* Sender);
    void FormCloseQuery(QObject* Sender, bool& CanClose);
    void FormClose(QObject* Sender, TCloseAction& Action);
    void btnNextClick(QObject* Sender);
    void btnCancelClick(QObject* Sender);
    void SettingsChange(QObject* Sender);
    void trbTimeoutChange(QObject* Sender);
    // Key is the typed character; a key set to 0 is swallowed.
    void edtWrapLinesKeyPress(QObject* Sender, char& Key);
    void chbLimitClick(QObject* Sender);
    void imgProgramIconClick(QObject* Sender);

    // The settings store and the check before a run (MailWizardSettings.cpp).
    void LoadSettings();
    void SaveSettings();
    bool Prepared();
    bool CheckSettings();
    void ShowErrorMessage(const QString& Msg);

    // The mailing run (MailWizardRun.cpp).
    void MailIt();
    bool Connect();
    void ReportStatus();
    void SmtpClientDisplay(QObject* Sender, const std::string& Msg);

    // Personalisation and the body feed of the SMTP client (MailWizardFeed.cpp).
    void ReplaceVariables(const std::string& Source, std::string& Dest);
    void SmtpClientGetData(QObject* Sender, int LineNum, char* MsgLine, int MaxLen, bool& More);
    void SmtpClientHeaderLine(QObject* Sender, char* Msg, int Size);

    // The message body as the run sends it: 8-bit text with CR LF line breaks.
    std::string MessageBody() const;

    // The settings store's key under the user's profile.
    static const char* const SettingsKey;

    // Components owned by the form.
    std::unique_ptr<TSmtpClient> SmtpClient;

    // The form's unpublished state.
    QString AppTitle;
    std::unique_ptr<TSettingsStore> RegSettings;
    int PageNo = 1;
    bool SettingsChanged = false;
    bool StopRequested = false;
    // Set when the user agreed to interrupt a run by closing the window: the run ends at once.
    bool CloseRequested = false;
    size_t MsgPos = 0;
    std::string MsgText;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateComponents();
    void ConnectControls();
    void ApplyLook();
    void ShowPage(QWidget* page, const QString& title);
    // Back from the ready or completed page: title, buttons and tables back to page 4.
    void LeaveReadyPage();
    bool FilterDigitKey(QObject* edit, QKeyEvent* event);

    std::unique_ptr<Ui::MailWizardForm> ui;
    bool FCentred = false;
};
