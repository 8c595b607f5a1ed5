// A loopback listener served on a thread of its own: connections are accepted one after another and handed to
// the owner's handler, which runs on that thread and closes the descriptor. Declared as its owner's last member,
// it starts after and stops before everything the handler uses.
#pragma once

#include <QString>

#include <atomic>
#include <functional>
#include <thread>

class PeerThread {
public:
    using Handler = std::function<void(int fd, int connection)>;

    explicit PeerThread(Handler handler);
    ~PeerThread();
    PeerThread(const PeerThread&) = delete;
    PeerThread& operator=(const PeerThread&) = delete;

    // 0 when no port could be had: the test fails on it.
    int Port() const { return FPort; }
    QString PortText() const { return QString::number(FPort); }
    int Connections() const { return FConnections; }
    // Waits until fd is readable, looking every 20 ms whether the peer is being stopped; false when it is.
    bool Readable(int fd) const;

private:
    void Serve();

    Handler FHandler;
    int FListen = -1;
    int FPort = 0;
    std::atomic<bool> FStopping{false};
    std::atomic<int> FConnections{0};
    std::thread FThread;
};
