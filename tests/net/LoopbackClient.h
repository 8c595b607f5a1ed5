// The socket under test as the network tests drive it: a fast wait control and a record of what it reported.
#pragma once

#include "framework/widgets/Wait.h"
#include "net/AsyncSocket.h"

#include <string>
#include <vector>

namespace LoopbackPeer {

// A socket with a fast wait control (one tick = 20 ms) that records its state changes, connects and closes.
class TLoopbackClient {
public:
    TLoopbackClient();
    TLoopbackClient(const TLoopbackClient&) = delete;
    TLoopbackClient& operator=(const TLoopbackClient&) = delete;

    // Starts a connect to 127.0.0.1 at port and leaves the outcome to the caller.
    void StartConnect(int port);
    // Connects to 127.0.0.1 at port and waits up to ticks for it; true when connected.
    bool ConnectTo(int port, int ticks = 50);
    // Hands every byte a read event offers to taken, at most chunk bytes per receive.
    void CollectReceived(std::string& taken, int chunk);

    // Declared before the socket, so that the socket goes first.
    TWait Waiter;
    TAsyncSocket Socket;
    std::vector<TSocketState> States;
    std::vector<int> Closed;
    std::vector<int> Connected;
};

} // namespace LoopbackPeer
