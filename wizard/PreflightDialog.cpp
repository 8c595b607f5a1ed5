// The pre-flight summary box: one line per count, and on request the records worth a look.
#include "wizard/PreflightDialog.h"

#include "mailing/PreflightSummary.h"
#include "framework/widgets/Fonts.h"
#include "ui_PreflightDialog.h"

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QScreen>
#include <QScrollBar>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

namespace {

QLabel* AccessibleLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setAccessibleName(text);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

TPreflightDialog::TPreflightDialog(const TPreflightSummary& summary, QWidget* parent)
    : QDialog(parent), FSummary(summary), ui(std::make_unique<Ui::PreflightDialog>()) {
    ui->setupUi(this);
    setFont(Fonts::Dialog());
    FillSummary();
    // Asked here, with the figures, and not after Start!: passing them over is the default.
    ui->chbSendAgain->setVisible(FSummary.AlreadySent() > 0);
    connect(ui->chbSendAgain, &QCheckBox::toggled, this, [this] { ShowToSend(); });
    ui->lblRecords->setVisible(false);
    ui->lstRecords->setVisible(false);
    // Nothing to list: the button stays in its place but cannot be pressed.
    ui->btnShowList->setEnabled(!FSummary.ToLookAt().empty());
    connect(ui->btnShowList, &QPushButton::clicked, this, [this] { btnShowListClick(ui->btnShowList); });
    ui->btnCopy->setEnabled(!FSummary.ToLookAt().empty());
    connect(ui->btnCopy, &QPushButton::clicked, this, [this] { btnCopyClick(ui->btnCopy); });
    connect(ui->btnBack, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->btnContinue, &QPushButton::clicked, this, &QDialog::accept);
    ui->btnContinue->setFocus();
}

TPreflightDialog::~TPreflightDialog() = default;

void TPreflightDialog::FillSummary() {
    int row = 0;
    for (const auto& [caption, value] : FSummary.Lines(SendAgain())) {
        QLabel* captionLabel = AccessibleLabel(QString::fromStdString(caption), this);
        QLabel* valueLabel = AccessibleLabel(QString::fromStdString(value), this);
        captionLabel->setObjectName(QStringLiteral("lblCaption%1").arg(row));
        valueLabel->setObjectName(QStringLiteral("lblValue%1").arg(row));
        valueLabel->setWordWrap(true); // a warning is a sentence
        ui->laySummary->addRow(captionLabel, valueLabel);
        ++row;
    }
}

bool TPreflightDialog::SendAgain() const {
    return ui->chbSendAgain->isChecked();
}

void TPreflightDialog::ShowToSend() {
    // The second line of the summary is the count of messages, the one the choice changes.
    if (auto* value = findChild<QLabel*>(QStringLiteral("lblValue1"))) {
        const QString count = QString::number(FSummary.ToSend(SendAgain()));
        value->setText(count);
        value->setAccessibleName(count);
    }
}

void TPreflightDialog::FillList() {
    const auto& records = FSummary.ToLookAt();
    QList<QTreeWidgetItem*> items;
    const size_t shown = std::min(records.size(), static_cast<size_t>(ListLimit));
    items.reserve(static_cast<qsizetype>(shown) + 1);
    for (size_t i = 0; i < shown; ++i) {
        const TPreflightRecord& record = records[i];
        items << new QTreeWidgetItem({QString::number(record.RecNo), QString::fromStdString(record.Name),
                                      QString::fromStdString(record.Address), QString::fromStdString(record.Reason)});
    }
    if (records.size() > shown)
        items << new QTreeWidgetItem(
            {QString(), QString(), QString(), QStringLiteral("and %1 more records").arg(records.size() - shown)});
    ui->lstRecords->addTopLevelItems(items);
    for (int column = 0; column < ui->lstRecords->columnCount(); ++column)
        ui->lstRecords->resizeColumnToContents(column);
    FitList();
    FListFilled = true;
}

void TPreflightDialog::FitList() {
    QTreeWidget& list = *ui->lstRecords;
    int width = 2 * list.frameWidth() + list.verticalScrollBar()->sizeHint().width();
    for (int column = 0; column < list.columnCount(); ++column)
        width += list.header()->sectionSize(column);
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    const int room = screen ? screen->availableGeometry().width() * 9 / 10 : width;
    list.setMinimumWidth(std::min(width, room));
}

QString TPreflightDialog::ListText() const {
    // A tab or line break inside a value would split its row in a spreadsheet.
    const auto cell = [](const std::string& value) {
        QString text = QString::fromStdString(value);
        for (QChar& c : text)
            if (c == QLatin1Char('\t') || c == QLatin1Char('\r') || c == QLatin1Char('\n'))
                c = QLatin1Char(' ');
        return text;
    };
    QString text = QStringLiteral("Record\tName\tAddress\tReason\n");
    for (const TPreflightRecord& record : FSummary.ToLookAt())
        text += QString::number(record.RecNo) + QLatin1Char('\t') + cell(record.Name) + QLatin1Char('\t') +
                cell(record.Address) + QLatin1Char('\t') + cell(record.Reason) + QLatin1Char('\n');
    return text;
}

void TPreflightDialog::btnCopyClick(QObject* /*Sender*/) {
    QGuiApplication::clipboard()->setText(ListText());
}

void TPreflightDialog::btnShowListClick(QObject* /*Sender*/) {
    const bool show = !ui->lstRecords->isVisible();
    if (show && !FListFilled)
        FillList();
    ui->lblRecords->setVisible(show);
    ui->lstRecords->setVisible(show);
    const QString caption = show ? QStringLiteral("Hide &list") : QStringLiteral("Show &list");
    ui->btnShowList->setText(caption);
    ui->btnShowList->setAccessibleName(QString(caption).remove(QLatin1Char('&')));
    if (show)
        ui->lstRecords->setFocus();
    adjustSize();
}
