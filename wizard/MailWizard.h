// The wizard window: five pages that prepare a mailing, the check before a run, the run and its error log.
#pragma once

#include "mailing/MailingCheck.h"
#include "mailing/MailingJob.h"
#include "mailing/MailingRun.h"
#include "mailing/MailingRunView.h"

#include <QElapsedTimer>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace Ui {
class MailWizardForm;
}
class QComboBox;
class QLineEdit;
class TCodePage;
class TMailingCheck;
class TDataSource;
class THourglass;
class TListDialog;
class TSecurityDialog;
class TSettingsStore;
class TSmtpClient;
class TTable;
class TXbaseEngine;
class TXbaseEnv;
struct TPreflightMailing;

// What closing a window does with it.
enum TCloseAction { caNone, caHide, caFree, caMinimize };

// Where the wizard stands: one of its pages, or the run on the last page.
enum class TWizardState { Welcome = 1, Message, Server, Recipients, Ready, Running, Completed };

// The page number as the first version counted it (1 to 5, 6 while the run goes on), read and set as the state.
class TPageNumber {
public:
    explicit TPageNumber(TWizardState& state) : FState(state) {}
    operator int() const;
    TPageNumber& operator=(int page);

private:
    TWizardState& FState;
};

// What the user did with the pre-flight summary; Failed when the table could not be read for it.
enum class TPreflightAnswer { Continue, Back, Failed };

class TMailWizardForm : public QWidget, public TMailingRunView {
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
    // The mailing as the controls set it up, and the controls set up from a mailing: the one place a job is made.
    TMailingJob Job() const;
    void ShowJob(const TMailingJob& job);
    void LoadSettings();
    void SaveSettings();
    bool Prepared();
    bool CheckSettings();
    void ShowErrorMessage(const QString& Msg);
    void edtTableExit(QObject* Sender);
    void cmbNameDropDown(QObject* Sender);
    void btnBrowseClick(QObject* Sender);

    // The files and the HTML version of the message (MailWizardFiles.cpp). The buttons ask for files or a
    // folder; what was chosen goes through AddAttachments, the others the tests call directly.
    void btnAddAttachmentClick(QObject* Sender);
    void btnRemoveAttachmentClick(QObject* Sender);
    void btnBrowseHtmlClick(QObject* Sender);
    void btnBrowseAttachmentFolderClick(QObject* Sender);
    void cmbAttachmentFieldDropDown(QObject* Sender);
    // Adds files to the list for every message; a file already listed is not added twice.
    void AddAttachments(const QStringList& paths);
    // The list as the settings keep it: paths separated by ";".
    QString AttachmentsSetting() const;
    void SetAttachmentsSetting(const QString& paths);

    // The code page of the recipient table (MailWizardCodePage.cpp): "Automatic" or a code page name.
    QString CodePageSetting() const;
    void SetCodePageSetting(const QString& name);
    void cmbCodePageChange(QObject* Sender);

    // Port, encryption and login of the server (MailWizardSecurity.cpp).
    void btnSecurityClick(QObject* Sender);
    // Hands server, port, security and login to client; false with the reason when they cannot work.
    bool ApplyConnectionSettings(TSmtpClient& client, QString& error);
    // Connects, secures, logs in and quits with the settings as they stand; one sentence on how it went.
    QString TestConnection();
    // At Start!: asks for the login's password when neither this session nor the keyring has it; false when the
    // user cancelled.
    bool AskPassword();
    // A provider chosen in the Security dialog names its mail server.
    void ServerPreset(const QString& host);
    // After a login attempt of client: a refused password is forgotten, so that the next attempt asks for it (true
    // then); an accepted one is stored in the keyring when the user asked for that, never before.
    bool PasswordRefused(const TSmtpClient& client);
    void PasswordAccepted();
    // A sign-in the provider refused is forgotten as a refused password is: the next Start! asks to sign in.
    bool SignInRefused();
    // What the window says when the server refused the password.
    static const QString PasswordRefusedText;

    // Bulk-mail settings (MailWizardList.cpp): the list dialog, and after a run the addresses the servers refused
    // as mailboxes that do not exist, offered for the suppression list with a confirming list.
    void btnListClick(QObject* Sender);
    void btnAddBouncesClick(QObject* Sender);
    const std::vector<std::string>& HardBounces() const { return FHardBounces; }

    // The error-log table mail_log.dbf (MailWizardErrorLog.cpp).
    // Appends one row: Text, and the name and e-mail address of the current recipient. Errors reach the caller.
    void AppendErrorLog(const std::string& Text);
    // The folder of the program file, with its trailing separator.
    static QString ProgramFolder();
    // The folder of the log table last created or opened (or tried), with its trailing separator.
    QString ErrorLogFolder() const { return FErrorLogFolder; }
    // The folder a run puts its log tables in, without creating anything there.
    QString LogTablesFolder() const;

    // The pre-flight summary shown when the check passed (MailWizardPreflight.cpp).
    TPreflightAnswer AskPreflight();
    TPreflightMailing PreflightMailing() const;

    // The mailing run (MailWizardRun.cpp): the window drives a TMailingRun and shows what it reports.
    void MailIt();
    void SmtpClientDisplay(QObject* Sender, const std::string& Msg);
    // The run about to start: the records the summary showed it takes, and those that already got this message
    // passed over unless the summary's box said to send again. False when the user cancelled.
    bool PlanRun();
    // What the run personalises each message from: mapping, body, wrap column, subject, code page and scope.
    TMailingRunSettings MessageSettings() const;

    // The preview window (MailWizardPreview.cpp): checks what the message needs (no server) and shows the scope's
    // messages; "Send a test to me" checks the server and sends the shown record's message to the return address.
    void btnPreviewClick(QObject* Sender);
    // The line the preview shows after a test message; empty when a warning box told why none went out.
    QString SendTestMessage(const TMailingRunSettings& settings);

    void RunStatus(const QString& status) override;
    void RunRecipient(const QString& recipient) override;
    void RunProgress(int position, int percent) override;
    void RunCounts(const TRunCounts& counts) override;
    void RunExpectedEnd(const QDateTime& end) override;
    void RunConnections(int open, int wanted) override;
    void RunLine(const QString& line) override;
    void RunAborted() override;
    bool RunConfirmStop() override;

    // The message body as the run sends it: UTF-8 text with CR LF line breaks.
    std::string MessageBody() const;

signals:
    // Every step the run reports, as it happens; the status field shows the latest once a frame.
    void RunStatusReported(const QString& status);

public:
    // The settings store's key under the user's profile.
    static const char* const SettingsKey;

    // Components owned by the form. The engine settings go first so that they are freed last.
    std::unique_ptr<TXbaseEnv> XbaseEnv;
    std::unique_ptr<TSmtpClient> SmtpClient;
    std::unique_ptr<TTable> tblRecipients;
    std::unique_ptr<TDataSource> srcRecipients;
    std::unique_ptr<TXbaseEngine> XbaseEngine;
    std::unique_ptr<TSecurityDialog> SecurityDlg;
    std::unique_ptr<TListDialog> ListDlg;

    // The form's unpublished state.
    QString AppTitle;
    std::unique_ptr<TSettingsStore> RegSettings;
    TWizardState State() const { return FState; }
    TPageNumber PageNo{FState};
    bool SettingsChanged = false;
    bool StopRequested = false;
    // Set when the user agreed to interrupt a run by closing the window: the run ends at once.
    bool CloseRequested = false;
    std::unique_ptr<TTable> tblLog;
    // Where mail_log.dbf goes; empty means the program's folder (tests point it to a temporary folder).
    QString LogFolder;
    // The pauses before each further attempt of a deferred message, as the Retry Delays edit gives them (a test
    // may shorten them before Start!).
    std::vector<std::chrono::milliseconds> RetryDelays;
    // The delivery ledger beside the error log, open from the check until Back.
    std::unique_ptr<TDeliveryLedger> Ledger;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Start!: the password, the plan of the run, then the run.
    void StartMailing();
    void CreateComponents();
    void ConnectControls();
    void ConnectFileControls();
    void AddAttachmentItem(const QString& path);
    void ApplyLook();
    void ShowPage(QWidget* page, const QString& title);
    // Back from the ready or completed page: title, buttons and tables back to page 4.
    void LeaveReadyPage();
    bool FilterDigitKey(QObject* edit, QKeyEvent* event);
    // The edits that take digits only: wrap column, scope and throttle limits.
    std::array<QLineEdit*, 5> DigitEdits() const;
    bool BodyLineBreak(QKeyEvent* event);
    // Runs a handler for the window system: an exception is explained in a warning box instead of escaping.
    template <typename Handler> void Guarded(Handler&& handler);
    bool Fail(const QString& message);
    // The parts of CheckSettings, in its order: subject and body; server, port, security and login; return
    // address and sender; wrap column and recipient table (opened at the scope); mail_log.dbf and the ledger.
    bool CheckMessage();
    bool CheckServer();
    bool CheckSender();
    bool CheckRetries();
    bool CheckList();
    void ShowHardBounces(std::vector<std::string> addresses);
    bool CheckRecipients();
    bool CheckLogTables();
    // True when error is empty, else shows it.
    bool Passed(const QString& error);
    void CloseRecipients();
    // The value of the mapping's field in the current record, empty when the combo box names no field; errors
    // reach the caller.
    std::string MappedField(const QComboBox* mapping) const;
    // The four field combo boxes: name, organisation, e-mail, salutation.
    std::array<QComboBox*, 4> FieldMappings() const;
    QString RecipientTablePath() const;
    void FillCodePages();
    // Maps the fields a table commonly names NAME, ORG, EMAIL, DEAR (and their usual variants) to the empty
    // boxes of page 4.
    void MapKnownFields();
    // The recipient table's field names, read from a copy of its own; none when it cannot be read.
    std::vector<std::string> TableFieldNames() const;
    void UpdateCodePagePreview();
    // The keyring entry of the login: user name at host.
    QString PasswordKey() const;
    // The job the check reads: after a refused password the keyring's copy is not read again (it was that one,
    // or the user is asked anyway).
    TMailingJob CheckedJob() const;

    // The run's steps (MailWizardRun.cpp).
    void StartRun();
    void EndRun();
    // Page 5 shows the run's reports at most once a frame: a report that comes sooner waits for the frame
    // timer. PaintFrame shows them at once.
    void ReportFrame();
    void PaintFrame();

    TWizardState FState = TWizardState::Welcome;
    std::unique_ptr<Ui::MailWizardForm> ui;
    // The last check and what it found (code page, scope): the run and the preview read the job from it.
    std::unique_ptr<TMailingCheck> FCheck;
    // The subject as the check took it, placeholders still in it.
    std::string FSubject;
    bool FCentred = false;
    QString FErrorLogFolder;
    // The run in progress, and what the check and the ledger decided for it.
    std::unique_ptr<TMailingRun> FRun;
    TMailingRunSettings FRunSettings;
    int FRunPassedOver = 0;
    // What the pre-flight summary showed and the user chose: the records the run takes.
    TRunSelection FSelection;
    bool FSendAgain = false;
    QElapsedTimer FFrame;
    QTimer FFrameTimer;
    // What the run reported last, shown at the next frame.
    QString FShownStatus;
    int FShownPercent = -1;
    QString FShownRecipient;
    QStringList FShownLines;
    std::unique_ptr<THourglass> FBusyCursor;
    TRunCounts FShownCounts;
    QDateTime FShownEnd;
    QString FShownConnections;
    // The server refused the password of this session: ask for it, do not read the keyring's.
    bool FPasswordRefused = false;
    QString FRefusedSignIn; // the keyring entry of the refused sign-in: the check does not take it up again
    // Key and password the keyring holds (read or stored this session), so that it is written once.
    QString FKeyringHolds;
    // The user was told once that no keyring runs.
    bool FNoKeyringTold = false;
    int FPercent = -1;
    std::vector<std::string> FHardBounces;
};
