// The thread's last socket error, kept as the socket error numbers that users see in messages.
#pragma once

namespace SocketErrors {

constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

} // namespace SocketErrors

// The last socket error of the calling thread (0 when none).
int SocketLastError();
void SetSocketLastError(int code);

// errno values mapped to socket error numbers; values without a counterpart pass through unchanged.
int SocketErrorFromErrno(int err);
// Sets the thread's last socket error from errno and returns it.
int SetSocketLastErrorFromErrno();

// getaddrinfo results (EAI_*) mapped to the resolver's socket error numbers (11001 to 11004).
int SocketErrorFromResolver(int eaiCode);
