// One connection of a run with several, on its own thread: the client's waits block this thread alone, and the
// run's thread hands out messages and hears results while all connections wait for their servers.
#include "mailing/MailingConnection.h"

#include "net/Wait.h"
#include "smtp/MailMessage.h"
#include "smtp/SmtpClient.h"

#include <QThread>

TMailingConnection::TMailingConnection(int number, int waitInterval, TDriver& driver)
    : FNumber(number), FWaitInterval(waitInterval), FDriver(driver), FThread(QThread::create([this] { Work(); })) {}

TMailingConnection::~TMailingConnection() {
    FThread->wait();
}

void TMailingConnection::Start() {
    FThread->start();
}

void TMailingConnection::Wake() {
    const std::lock_guard lock(FMutex);
    FWoken = true;
    FWake.notify_one();
}

void TMailingConnection::Abort() {
    const std::lock_guard lock(FMutex);
    // Runs on the connection's thread, inside whatever wait it is in; a client gone meanwhile takes its
    // queued call with it.
    if (FClient)
        QMetaObject::invokeMethod(
            FClient, [client = FClient] { client->Abort(); }, Qt::QueuedConnection);
    FWoken = true;
    FWake.notify_one();
}

void TMailingConnection::StopSending() {
    const std::lock_guard lock(FMutex);
    if (FClient)
        QMetaObject::invokeMethod(
            FClient, [client = FClient] { client->StopSending(); }, Qt::QueuedConnection);
}

void TMailingConnection::OnRunThread(const std::function<void()>& f) {
    QMetaObject::invokeMethod(&FRunSide, f, Qt::BlockingQueuedConnection);
}

void TMailingConnection::Sleep(const std::chrono::milliseconds* length) {
    std::unique_lock lock(FMutex);
    if (length)
        FWake.wait_for(lock, *length, [this] { return FWoken; });
    else
        FWake.wait(lock, [this] { return FWoken; });
    FWoken = false;
}

void TMailingConnection::Work() {
    TCustomWait wait;
    wait.SetInterval(FWaitInterval);
    TSmtpClient client;
    client.SetWait(&wait);
    {
        const std::lock_guard lock(FMutex);
        FClient = &client;
    }
    struct TForget {
        TMailingConnection& Connection;
        ~TForget() {
            const std::lock_guard lock(Connection.FMutex);
            Connection.FClient = nullptr;
        }
    } forget{*this};

    OnRunThread([this] { FDriver.Prepare(*this); });
    for (;;) {
        TTask task;
        OnRunThread([this, &task] { task = FDriver.NextTask(*this); });
        try {
            switch (task.Kind) {
            case TTaskKind::Connect:
                OnRunThread([this] { FDriver.Connecting(*this); });
                client.Open();
                OnRunThread([this] { FDriver.Connected(*this); });
                break;
            case TTaskKind::Send:
                client.MailQueue(
                    [this](TMailMessage& message, int& id) {
                        bool more = false;
                        OnRunThread([&] { more = FDriver.NextMessage(*this, message, id); });
                        return more;
                    },
                    [this](int id, bool accepted) { OnRunThread([&] { FDriver.Delivered(*this, id, accepted); }); });
                break;
            case TTaskKind::Pause:
                if (task.CloseFirst)
                    client.Quit();
                Sleep(&task.Length);
                break;
            case TTaskKind::Park:
                Sleep(nullptr);
                break;
            case TTaskKind::Close:
                client.Quit();
                OnRunThread([this] { FDriver.Closed(*this); });
                return;
            }
        } catch (const std::exception& error) {
            client.Abort();
            const std::string text = error.what();
            OnRunThread([this, &text] { FDriver.Broken(*this, text); });
        }
    }
}
