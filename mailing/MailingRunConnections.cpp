// The run over several connections to the same server. Each connection waits for its server on its own thread;
// this thread decides what each does next, hands out the records in order, keeps the throttle across all of
// them and hears every result, so the rules of the one-connection run hold unchanged.
#include "mailing/MailingRun.h"

#include "mailing/MailingRunView.h"
#include "net/Wait.h"
#include "smtp/MailMessage.h"
#include "smtp/SmtpClient.h"
#include "table/Table.h"

#include <QEventLoop>

#include <algorithm>
#include <stdexcept>

namespace {

// While a connection's call runs, the run hears of that connection's client.
class TClientScope {
public:
    TClientScope(TSmtpClient*& current, TSmtpClient& client) : FCurrent(current), FBefore(current) {
        current = &client;
    }
    ~TClientScope() { FCurrent = FBefore; }
    TClientScope(const TClientScope&) = delete;
    TClientScope& operator=(const TClientScope&) = delete;

private:
    TSmtpClient*& FCurrent;
    TSmtpClient* FBefore;
};

// A connection's call must not raise into the event loop it came through: the first failure ends the run.
template <class F> void Guarded(QString& failure, F&& f) {
    try {
        f();
    } catch (const std::exception& error) {
        if (failure.isEmpty())
            failure = QString::fromLocal8Bit(error.what());
    }
}

} // namespace

void TMailingRun::WalkConnections() {
    // Within a connection's queue a client that lost its line ends the queue; the connection opens anew.
    FQueueing = true;
    const int tick = FOwnClient.Wait() ? FOwnClient.Wait()->Interval() : 1000;
    TMailingConnection::TDriver& driver = *this;
    for (int number = 1; number <= FSettings.Connections; ++number)
        FConnections.push_back(std::make_unique<TMailingConnection>(number, tick, driver));
    struct TCloseAll {
        TMailingRun& Run;
        ~TCloseAll() { Run.CloseConnections(); }
    } closeAll{*this};
    ShowConnections();
    for (const auto& connection : FConnections)
        connection->Start();
    for (;;) {
        AwaitConnections([this] {
            return std::all_of(FConnections.begin(), FConnections.end(),
                               [](const auto& connection) { return connection->Parked; });
        });
        if (!FRunFailure.isEmpty()) {
            ReportRunError(FRunFailure);
            return;
        }
        if (WalkEnds() || FNoConnection)
            return;
        const bool walking = !FRecipients.Eof() && FPosition < FSettings.Maximum;
        if (!walking && FDeferred.empty())
            return;
        for (const auto& connection : FConnections) {
            connection->Parked = false;
            connection->Wake();
        }
    }
}

void TMailingRun::AwaitConnections(const std::function<bool()>& done) {
    while (!done()) {
        QEventLoop loop;
        FConnectionsWait = &loop;
        loop.exec();
    }
    FConnectionsWait = nullptr;
}

void TMailingRun::ConnectionsChanged() {
    if (FConnectionsWait)
        FConnectionsWait->quit();
}

void TMailingRun::CloseConnections() {
    FClosingConnections = true;
    for (const auto& connection : FConnections)
        connection->Wake();
    AwaitConnections([this] {
        return std::all_of(FConnections.begin(), FConnections.end(),
                           [](const auto& connection) { return connection->Ended; });
    });
    FConnections.clear();
    ShowConnections();
}

void TMailingRun::AbortConnections() {
    FOwnClient.Abort();
    for (const auto& connection : FConnections)
        connection->Abort();
}

int TMailingRun::OpenConnections() const {
    return static_cast<int>(std::count_if(FConnections.begin(), FConnections.end(),
                                          [](const auto& connection) { return connection->Open; }));
}

void TMailingRun::ShowConnections() {
    const int open = OpenConnections();
    if (open == FShownConnections)
        return;
    FShownConnections = open;
    FView.RunConnections(open, FSettings.Connections);
}

void TMailingRun::Prepare(TMailingConnection& connection) {
    TSmtpClient& client = connection.Client();
    client.CopySettings(FOwnClient);
    // The sign-in belongs to this thread's caller (a token may need the browser or the keyring): asked here.
    // The row is written on this thread before the message's end leaves the connection's; a row that cannot be
    // written keeps the end from going.
    client.OnMessageEnding = [this, &connection](TSmtpClient* sender, int id) {
        QString failure;
        connection.OnRunThread([&] {
            TClientScope scope(FClient, *sender);
            Guarded(failure, [&] { MessageEnding(id); });
        });
        if (!failure.isEmpty())
            throw std::runtime_error(failure.toLocal8Bit().toStdString());
    };
    if (FOwnClient.OnAccessToken)
        client.OnAccessToken = [this, &connection](TSmtpClient*, std::string& token, std::string& error) {
            bool given = false;
            connection.OnRunThread([&] { given = FOwnClient.OnAccessToken(&FOwnClient, token, error); });
            return given;
        };
    if (FOwnClient.OnTokenRejected)
        client.OnTokenRejected = [this, &connection](TSmtpClient*) {
            bool again = false;
            connection.OnRunThread([&] { again = FOwnClient.OnTokenRejected(&FOwnClient); });
            return again;
        };
}

TMailingConnection::TTask TMailingRun::NextTask(TMailingConnection& connection) {
    using TTask = TMailingConnection::TTask;
    using TKind = TMailingConnection::TTaskKind;
    const bool connected = connection.Client().State() == smtpConnected;
    if (connection.Open && !connected) {
        connection.Open = false;
        ShowConnections();
    }
    const auto pause = std::exchange(connection.PauseBeforeNext, {});
    const bool nothingNext = std::exchange(connection.NothingNext, false);
    if (FClosingConnections)
        return TTask{TKind::Close};
    const bool ending = FInterrupted || FStopRequested || !FTableError.isEmpty() || FNoConnection ||
                        !FRunFailure.isEmpty() || connection.Failed;
    if (!ending && !connected) {
        // The first connection opens alone: an unreachable server or a refused login is met once, not on each.
        const auto first =
            std::find_if(FConnections.begin(), FConnections.end(), [](const auto& other) { return !other->Failed; });
        if (OpenConnections() > 0 || first->get() == &connection) {
            // After a 421 no new connection is tried before the pause it set is over.
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(FReconnectAt - Clock::now());
            if (wait.count() <= 0)
                return TTask{TKind::Connect};
            ShowPause(wait);
            return TTask{TKind::Pause, wait};
        }
    } else if (!ending && pause.count() > 0) {
        ShowPause(pause);
        return TTask{TKind::Pause, pause, pause > KeepConnectionPause};
    } else if (!ending && !nothingNext) {
        return TTask{TKind::Send};
    }
    connection.Parked = true;
    ConnectionsChanged();
    return TTask{TKind::Park};
}

void TMailingRun::Connecting(TMailingConnection& connection) {
    TClientScope scope(FClient, connection.Client());
    ConnectStarts();
}

void TMailingRun::Connected(TMailingConnection& connection) {
    TClientScope scope(FClient, connection.Client());
    FConnecting = false;
    TSmtpClient& client = connection.Client();
    const bool connected = client.State() == smtpConnected;
    Guarded(FRunFailure, [&] {
        if (!connected && OpenConnections() > 0 && !client.SecurityFailure() && !FInterrupted && !FStoppedConnecting) {
            // A server may take fewer connections than asked for: the run goes on with those it has.
            connection.Failed = true;
            FView.RunLine(QStringLiteral("Connection %1 could not be opened: %2")
                              .arg(connection.Number())
                              .arg(FailureText(client).replace(QLatin1Char('\n'), QLatin1Char(' '))));
            return;
        }
        ConnectEnds();
        if (connected)
            return;
        // The last connection could not be had, or a login was refused: one refused login ends them all, since
        // providers lock an account after repeated ones. Messages in flight elsewhere are still answered.
        connection.Failed = true;
        FNoConnection = true;
        if (client.SecurityFailure())
            FOwnClient.AdoptOutcome(client);
        ConnectionFailed();
    });
    if (connected) {
        connection.Open = true;
        for (const auto& other : FConnections)
            if (other->Parked && !other->Failed) {
                other->Parked = false;
                other->Wake();
            }
    }
    ShowConnections();
}

bool TMailingRun::NextMessage(TMailingConnection& connection, TMailMessage& message, int& id) {
    TClientScope scope(FClient, connection.Client());
    if (FNoConnection || !FRunFailure.isEmpty())
        return false;
    TNext next = TNext::End;
    Clock::duration wait{};
    Guarded(FRunFailure, [&] { next = NextForClient(message, id, wait); });
    if (next == TNext::Message)
        return true;
    if (next == TNext::Wait)
        connection.PauseBeforeNext = std::chrono::ceil<std::chrono::milliseconds>(wait);
    else
        connection.NothingNext = true;
    return false;
}

void TMailingRun::Delivered(TMailingConnection& connection, int id, bool accepted) {
    TClientScope scope(FClient, connection.Client());
    Guarded(FRunFailure, [&] { Delivered(id, accepted); });
}

void TMailingRun::Broken(TMailingConnection& connection, const std::string& text) {
    connection.Failed = true;
    if (FRunFailure.isEmpty())
        FRunFailure = QString::fromLocal8Bit(text);
}

void TMailingRun::Closed(TMailingConnection& connection) {
    connection.Ended = true;
    connection.Open = false;
    connection.Parked = true;
    ConnectionsChanged();
}
