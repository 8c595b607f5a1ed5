// The wait control: the countdown shown as a bar, and the input filter while it runs.
#include "framework/widgets/Wait.h"

#include "framework/widgets/WaitInputFilter.h"

#include <QApplication>
#include <QPainter>
#include <QTimer>

TWait::TWait(QWidget* parent)
    : QWidget(parent), FHideTimer(new QTimer(this)), FFilter(std::make_unique<TWaitInputFilter>()) {
    resize(192, 32);
    QFont font(QStringLiteral("Courier"));
    font.setPointSize(8);
    font.setFixedPitch(true);
    font.setStyleHint(QFont::TypeWriter);
    setFont(font);
    FHideTimer->setSingleShot(true);
    connect(FHideTimer, &QTimer::timeout, this, [this] { HideWhenIdle(); });
}

TWait::~TWait() {
    if (qApp)
        qApp->removeEventFilter(FFilter.get());
}

void TWait::RunBegins() {
    FFilter->Arm();
    qApp->installEventFilter(FFilter.get());
}

void TWait::RunEnds() {
    qApp->removeEventFilter(FFilter.get());
}

void TWait::CountChanged() {
    update();
}

void TWait::PassInput(QWidget* widget, int key) {
    FFilter->Pass(widget, key);
}

void TWait::ShowForWait() {
    ++FShownWaits;
    setVisible(true);
}

void TWait::HideAfterWait() {
    if (FShownWaits > 0)
        --FShownWaits;
    FLastWaitEnd = std::chrono::steady_clock::now();
    // One hide timer for a whole series of waits: it is not restarted per wait, it looks again when it fires.
    if (!FHideTimer->isActive())
        FHideTimer->start(LingerMs);
}

void TWait::HideWhenIdle() {
    if (FShownWaits > 0)
        return; // the wait in progress hides it when it ends
    const auto idle = std::chrono::steady_clock::now() - FLastWaitEnd;
    const auto linger = std::chrono::milliseconds(LingerMs);
    if (idle < linger)
        FHideTimer->start(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(linger - idle).count()));
    else
        setVisible(false);
}

void TWait::paintEvent(QPaintEvent*) {
    const int n = Count();
    const int bar = StartCount != 0 ? static_cast<int>(static_cast<long long>(n) * (width() - 7) / StartCount) : 0;
    QPainter painter(this);
    painter.setPen(QPen(Qt::black, 1));
    painter.setFont(font());
    painter.setBrush(Qt::white);
    painter.drawRect(QRect(QPoint(0, 0), QPoint(width() - 1, height() - 1)));
    const QColor highlight = palette().color(QPalette::Highlight);
    painter.setBrush(highlight);
    painter.drawRect(QRect(QPoint(3, 3), QPoint(3 + bar, height() - 4)));
    painter.setBackgroundMode(Qt::OpaqueMode);
    painter.setBackground(highlight);
    const QFontMetrics metrics(font());
    painter.drawText(4, height() / 2 - 8 + metrics.ascent(), QString::fromLatin1(Caption.c_str()));
}
