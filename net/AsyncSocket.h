// The event-driven socket (IPv6 and IPv4): non-blocking connect, line reception, a send chain and blocking-style waits.
#pragma once

#include "net/ReceiveBuffer.h"
#include "net/SendBuffer.h"
#include "net/SocketError.h"
#include "net/SocketEvents.h"
#include "net/Wait.h"

#include <QObject>
#include <QPointer>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QHostInfo;
class QTimer;
class TSocketEventSource;
class TTlsContext;
class TTlsSession;

using TSocket = int;
constexpr TSocket INVALID_SOCKET = -1;

enum TSocketState : std::uint8_t {
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed
};

enum TSocketSendFlags : std::uint8_t { wsSendNormal, wsSendUrgent };

class TCustomAsyncSocket : public QObject {
    Q_OBJECT

public:
    explicit TCustomAsyncSocket(QObject* owner = nullptr);
    ~TCustomAsyncSocket() override;

    // Properties. The setters convert at once and refuse changes unless the socket is closed.
    std::string Addr() const { return FAddrText; }
    void SetAddr(const std::string& text);
    std::string Port() const { return FPortText; }
    void SetPort(const std::string& text);
    std::string Proto() const { return FProtoText; }
    void SetProto(const std::string& text);

    // The addresses Addr stands for as numeric text, in the order a connect tries them until one answers: the
    // families taken in turn, IPv6 first (RFC 8305).
    std::vector<std::string> Addresses() const;
    // Sets the addresses to try in turn (numeric IPv6 or IPv4 text) without a lookup; throws on one that is none.
    void SetAddresses(const std::vector<std::string>& literals);
    std::string DnsResult() const { return FDnsResult; }
    const std::vector<std::string>& DnsResultList() const { return FDnsResultList; }
    TSocketState State() const { return FState; }
    // Bytes handed out so far by line reception and receives.
    int ReadCount() const { return FReadCount; }
    // Bytes waiting to be read: those received but not yet taken, then those in the platform's buffer.
    int RcvdCount();
    int LastError() const { return FLastError; }
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool value) { FMultiThreaded = value; }
    TCustomWait* WaitCtrl() const { return FWaitCtrl.data(); }
    void SetWaitCtrl(TCustomWait* wait) { FWaitCtrl = wait; }
    int FlushTimeout() const { return FFlushTimeout; }
    void SetFlushTimeout(int seconds) { FFlushTimeout = seconds; }
    TSocketSendFlags SendFlags() const;
    void SetSendFlags(TSocketSendFlags flags);
    // The open handle, INVALID_SOCKET when none.
    TSocket Handle() const { return FSocketHandle; }
    int LocalPortNumber() const { return FLocalPort; }
    int PortNumber() const { return FPortNumber; }
    // The send chain, oldest block first.
    const std::deque<std::unique_ptr<TBuffer>>& SendQueue() const { return FSendQueue; }
    bool AllSent() const { return FAllSent; }

    // Events, fired only when assigned.
    std::function<void(TCustomAsyncSocket* sender, int error)> OnDataAvailable;
    std::function<void(TCustomAsyncSocket* sender, int error)> OnDataSent;
    std::function<void(TCustomAsyncSocket* sender, int error)> OnSessionClosed;
    std::function<void(TCustomAsyncSocket* sender, int error)> OnSessionAvailable;
    std::function<void(TCustomAsyncSocket* sender, int error)> OnSessionConnected;
    std::function<void(TCustomAsyncSocket* sender, TSocketState oldState, TSocketState newState)> OnChangeState;
    std::function<void(TCustomAsyncSocket* sender)> OnLineTooLong;
    std::function<void(TCustomAsyncSocket* sender, int error)> OnDnsLookupDone;

    // Operations.
    virtual void Connect();
    virtual void Close();
    virtual void Abort();
    virtual void Flush();
    // Runs the nested loop until every queued byte went to the platform; false when the connection ended, or when
    // no byte went for timeout ticks (the peer takes nothing). Unlike Flush, a slow peer that takes bytes steadily
    // never runs out of time.
    bool SendAll(int timeout);
    // Bytes queued that the platform has not taken yet.
    size_t QueuedBytes() const;
    virtual void DrainUntilClosed();
    virtual void Listen();
    virtual TSocket Accept();
    virtual int Receive(void* buffer, int length);
    virtual int ReceiveFrom(void* buffer, int length, sockaddr_in& from, int& fromLength);
    virtual int Send(const void* data, int len);
    virtual int SendText(const std::string& text);
    virtual void DnsLookup(const std::string& hostName);
    virtual void CancelDnsLookup();
    // The numeric address of the other end ("192.0.2.25", "2001:db8::25"); "error" when not connected.
    virtual std::string GetPeerAddress();
    // The numeric address of this end; empty when not connected.
    std::string GetLocalAddress();
    virtual int GetPeerSockAddr(sockaddr_in& address, int length);
    virtual std::string GetLocalPort();
    static bool TimevalIsSet(const timeval& t);
    static void TimevalClear(timeval& t);
    static bool TimevalCompare(const timeval& a, const timeval& b, bool equal);
    // Runs the nested loop until State is awaitedState or timeout ticks have passed; true when it was reached.
    virtual bool Wait(int timeout, TSocketState awaitedState);
    // Collects one line (without CR and LF); after a timeout, line holds what arrived and the line stays open.
    virtual void ReadLine(int timeout, std::string& line);
    // The same without waiting: takes what has arrived of the line, from the platform too.
    void TakeLine(std::string& line);
    // True when the last ReadLine returned a whole line (its LF came, or it was cut at the line length), false
    // when it returned the part that had arrived before a timeout or a close.
    bool LineComplete() const { return FLineComplete; }
    // True when the connection is open and the peer has sent nothing since the last read: no byte, no end, no
    // reset. An end or a reset the platform holds already is taken up at once, as its event would be, so the
    // socket is closed when this returns.
    bool Quiet();
    virtual int GetLocalSockAddr(sockaddr_in& address, int& length);
    // Adopts an accepted handle as this socket's connection.
    virtual void Dup(TSocket handle);
    virtual void Shutdown(int how);
    virtual void Pause();
    virtual void Resume();
    // Binds a datagram socket to any local address and port.
    void BindLocal();
    // Gives up a connection that a reset or a not-connected error has ended: the handle goes and the state is
    // wsClosed, without a session-closed event. What the error helper does before it raises such an error.
    void AbandonHandle();

    // TLS on the connected stream: the handshake starts at once, every byte sent and received afterwards goes
    // through the session. host is what the server's certificate must be valid for; trustedFile names extra
    // trusted certificates (may be empty). Throws ESocketException when the session cannot be prepared, and when
    // bytes have been received that nobody read: they came before the secure connection and cannot be trusted.
    // The trusted certificates are loaded once for the socket and its later connections, which resume the
    // server's last session where they can.
    void StartTls(const std::string& host, const std::string& trustedFile);
    // Runs the nested loop until the handshake ended, failed, or the connection closed, or timeout ticks have
    // passed; true when the secure session stands.
    bool WaitTls(int timeout);
    // The connection is encrypted.
    bool TlsActive() const;
    // Why the last secure session failed, in the user's words; empty when none failed since StartTls.
    std::string TlsError() const { return FTlsError; }
    // The handshake resumed the session of an earlier connection.
    bool TlsResumed() const;
    // The handshake failed on clear text where the server's first TLS record should be.
    bool TlsPlainText() const;
    // Received bytes are held that no reader has taken yet.
    bool Holding() const;
    // Ends the secure session with close_notify before a Close, so the server can tell the end from a cut.
    void EndTls();

protected:
    void UpdateState(TSocketState newState);
    void ResetDefaults();
    // Forgets what belonged to one connection: queued and held bytes, the line being read, pause and reported close.
    void ResetConnection();
    void TryToSend();
    void InternalClose(bool doShutdown);
    void HandleAsyncSelect(TSocket handle, int events, int error);
    void HandleHostLookup(int task, const QHostInfo& info);
    void HandleRead(int error);
    void StartLine();
    // Takes the bytes of the line being read; receive false takes only those already held, asking the platform
    // for nothing.
    void ReadLineBytes(bool receive = true);
    void StopWait();
    // Dispatches pending events; blocks for the next one when the caller has nothing else to do.
    void ProcessPendingMessages(bool block);

private:
    // Stops the events of the open handle and closes it, errors unheeded; harmless without a handle.
    void ReleaseHandle();
    // One platform receive into the empty receive buffer; false when nothing came.
    bool FillReceived();
    // RcvdCount without raising: false when the platform cannot tell.
    bool WaitingBytes(int& count);
    void CloseHandleChecked(const char* functionName);
    // Appends bytes to the send chain as they stand.
    void Queue(const char* bytes, int len);
    // Takes the server's handshake bytes from the platform and sends the session's answer.
    void ReadHandshake();
    // Fills the empty receive buffer with decrypted bytes held already, without receiving; false when none are.
    bool FillHeld();
    // Fills the empty receive buffer with decrypted bytes; false when none are complete yet.
    bool FillDecrypted();
    void SendTlsOutput();
    // Quiet for a secure session: records that carry no text (session tickets, key updates) are taken and
    // answered; text or the end of the session is not quiet.
    bool TlsQuiet();
    // Runs the nested loop until done() or timeout: on the wait control, or without one when multi-threaded.
    void WaitUntil(int timeout, const std::function<bool()>& done);
    // A new handle of family with the socket's options, watched for events; false when the platform gives none.
    bool OpenHandle(int family);
    // A stream connect to the address in turn, and to the next ones while they fail at once; raises when the
    // last one does. False when the attempts failed and raising is left to the caller (quiet).
    bool ConnectStream(bool quiet);
    // A connect that failed: true when the next address is being tried.
    bool TryNextAddress();
    // An address that neither answered nor refused within AttemptDelay gives way to the next one.
    void AttemptTimedOut();

    struct TAddress {
        sockaddr_storage Storage{};
        socklen_t Length = 0;
    };
    // "192.0.2.25" or "2001:db8::25"; empty for neither.
    static std::string NumericText(const sockaddr_storage& address, socklen_t length);

    std::unique_ptr<TSocketEventSource> FEventSource;
    TSocket FSocketHandle = INVALID_SOCKET;
    bool FPortAssigned = false;
    bool FAddrAssigned = false;
    bool FProtoAssigned = true;
    std::string FProtoText = "tcp";
    std::string FAddrText;
    std::string FPortText;
    int FPortNumber = 0;
    int FLocalPort = 0;
    int FProtoNumber = IPPROTO_TCP;
    int FSocketType = SOCK_STREAM;
    std::string FDnsResult;
    std::vector<std::string> FDnsResultList;
    int FAddressFamily = AF_INET;
    TSocket FAcceptedHandle = INVALID_SOCKET;
    TSocketState FState = wsClosed;
    int FFlushTimeout = 60;
    std::deque<std::unique_ptr<TBuffer>> FSendQueue;
    int FSendFlags = 0;
    bool FMultiThreaded = false;
    TWaitPointer FWaitCtrl;
    TSocketState FAwaitedState = wsInvalidState;
    int FLastError = 0;
    bool FPaused = false;
    bool FAllSent = true;
    // Length-prefixed: the length in the first byte, then up to 255 characters.
    char FLineBuffer[256] = {};
    int FLineLength = 0;
    bool FLineMode = false;
    bool FLineComplete = false;
    int FReadCount = 0;
    // Lines are cut from whole blocks received at once; the bytes after a line wait here for the next reader.
    TReceiveBuffer FReceived;
    bool FClosedReported = false;
    std::optional<int> FDnsTask;
    sockaddr_in FRemoteAddr = {};
    // A stream connect's addresses and the one being tried.
    std::vector<TAddress> FAddresses;
    size_t FAddressIndex = 0;
    // RFC 8305 5 lets an attempt wait at most 2 seconds before the next address; here the next one takes over
    // (one attempt at a time), and the last address keeps the whole of the caller's wait.
    static constexpr int AttemptDelay = 2000;
    std::unique_ptr<QTimer> FAttemptTimer;
    bool FDestroying = false;
    std::shared_ptr<TTlsContext> FTlsContext;
    std::unique_ptr<TTlsSession> FTls;
    std::string FTlsError;
};

// The socket as programs use it.
class TAsyncSocket : public TCustomAsyncSocket {
    Q_OBJECT
public:
    using TCustomAsyncSocket::TCustomAsyncSocket;
};

// The machine's host name.
std::string GetLocalHostName();
