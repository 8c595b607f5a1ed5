// Socket readiness from QSocketNotifier, reported again only when the socket has been served, delivered in order.
#include "net/SocketEventSource.h"

#include "net/LastError.h"
#include "net/SocketEvents.h"

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>

#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <sys/socket.h>

namespace {

const QEvent::Type SocketEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

class TSocketQEvent : public QEvent {
public:
    TSocketQEvent(int handle, int events, int error, unsigned long long generation)
        : QEvent(SocketEventType), Handle(handle), Events(events), Error(error), Generation(generation) {}
    int Handle;
    int Events;
    int Error;
    unsigned long long Generation;
};

} // namespace

TSocketEventSource::TSocketEventSource(THandler handler, TReader reader)
    : FHandler(std::move(handler)), FReader(std::move(reader)) {}

TSocketEventSource::~TSocketEventSource() {
    Retire(FReadNotifier);
    Retire(FWriteNotifier);
}

void TSocketEventSource::Retire(std::unique_ptr<QSocketNotifier>& notifier) {
    // A handler may close the socket from inside the notifier's own signal: the notifier goes later.
    if (notifier) {
        notifier->setEnabled(false);
        notifier.release()->deleteLater();
    }
}

bool TSocketEventSource::Attach(int handle, int mask, TMode mode) {
    Detach();
    const int flags = ::fcntl(handle, F_GETFL);
    if (flags < 0 || ::fcntl(handle, F_SETFL, flags | O_NONBLOCK) < 0)
        return false;
    FHandle = handle;
    FMode = mode;
    FCloseReported = false;
    FReadReported = false;
    FReadQueued = false;
    FReadNotifier = std::make_unique<QSocketNotifier>(handle, QSocketNotifier::Read);
    FWriteNotifier = std::make_unique<QSocketNotifier>(handle, QSocketNotifier::Write);
    FReadNotifier->setEnabled(false);
    FWriteNotifier->setEnabled(false);
    connect(FReadNotifier.get(), &QSocketNotifier::activated, this, [this] { ReadReady(); });
    connect(FWriteNotifier.get(), &QSocketNotifier::activated, this, [this] { WriteReady(); });
    SetMask(mask);
    return true;
}

void TSocketEventSource::Detach() {
    Retire(FReadNotifier);
    Retire(FWriteNotifier);
    FHandle = -1;
    FMask = 0;
    FReadReported = false;
    FReadQueued = false;
    ++FGeneration;
}

void TSocketEventSource::SetMask(int mask) {
    FMask = mask;
    if (FHandle < 0)
        return;
    switch (FMode) {
    case TMode::Connecting:
        // The outcome of a connect shows as write readiness; reading waits until it is known.
        EnableRead(false);
        EnableWrite((mask & FD_CONNECT) != 0);
        break;
    case TMode::Listening:
        FReadReported = false;
        EnableRead((mask & FD_ACCEPT) != 0);
        EnableWrite(false);
        break;
    case TMode::Connected:
    case TMode::Datagram:
        FReadReported = false;
        if ((mask & (FD_READ | FD_CLOSE)) != 0 && !FCloseReported)
            ArmRead();
        else
            EnableRead(false);
        EnableWrite((mask & FD_WRITE) != 0);
        break;
    }
}

void TSocketEventSource::EnableRead(bool on) {
    if (FReadNotifier)
        FReadNotifier->setEnabled(on);
}

void TSocketEventSource::EnableWrite(bool on) {
    if (FWriteNotifier)
        FWriteNotifier->setEnabled(on);
}

void TSocketEventSource::ReadDone() {
    if (FHandle < 0 || FCloseReported || FMode == TMode::Connecting)
        return;
    FReadReported = false;
    if (FMode == TMode::Listening)
        EnableRead((FMask & FD_ACCEPT) != 0);
    else if ((FMask & (FD_READ | FD_CLOSE)) != 0)
        ArmRead();
}

void TSocketEventSource::ArmRead() {
    if (!FReader.Holding || !FReader.Holding()) {
        EnableRead(true);
        return;
    }
    // Bytes already taken from the platform are reported through the queue, since the reader that left them is
    // still running; the end of the stream, if it came, is found once they are gone.
    FReadReported = true;
    if ((FMask & FD_READ) != 0 && !FReadQueued) {
        FReadQueued = true;
        Post(FHandle, FD_READ, 0);
    }
}

bool TSocketEventSource::ReadArmed() const {
    return FHandle >= 0 && FMode == TMode::Connected && !FReadReported && !FCloseReported && (FMask & FD_READ) != 0 &&
           FReadNotifier && FReadNotifier->isEnabled();
}

void TSocketEventSource::ReadClosed(int error) {
    if (FHandle < 0 || FCloseReported || FMode == TMode::Listening || (FMask & FD_CLOSE) == 0)
        return;
    EnableRead(false);
    FCloseReported = true;
    Post(FHandle, FD_CLOSE, error);
}

void TSocketEventSource::WriteBlocked() {
    if (FHandle >= 0 && FMode != TMode::Listening && (FMask & FD_WRITE) != 0)
        EnableWrite(true);
}

void TSocketEventSource::Post(int handle, int events, int error) {
    ++FQueued;
    QCoreApplication::postEvent(this, new TSocketQEvent(handle, events, error, FGeneration));
}

void TSocketEventSource::Deliver(int events, int error) {
    // Straight from the readiness when nothing is queued before it: the order stays, the trip through the queue
    // (and the wake-up it costs) goes.
    if (FQueued == 0)
        Dispatch(FHandle, events, error);
    else
        Post(FHandle, events, error);
}

void TSocketEventSource::Dispatch(int handle, int events, int error) {
    if (!FHandler)
        return;
    // Nothing may leave through the event loop: a failure inside a handler ends that handler only.
    try {
        FHandler(handle, events, error);
    } catch (const std::exception& e) {
        qWarning("socket event: %s", e.what());
    } catch (...) {
        qWarning("socket event: unknown failure");
    }
}

void TSocketEventSource::ReadReady() {
    // Level-triggered readiness: while a report has not been served by a receive, the notifier rests.
    if (FReadReported) {
        EnableRead(false);
        return;
    }
    if (FMode == TMode::Listening) {
        FReadReported = true;
        Deliver(FD_ACCEPT, 0);
        return;
    }
    if (FMode == TMode::Datagram) {
        FReadReported = true;
        Deliver(FD_READ, 0);
        return;
    }
    // A reader that receives now finds the end or the failure itself, and reports it as a close event.
    if (FQueued == 0 && (FMask & FD_READ) && FReader.Receiving && FReader.Receiving()) {
        FReadReported = true;
        Dispatch(FHandle, FD_READ, 0);
        return;
    }
    // A stream that is readable either has bytes, has reached its end, or has failed: one peeked byte tells.
    char byte;
    const ssize_t n = ::recv(FHandle, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        FReadReported = true;
        if (FMask & FD_READ)
            Deliver(FD_READ, 0);
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        const int error = n == 0 ? 0 : SocketErrorFromErrno(errno);
        EnableRead(false);
        FCloseReported = true;
        if (FMask & FD_CLOSE)
            Post(FHandle, FD_CLOSE, error);
    }
}

void TSocketEventSource::WriteReady() {
    EnableWrite(false);
    if (FMode != TMode::Connecting) {
        Post(FHandle, FD_WRITE, 0);
        return;
    }
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(FHandle, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
        error = errno;
    if (error == 0) {
        // Connected: the first write readiness belongs to the connect, as a freshly connected socket reports it.
        FMode = TMode::Connected;
        EnableRead((FMask & (FD_READ | FD_CLOSE)) != 0);
        Post(FHandle, FD_CONNECT | (FMask & FD_WRITE), 0);
    } else {
        Post(FHandle, FD_CONNECT, SocketErrorFromErrno(error));
    }
}

bool TSocketEventSource::event(QEvent* event) {
    if (event->type() != SocketEventType)
        return QObject::event(event);
    --FQueued;
    const auto* socketEvent = static_cast<TSocketQEvent*>(event);
    if (socketEvent->Generation != FGeneration)
        return true;
    if (socketEvent->Events & FD_READ)
        FReadQueued = false;
    Dispatch(socketEvent->Handle, socketEvent->Events, socketEvent->Error);
    return true;
}
