// The one exception class of the socket layer and the words for its error numbers.
#pragma once

#include <stdexcept>
#include <string>

class TCustomAsyncSocket;

// A socket failure; its message, meant for a person, is all it carries.
class ESocketException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    std::string Message() const { return what(); }
};

// Raises "Error <code> in function <name>" CR LF <text> for the thread's last socket error.
// A reset or not-connected error also closes the socket's handle first (state wsClosed, no session-closed event).
[[noreturn]] void RaiseSocketError(TCustomAsyncSocket* socket, const std::string& functionName);

// The words for a socket error number; "Not a WinSock error" for numbers outside the table.
std::string SocketErrorText(int code);
