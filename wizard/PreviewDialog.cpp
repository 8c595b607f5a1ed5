// The preview window: steps through the scope and shows each message in a fixed-width font.
#include "wizard/PreviewDialog.h"

#include "framework/widgets/Fonts.h"
#include "framework/widgets/Hourglass.h"
#include "ui_PreviewDialog.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QPushButton>

#include <exception>

TPreviewDialog::TPreviewDialog(int first, int last, int wrapColumn, TSource source, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::PreviewDialog>()), FFirst(first), FLast(std::max(first, last)),
      FWrapColumn(wrapColumn), FSource(std::move(source)) {
    ui->setupUi(this);
    setFont(Fonts::Dialog());
    ui->memPreview->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    ui->spnRecord->setRange(FFirst, FLast);
    connect(ui->btnPrevious, &QPushButton::clicked, this, [this] { ShowRecord(FRecNo - 1); });
    connect(ui->btnNext, &QPushButton::clicked, this, [this] { ShowRecord(FRecNo + 1); });
    connect(ui->btnGo, &QPushButton::clicked, this, [this] { ShowRecord(ui->spnRecord->value()); });
    connect(ui->btnClose, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->btnSendTest, &QPushButton::clicked, this, &TPreviewDialog::SendTest);
    ShowRecord(FFirst);
}

TPreviewDialog::~TPreviewDialog() = default;

QString TPreviewDialog::Ruler(int wrapColumn) {
    QString ruler;
    for (int column = 1; column <= wrapColumn; ++column)
        ruler += column % 10 == 0  ? QString::number(column / 10 % 10)
                 : column % 5 == 0 ? QStringLiteral("+")
                                   : QStringLiteral("-");
    return ruler + QLatin1Char('|');
}

void TPreviewDialog::ShowRecord(int recNo) {
    const int wanted = std::clamp(recNo, FFirst, FLast);
    const bool forward = wanted >= FRecNo;
    FRecNo = wanted;
    // A test's outcome belongs to the record it was sent for.
    ui->lblTestResult->clear();
    std::string problem;
    std::vector<std::string> lines;
    try {
        lines = FSource(FRecNo, problem);
    } catch (const std::exception& error) {
        problem = error.what(); // a record that cannot be read is told, the next one may be fine
    }
    // A step forward that ends before the number asked for has passed the scope's last record.
    if (forward && FRecNo < wanted) {
        FLast = FRecNo;
        ui->spnRecord->setMaximum(FLast);
    }
    ui->spnRecord->setValue(FRecNo);
    QString shown;
    FText.clear();
    if (!problem.empty()) {
        FText = QStringLiteral("Record %1 gets no message: %2").arg(FRecNo).arg(QString::fromStdString(problem));
        shown = FText;
    } else {
        bool body = false;
        for (const std::string& line : lines) {
            const QString text = QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()));
            FText += text + QLatin1Char('\n');
            shown += text + QLatin1Char('\n');
            if (!body && line.empty()) {
                body = true;
                shown += Ruler(FWrapColumn) + QLatin1Char('\n');
            }
        }
    }
    ui->memPreview->setPlainText(shown);
    FHasMessage = problem.empty();
    SetBusy(false);
}

void TPreviewDialog::SetTestSender(TTestSender sender) {
    FTestSender = std::move(sender);
    SetBusy(false);
}

void TPreviewDialog::SetBusy(bool busy) {
    FBusy = busy;
    ui->btnPrevious->setEnabled(!busy && FRecNo > FFirst);
    ui->btnNext->setEnabled(!busy && FRecNo < FLast);
    ui->spnRecord->setEnabled(!busy);
    ui->btnGo->setEnabled(!busy);
    ui->btnClose->setEnabled(!busy);
    ui->btnSendTest->setEnabled(!busy && FHasMessage && FTestSender);
}

void TPreviewDialog::SendTest() {
    if (FBusy || !FTestSender)
        return;
    SetBusy(true);
    ui->lblTestResult->setText(QStringLiteral("Sending a test message to the return address..."));
    QString result;
    {
        THourglass hourglass;
        try {
            result = FTestSender(FRecNo);
        } catch (const std::exception& error) {
            result = QStringLiteral("Test message not sent: ") + QString::fromLocal8Bit(error.what());
        }
    }
    ui->lblTestResult->setText(result);
    SetBusy(false);
    ui->btnSendTest->setFocus();
}

void TPreviewDialog::reject() {
    if (!FBusy)
        QDialog::reject();
}

void TPreviewDialog::closeEvent(QCloseEvent* event) {
    if (FBusy)
        event->ignore();
    else
        QDialog::closeEvent(event);
}

QString TPreviewDialog::MessageText() const {
    return FText;
}
