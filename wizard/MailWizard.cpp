// The wizard window: construction, the page counter and the handlers of its controls.
#include "wizard/MailWizard.h"

#include "about/About.h"
#include "mailing/MailingCheck.h"
#include "mailing/SettingsTable.h"
#include "wizard/ListDialog.h"
#include "wizard/SecurityDialog.h"
#include "wizard/WizardCaptions.h"
#include "framework/core/Application.h"
#include "framework/widgets/Fonts.h"
#include "framework/widgets/Hourglass.h"
#include "framework/widgets/MessageDlg.h"
#include "framework/widgets/ProgramIcon.h"
#include "framework/core/SettingsStore.h"
#include "framework/core/Text.h"
#include "smtp/SmtpClient.h"
#include "table/CodePage.h"
#include "table/DataSource.h"
#include "table/Table.h"
#include "table/XbaseEngine.h"
#include "table/XbaseEnv.h"
#include "ui_MailWizard.h"

#include <QCloseEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QShowEvent>

#include <algorithm>

const char* const TMailWizardForm::SettingsKey = SettingsTable::Key;

TMailWizardForm::TMailWizardForm(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::MailWizardForm>()) {
    ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(394, 399); // taller than the first version: the run choices and files of page 4, the files of page 2
    setWindowIcon(ProgramIcon::Icon());
    ui->btnCancel->setProperty(WizardCaptions::CancelRole, true);
    ui->Waiter->SetInterval(1000);
    ui->Waiter->Caption = "60";
    ui->Waiter->setVisible(false);
    // The form places the wait control beyond its right edge: the status line already says what the program
    // waits for, and an unexplained countdown box would only puzzle the user.
    // Stop (a click, its keys, and Escape, which presses it) must work while the run waits for the server.
    ui->Waiter->PassInput(ui->btnCancel, Qt::Key_Escape);
    FillCodePages();
    CreateComponents();
    ApplyLook();
    ConnectControls();
    FFrameTimer.setSingleShot(true);
    connect(&FFrameTimer, &QTimer::timeout, this, [this] { PaintFrame(); });
}

TMailWizardForm::~TMailWizardForm() = default;

template <typename Handler> void TMailWizardForm::Guarded(Handler&& handler) {
    try {
        handler();
    } catch (const std::exception& error) {
        MessageDlg::Warning(this, QString::fromLocal8Bit(error.what()));
    }
}

void TMailWizardForm::CreateComponents() {
    XbaseEnv = std::make_unique<TXbaseEnv>();
    tblRecipients = std::make_unique<TTable>();
    tblRecipients->SetReadOnly(true);
    tblRecipients->SetTableType(ttXbFOX);
    srcRecipients = std::make_unique<TDataSource>();
    srcRecipients->SetDataSet(tblRecipients.get());
    XbaseEngine = std::make_unique<TXbaseEngine>();
    XbaseEngine->SetDataSource(srcRecipients.get());
    Ledger = std::make_unique<TDeliveryLedger>();

    SecurityDlg = std::make_unique<TSecurityDialog>(this);
    SecurityDlg->OnTest = [this](TSecurityDialog*) { return TestConnection(); };
    SecurityDlg->OnServerPreset = [this](TSecurityDialog*, const QString& host) { ServerPreset(host); };
    ListDlg = std::make_unique<TListDialog>(this);

    SmtpClient = std::make_unique<TSmtpClient>();
    SmtpClient->SetPort("smtp");
    SmtpClient->SetWait(ui->Waiter);
    SmtpClient->SetTimeOut(15);
}

void TMailWizardForm::ApplyLook() {
    setFont(Fonts::Dialog());
    ui->lblTitle->setFont(Fonts::Title());
    ui->lblNotice->setFont(Fonts::SmallPrint());
    ui->imgProgramIcon->setPixmap(ProgramIcon::Pixmap());
    SecurityDlg->setFont(font()); // a window of its own: the form's font does not reach it by itself
    ListDlg->setFont(font());

    // The title panel stands out in the colour of an edit's background, as wizards have it.
    QPalette top = ui->pnlTop->palette();
    top.setColor(QPalette::Window, top.color(QPalette::Base));
    ui->pnlTop->setPalette(top);
    ui->pnlTop->setAutoFillBackground(true);

    // The welcome text reads as part of the page, not as an edit box.
    QPalette welcome = ui->memWelcomeMessage->palette();
    welcome.setColor(QPalette::Base, welcome.color(QPalette::Window));
    ui->memWelcomeMessage->setPalette(welcome);
    ui->memWelcomeMessage->viewport()->setAutoFillBackground(false);
}

void TMailWizardForm::ConnectControls() {
    connect(ui->btnNext, &QPushButton::clicked, this, [this] { Guarded([this] { btnNextClick(ui->btnNext); }); });
    connect(ui->btnBack, &QPushButton::clicked, this, [this] { Guarded([this] { btnNextClick(ui->btnBack); }); });
    connect(ui->btnCancel, &QPushButton::clicked, this, [this] { Guarded([this] { btnCancelClick(ui->btnCancel); }); });
    connect(ui->btnBrowse, &QPushButton::clicked, this, [this] { Guarded([this] { btnBrowseClick(ui->btnBrowse); }); });
    connect(ui->btnSecurity, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnSecurityClick(ui->btnSecurity); }); });
    connect(ui->btnList, &QPushButton::clicked, this, [this] { Guarded([this] { btnListClick(ui->btnList); }); });
    connect(ui->btnAddBounces, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnAddBouncesClick(ui->btnAddBounces); }); });
    connect(ui->btnPreview, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnPreviewClick(ui->btnPreview); }); });
    ui->cmbName->OnDropDown = [this](QObject* sender) { Guarded([this, sender] { cmbNameDropDown(sender); }); };
    ConnectFileControls();

    for (QLineEdit* edit :
         {ui->edtSubject, ui->edtSMTPServer, ui->edtName, ui->edtOrganization, ui->edtReturnAddress, ui->edtWrapLines,
          ui->edtTable, ui->edtScopeFrom, ui->edtScopeTo, ui->edtMaxPerMinute, ui->edtMaxPerHour})
        connect(edit, &QLineEdit::textChanged, this, [this, edit] { SettingsChange(edit); });
    // The pauses follow the edit as it is typed (a test may shorten them afterwards); the check refuses a list
    // that does not read.
    connect(ui->edtRetryDelays, &QLineEdit::textChanged, this, [this] {
        SettingsChange(ui->edtRetryDelays);
        std::vector<std::chrono::milliseconds> pauses;
        if (Job().RetryPauses(pauses))
            RetryDelays = std::move(pauses);
    });
    connect(ui->memMessage, &QPlainTextEdit::textChanged, this, [this] { SettingsChange(ui->memMessage); });
    for (QComboBox* combo : {static_cast<QComboBox*>(ui->cmbName), ui->cmbOrganization, ui->cmbEmail, ui->cmbDear})
        connect(combo, &QComboBox::editTextChanged, this, [this, combo] { SettingsChange(combo); });
    connect(ui->cmbCodePage, &QComboBox::currentIndexChanged, this,
            [this] { Guarded([this] { cmbCodePageChange(ui->cmbCodePage); }); });
    for (QComboBox* combo : {static_cast<QComboBox*>(ui->cmbName), ui->cmbEmail})
        connect(combo, &QComboBox::editTextChanged, this, [this] { UpdateCodePagePreview(); });
    for (QCheckBox* box : {ui->chbClearLog, ui->chbAddFooter, ui->chbOncePerAddress})
        connect(box, &QCheckBox::toggled, this, [this, box] { SettingsChange(box); });
    connect(ui->chbLimit, &QCheckBox::toggled, this, [this] { chbLimitClick(ui->chbLimit); });
    connect(ui->trbTimeout, &QSlider::valueChanged, this, [this] { trbTimeoutChange(ui->trbTimeout); });

    // Resuming and retrying the failed ones are two different selections of records: one at a time.
    connect(ui->chbResume, &QCheckBox::toggled, this, [this](bool on) {
        if (on)
            ui->chbRetryFailed->setChecked(false);
    });
    connect(ui->chbRetryFailed, &QCheckBox::toggled, this, [this](bool on) {
        if (on)
            ui->chbResume->setChecked(false);
    });

    for (QLineEdit* digits : DigitEdits())
        digits->installEventFilter(this);
    ui->edtTable->installEventFilter(this);
    ui->memMessage->installEventFilter(this);
    ui->imgProgramIcon->installEventFilter(this);
}

void TMailWizardForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    if (!FCentred) {
        if (const QScreen* shown = screen())
            move(shown->availableGeometry().center() - rect().center());
        FCentred = true;
    }
    FormShow(this);
}

void TMailWizardForm::closeEvent(QCloseEvent* event) {
    bool canClose = true;
    FormCloseQuery(this, canClose);
    if (!canClose) {
        event->ignore();
        return;
    }
    TCloseAction action = caFree;
    FormClose(this, action);
    event->accept();
}

// Enter presses the default button and Escape the cancel button, as in a dialog. Next keeps its default role
// because it does not take it over on focus (autoDefault off): a plain window has no dialog to hand it back.
void TMailWizardForm::keyPressEvent(QKeyEvent* event) {
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (plain && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && ui->btnNext->isDefault() &&
        ui->btnNext->isEnabled()) {
        ui->btnNext->click();
        return;
    }
    if (plain && event->key() == Qt::Key_Escape && ui->btnCancel->property(WizardCaptions::CancelRole).toBool() &&
        ui->btnCancel->isEnabled()) {
        ui->btnCancel->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool TMailWizardForm::eventFilter(QObject* watched, QEvent* event) {
    const auto digits = DigitEdits();
    if (event->type() == QEvent::KeyPress && std::find(digits.begin(), digits.end(), watched) != digits.end())
        return FilterDigitKey(watched, static_cast<QKeyEvent*>(event));
    if (watched == ui->memMessage && event->type() == QEvent::KeyPress)
        return BodyLineBreak(static_cast<QKeyEvent*>(event));
    if (watched == ui->edtTable && event->type() == QEvent::FocusOut)
        Guarded([this, watched] { edtTableExit(watched); });
    if (watched == ui->imgProgramIcon && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        imgProgramIconClick(watched);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

// Shift+Enter would insert a line separator (U+2028) that is neither Latin-1 nor a line of the message:
// in the body it is the line break Enter makes.
bool TMailWizardForm::BodyLineBreak(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (!enter || (event->modifiers() & ~Qt::KeypadModifier) != Qt::ShiftModifier)
        return false;
    ui->memMessage->insertPlainText(QStringLiteral("\n"));
    return true;
}

std::array<QLineEdit*, 5> TMailWizardForm::DigitEdits() const {
    return {ui->edtWrapLines, ui->edtScopeFrom, ui->edtScopeTo, ui->edtMaxPerMinute, ui->edtMaxPerHour};
}

// Only keys that type a character reach the handler; shortcuts (paste, undo) and cursor keys pass untouched.
bool TMailWizardForm::FilterDigitKey(QObject* edit, QKeyEvent* event) {
    if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return false;
    const QString typed = event->text();
    if (typed.isEmpty() || event->key() == Qt::Key_Delete)
        return false;
    const char16_t code = typed.at(0).unicode();
    // A character beyond 8 bits is never a digit; 0x80 stands for it.
    char key = static_cast<char>(code <= 0xFF ? code : 0x80);
    edtWrapLinesKeyPress(edit, key);
    return key == 0;
}

void TMailWizardForm::FormShow(QObject* /*Sender*/) {
    FState = TWizardState::Welcome;
    ui->stkPages->setCurrentWidget(ui->pnlPage1);
    RegSettings = std::make_unique<TSettingsStore>(QString::fromLatin1(SettingsKey));
    LoadSettings();
    SettingsChanged = false;
    AppTitle = Application::Title();
    setWindowTitle(AppTitle);
    XbaseEnv->SetDeleted(true);
}

void TMailWizardForm::ShowPage(QWidget* page, const QString& title) {
    ui->stkPages->setCurrentWidget(page);
    ui->lblTitle->setText(title);
}

void TMailWizardForm::LeaveReadyPage() {
    // Each step on its own: one that fails must not keep the others from putting the window back on page 4.
    const auto guarded = [](auto&& step) {
        try {
            step();
        } catch (...) {
        }
    };
    guarded([this] {
        Application::SetTitle(AppTitle);
        setWindowTitle(Application::Title());
    });
    FState = TWizardState::Recipients;
    ui->btnNext->setText(WizardCaptions::Next);
    ui->btnNext->setToolTip(QString());
    ui->btnNext->setEnabled(true);
    guarded([this] { tblRecipients->Close(); });
    guarded([this] {
        if (tblLog)
            tblLog->Close();
    });
    tblLog.reset();
    guarded([this] { Ledger->Close(); });
    if (FCheck)
        FCheck->ReleaseLock();
}

void TMailWizardForm::btnNextClick(QObject* Sender) {
    using S = TWizardState;
    if (Sender == ui->btnBack) {
        if (FState == S::Ready || FState == S::Running || FState == S::Completed)
            LeaveReadyPage();
        else if (FState != S::Welcome)
            FState = static_cast<S>(static_cast<int>(FState) - 1);
    } else if (Sender == ui->btnNext) {
        switch (FState) {
        case S::Recipients:
            // The check shows the ready page when it passes, else stays on this page.
            if (Prepared())
                FState = S::Ready;
            return;
        case S::Ready:
        case S::Completed:
            StartMailing();
            return;
        case S::Running:
            return;
        default:
            FState = static_cast<S>(static_cast<int>(FState) + 1);
        }
    }
    switch (FState) {
    case S::Welcome:
        ShowPage(ui->pnlPage1, QStringLiteral("Welcome to Quorvel Mailer"));
        ui->btnBack->setEnabled(false);
        ui->btnNext->setFocus();
        break;
    case S::Message:
        ShowPage(ui->pnlPage2, QStringLiteral("Prepare e-mail message"));
        ui->btnBack->setEnabled(true);
        ui->edtSubject->setFocus();
        break;
    case S::Server:
        ShowPage(ui->pnlPage3, QStringLiteral("Prepare mail server settings"));
        ui->edtSMTPServer->setFocus();
        break;
    case S::Recipients:
        ShowPage(ui->pnlPage4, QStringLiteral("Prepare recipient list"));
        ui->edtTable->setFocus();
        break;
    default:
        break;
    }
}

void TMailWizardForm::StartMailing() {
    FState = TWizardState::Running;
    CloseRequested = false;
    // The window may be closed (and the interruption agreed to) while the password prompt or the plan's question
    // is up: then no run starts at all.
    if (!AskPassword() || CloseRequested || !PlanRun() || CloseRequested) {
        FState = TWizardState::Ready;
        return;
    }
    ShowPage(ui->pnlPage5, QStringLiteral("Processing..."));
    MailIt();
}

TPageNumber::operator int() const {
    return FState == TWizardState::Completed ? 5 : static_cast<int>(FState);
}

TPageNumber& TPageNumber::operator=(int page) {
    FState = static_cast<TWizardState>(std::clamp(page, 1, 6));
    return *this;
}

void TMailWizardForm::btnCancelClick(QObject* /*Sender*/) {
    if (FState == TWizardState::Running) {
        StopRequested = true;
        if (!FRun)
            return;
        // While the connection is being made (a handshake or login may wait long) no message is in transfer:
        // the question comes at once, and Yes drops the attempt.
        if (FRun->Connecting()) {
            const QString question =
                QStringLiteral("Sure to abort mailing in progress?\r\nYes = Stop now! No = Continue!");
            if (MessageDlg::Confirm(this, question) == TConfirmAnswer::Yes)
                FRun->StopConnecting();
            StopRequested = false;
            return;
        }
        FRun->RequestStop();
        return;
    }
    close();
}

void TMailWizardForm::FormCloseQuery(QObject* /*Sender*/, bool& CanClose) {
    if (FState == TWizardState::Running) {
        if (MessageDlg::Confirm(this, QStringLiteral("Interrupt SMTP transfer?")) != TConfirmAnswer::Yes) {
            CanClose = false;
            return;
        }
        CloseRequested = true;
        StopRequested = true;
        // The run is on the stack, maybe inside a wait of the client or a pause: it ends next.
        if (FRun)
            FRun->Interrupt();
        else
            SmtpClient->Abort();
    }
    TConfirmAnswer answer = TConfirmAnswer::No;
    if (SettingsChanged)
        answer = MessageDlg::Confirm(this, QStringLiteral("Save Settings?"), true);
    if (answer == TConfirmAnswer::Yes)
        SaveSettings();
    CanClose = answer != TConfirmAnswer::Cancel;
}

void TMailWizardForm::FormClose(QObject* /*Sender*/, TCloseAction& Action) {
    RegSettings.reset();
    Action = caFree;
}

void TMailWizardForm::SettingsChange(QObject* /*Sender*/) {
    SettingsChanged = true;
}

void TMailWizardForm::trbTimeoutChange(QObject* Sender) {
    ui->lblTimeout->setText(QString::number(ui->trbTimeout->value()) + QStringLiteral(" sec"));
    SettingsChange(Sender);
}

void TMailWizardForm::edtWrapLinesKeyPress(QObject* /*Sender*/, char& Key) {
    const bool control = Key == 8 || Key == 9 || Key == 13 || Key == 27;
    const bool digit = Key >= '0' && Key <= '9';
    if (!control && !digit)
        Key = 0;
}

void TMailWizardForm::chbLimitClick(QObject* /*Sender*/) {
    const bool limited = ui->chbLimit->isChecked();
    ui->edtScopeFrom->setEnabled(limited);
    ui->edtScopeTo->setEnabled(limited);
    SettingsChanged = true;
}

void TMailWizardForm::imgProgramIconClick(QObject* /*Sender*/) {
    TOKBottomDlg about(this);
    about.exec();
}

std::string TMailWizardForm::MessageBody() const {
    return Text::ToCrLf(ui->memMessage->toPlainText()).toStdString();
}
