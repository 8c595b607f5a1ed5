// The socket under test as the network tests drive it.
#include "LoopbackClient.h"

namespace LoopbackPeer {

TLoopbackClient::TLoopbackClient() {
    Waiter.SetInterval(20);
    Socket.SetWaitCtrl(&Waiter);
    Socket.OnChangeState = [this](TCustomAsyncSocket*, TSocketState, TSocketState now) { States.push_back(now); };
    Socket.OnSessionClosed = [this](TCustomAsyncSocket*, int error) { Closed.push_back(error); };
    Socket.OnSessionConnected = [this](TCustomAsyncSocket*, int error) { Connected.push_back(error); };
}

void TLoopbackClient::StartConnect(int port) {
    Socket.SetProto("tcp");
    Socket.SetPort(std::to_string(port));
    Socket.SetAddr("127.0.0.1");
    Socket.Connect();
}

bool TLoopbackClient::ConnectTo(int port, int ticks) {
    StartConnect(port);
    return Socket.Wait(ticks, wsConnected);
}

void TLoopbackClient::CollectReceived(std::string& taken, int chunk) {
    Socket.OnDataAvailable = [&taken, chunk](TCustomAsyncSocket* socket, int) {
        std::string bytes(static_cast<size_t>(chunk), '\0');
        const int n = socket->Receive(bytes.data(), chunk);
        if (n > 0)
            taken.append(bytes.data(), static_cast<size_t>(n));
    };
}

} // namespace LoopbackPeer
