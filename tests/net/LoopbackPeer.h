// Raw loopback peers for the network tests: a listener, the accepted end, and descriptor counting.
#pragma once

#include <string>

namespace LoopbackPeer {

// A listening TCP socket on 127.0.0.1 (or ::1) at a free port (or the one given); accepts on demand, never by
// itself.
class TListener {
public:
    explicit TListener(int backlog = 5, bool ipv6 = false, int port = 0);
    ~TListener();
    TListener(const TListener&) = delete;
    TListener& operator=(const TListener&) = delete;

    int Port() const { return FPort; }
    // The next pending connection (waits up to a second for it); -1 when none came.
    int Accept();

private:
    int FHandle = -1;
    int FPort = 0;
};

// A loopback port nobody listens on.
int UnusedPort();
// Writes all bytes to a raw socket.
void SendAll(int handle, const std::string& bytes);
// Closes with a reset instead of an orderly end.
void ResetAndClose(int handle);
// Entries of /proc/self/fd.
int OpenDescriptorCount();

} // namespace LoopbackPeer
