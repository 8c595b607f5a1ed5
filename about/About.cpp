// The About box: program title, the maker's notice and two links.
#include "about/About.h"

#include "framework/core/Application.h"
#include "framework/widgets/Fonts.h"
#include "framework/widgets/Hourglass.h"
#include "framework/core/Maker.h"
#include "framework/widgets/MessageDlg.h"
#include "framework/widgets/ProgramIcon.h"
#include "framework/core/Shell.h"
#include "ui_About.h"

#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>

QString OpenDocumentMessage(int result) {
    switch (result) {
    case 0:
        return QStringLiteral("System out of memory, executable file corrupt, or relocations invalid.");
    case 2:
        return QStringLiteral("File not found.");
    case 3:
        return QStringLiteral("Path not found.");
    case 8:
        return QStringLiteral("There was insufficient memory to start the application.");
    case 10:
        return QStringLiteral("Incorrect Windows version.");
    case 11:
        return QStringLiteral("Invalid executable file was invalid.");
    case 12:
        return QStringLiteral("Application was designed for a different operating system.");
    case 13:
        return QStringLiteral("Application was designed for MS-DOS 4.0.");
    case 14:
        return QStringLiteral("Type of executable file was unknown.");
    case 31:
        return QStringLiteral("No association for this type of file.");
    default:
        return QStringLiteral("Cannot run associated application");
    }
}

int OpenDocument(const QString& FileName, const QString& Params) {
    if (FileName.isEmpty())
        return 0;
    int result = 0;
    {
        THourglass busy;
        result = Shell::Open(FileName, Params);
    }
    // The box comes after the busy cursor is gone: the user is asked to read, not to wait.
    if (result <= 32)
        MessageDlg::Warning(QApplication::activeWindow(), OpenDocumentMessage(result));
    return result;
}

TOKBottomDlg::TOKBottomDlg(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::OKBottomDlg>()) {
    ui->setupUi(this);
    setFont(Fonts::Dialog());
    ui->lblTitle->setFont(Fonts::Title());
    setFixedSize(328, 200);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    ui->imgProgramIcon->setPixmap(ProgramIcon::Pixmap());

    QPalette black = palette();
    black.setColor(QPalette::WindowText, Qt::black);
    setPalette(black);
    for (QLabel* link : {ui->lblEmail, ui->lblURL}) {
        QFont underlined = link->font();
        underlined.setUnderline(true);
        link->setFont(underlined);
        QPalette blue = link->palette();
        blue.setColor(QPalette::WindowText, Qt::blue);
        link->setPalette(blue);
        link->setCursor(Qt::ArrowCursor);
        link->installEventFilter(this);
    }
    connect(ui->OKBtn, &QPushButton::clicked, this, &QDialog::accept);
}

TOKBottomDlg::~TOKBottomDlg() = default;

void TOKBottomDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (event->spontaneous())
        return;
    if (const QScreen* shown = screen())
        move(shown->availableGeometry().center() - rect().center());
    FormShow(this);
}

// OK is also the cancel button: Escape presses it, so the box closes with the result OK either way.
void TOKBottomDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        ui->OKBtn->click();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool TOKBottomDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        if (watched == ui->lblURL) {
            lblURLClick(watched);
            return true;
        }
        if (watched == ui->lblEmail) {
            lblEmailClick(watched);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TOKBottomDlg::FormShow(QObject* /*Sender*/) {
    ui->lblTitle->setText(Application::Title());
    ui->lblURL->setText(QString::fromLatin1(Maker::WebAddress));
    ui->lblEmail->setText(QString::fromLatin1(Maker::MailAddress));
}

void TOKBottomDlg::lblURLClick(QObject* /*Sender*/) {
    OpenDocument(QStringLiteral("URL:") + QString::fromLatin1(Maker::WebAddress), QString());
}

void TOKBottomDlg::lblEmailClick(QObject* /*Sender*/) {
    OpenDocument(QStringLiteral("mailto:") + QString::fromLatin1(Maker::MailAddress), QString());
}
