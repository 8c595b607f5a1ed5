// One of several connections a mailing run keeps to its server: a client of its own on a thread of its own. It
// does what the run orders, one task at a time, and asks for every message and tells every result on the run's
// thread, so that the recipient table, the counts, mail_log.dbf and the ledger are only ever touched there.
#pragma once

#include <QObject>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class QThread;
class TSmtpClient;
struct TMailMessage;

class TMailingConnection {
public:
    // What the connection does next.
    enum class TTaskKind { Connect, Send, Pause, Park, Close };
    struct TTask {
        TTaskKind Kind = TTaskKind::Park;
        // Pause: how long, and whether to close the connection first (the server would close it meanwhile).
        std::chrono::milliseconds Length{};
        bool CloseFirst = false;
    };

    // The run's side. Each call runs on the run's thread while the connection's thread waits for it to return;
    // meanwhile the connection's Client() may be read and changed there.
    class TDriver {
    public:
        virtual ~TDriver() = default;
        // Once, before the first task: the client takes the run's settings.
        virtual void Prepare(TMailingConnection& connection) = 0;
        virtual TTask NextTask(TMailingConnection& connection) = 0;
        // Before and after the client's Open.
        virtual void Connecting(TMailingConnection& connection) = 0;
        virtual void Connected(TMailingConnection& connection) = 0;
        // Inside a Send: the next message and the run's name for it (false: none now), and each one's result.
        virtual bool NextMessage(TMailingConnection& connection, TMailMessage& message, int& id) = 0;
        virtual void Delivered(TMailingConnection& connection, int id, bool accepted) = 0;
        // The client failed in a way it does not report itself (text: why); the connection is dropped.
        virtual void Broken(TMailingConnection& connection, const std::string& text) = 0;
        // The thread is about to end: no call follows.
        virtual void Closed(TMailingConnection& connection) = 0;
    };

    // number counts from 1; waitInterval is the milliseconds of one tick of the client's wait control.
    TMailingConnection(int number, int waitInterval, TDriver& driver);
    // The thread must have ended (after Close) or not have started.
    ~TMailingConnection();
    TMailingConnection(const TMailingConnection&) = delete;
    TMailingConnection& operator=(const TMailingConnection&) = delete;

    void Start();
    // From the run's thread: a parked or pausing connection asks for its next task now.
    void Wake();
    // From the run's thread: drops the connection at once, from within any wait; its messages in flight are told.
    void Abort();
    // From the run's thread: the client sends nothing more; messages whose content went still get their replies.
    void StopSending();

    // From the connection's thread: runs f on the run's thread and waits for it.
    void OnRunThread(const std::function<void()>& f);

    int Number() const { return FNumber; }
    // Only inside a driver call.
    TSmtpClient& Client() { return *FClient; }

    // The run's bookkeeping of this connection, touched on the run's thread only.
    bool Open = false;   // connected, as the run last saw it
    bool Failed = false; // could not be opened: it stays closed
    bool Parked = false;
    bool Ended = false;
    // What the run's last answer to NextMessage leaves: a pause before the next one, or nothing more for now.
    std::chrono::milliseconds PauseBeforeNext{};
    bool NothingNext = false;

private:
    void Work();
    // Sleeps until woken or, with a length, until it has passed.
    void Sleep(const std::chrono::milliseconds* length);

    const int FNumber;
    const int FWaitInterval;
    TDriver& FDriver;
    // Lives on the run's thread: calls queued to it run there.
    QObject FRunSide;
    std::unique_ptr<QThread> FThread;
    // The client while the thread runs; guarded by FMutex for Abort from the run's thread.
    TSmtpClient* FClient = nullptr;
    std::mutex FMutex;
    std::condition_variable FWake;
    bool FWoken = false;
};
