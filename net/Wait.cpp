// The countdown control: a timer counting Caption down, a nested event loop and a shrinking bar.
#include "net/Wait.h"

#include "net/LeadingNumber.h"
#include "net/WaitInputFilter.h"

#include <QApplication>
#include <QPainter>
#include <QTimer>

namespace {

// Removes the input filter when the outermost Run ends, also when an exception leaves it.
class TFilterGuard {
public:
    TFilterGuard(TWaitInputFilter* filter, int& depth) : FFilter(filter), FDepth(depth) {
        if (FDepth++ == 0) {
            FFilter->Arm();
            qApp->installEventFilter(FFilter);
        }
    }
    ~TFilterGuard() {
        if (--FDepth == 0)
            qApp->removeEventFilter(FFilter);
    }
    TFilterGuard(const TFilterGuard&) = delete;
    TFilterGuard& operator=(const TFilterGuard&) = delete;

private:
    TWaitInputFilter* FFilter;
    int& FDepth;
};

} // namespace

TCustomWait::TCustomWait(QWidget* parent)
    : QWidget(parent), FTimer(new QTimer(this)), FHideTimer(new QTimer(this)),
      FFilter(std::make_unique<TWaitInputFilter>()) {
    resize(192, 32);
    QFont font(QStringLiteral("Courier"));
    font.setPointSize(8);
    font.setFixedPitch(true);
    font.setStyleHint(QFont::TypeWriter);
    setFont(font);
    FTimer->setInterval(1000);
    FTimer->setTimerType(Qt::PreciseTimer);
    connect(FTimer, &QTimer::timeout, this, [this] { TimerTick(); });
    FHideTimer->setSingleShot(true);
    connect(FHideTimer, &QTimer::timeout, this, [this] { HideWhenIdle(); });
}

TCustomWait::~TCustomWait() = default;

int TCustomWait::Count() const {
    return Net::LeadingNumber(Caption);
}

void TCustomWait::Start() {
    StartCount = Count();
    if (StartCount == 0) {
        StartCount = 15;
        Caption = "15";
    }
    FTimer->start();
    if (OnWaitStart)
        OnWaitStart(this);
}

void TCustomWait::Stop() {
    ModalResult = mrStopped;
    FTimer->stop();
    Caption = std::to_string(StartCount);
    if (OnWaitStop)
        OnWaitStop(this);
}

void TCustomWait::TimerTick() {
    const int n = Count() - 1;
    if (OnWait)
        OnWait(this, n);
    // Stopped by the tick's own handler: the stop has settled the caption and the result already.
    if (!Running()) {
        update();
        return;
    }
    if (n > 0) {
        Caption = std::to_string(n);
    } else {
        FTimer->stop();
        ModalResult = mrTimeout;
        Caption = std::to_string(StartCount);
        if (OnTimeout)
            OnTimeout(this);
    }
    update();
}

void TCustomWait::Run() {
    TFilterGuard guard(FFilter.get(), FRunDepth);
    ModalResult = mrNone;
    Start();
    // Blocks until something happens: a tick, a socket event, input; never spins.
    while (Running()) {
        if (OnWaiting)
            OnWaiting(this);
        if (!Running())
            break;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ++FPasses;
    }
}

void TCustomWait::Reset() {
    Caption = std::to_string(StartCount);
}

void TCustomWait::PassInput(QWidget* widget, int key) {
    FFilter->Pass(widget, key);
}

void TCustomWait::ShowForWait() {
    ++FShownWaits;
    setVisible(true);
}

void TCustomWait::HideAfterWait() {
    if (FShownWaits > 0)
        --FShownWaits;
    FLastWaitEnd = std::chrono::steady_clock::now();
    // One hide timer for a whole series of waits: it is not restarted per wait, it looks again when it fires.
    if (!FHideTimer->isActive())
        FHideTimer->start(LingerMs);
}

void TCustomWait::HideWhenIdle() {
    if (FShownWaits > 0)
        return; // the wait in progress hides it when it ends
    const auto idle = std::chrono::steady_clock::now() - FLastWaitEnd;
    const auto linger = std::chrono::milliseconds(LingerMs);
    if (idle < linger)
        FHideTimer->start(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(linger - idle).count()));
    else
        setVisible(false);
}

bool TCustomWait::Running() const {
    return FTimer->isActive();
}

int TCustomWait::Interval() const {
    return FTimer->interval();
}

void TCustomWait::SetInterval(int milliseconds) {
    FTimer->setInterval(milliseconds & 0xffff);
}

void TCustomWait::paintEvent(QPaintEvent*) {
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
