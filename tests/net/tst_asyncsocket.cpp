// The socket against real loopback peers: properties and their messages, connects, lines, closes and resets.
#include "LoopbackClient.h"
#include "LoopbackPeer.h"
#include "net/AsyncSocket.h"
#include "net/LastError.h"

#include <QtTest>

#include <netdb.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <vector>

using namespace LoopbackPeer;

namespace {

using TStates = std::vector<TSocketState>;

QString Message(const std::function<void()>& action) {
    try {
        action();
    } catch (const ESocketException& e) {
        return QString::fromStdString(e.Message());
    }
    return QStringLiteral("<no exception>");
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Connections to a listener of backlog 0 that never accepts, until one stays pending: the kernel then drops
// further SYNs, so the next connect to that port neither answers nor is refused.
struct TFillers {
    bool Pending = false;
    std::vector<int> Handles;
    explicit TFillers(TListener& listener) {
        for (int i = 0; i < 8 && !Pending; ++i) {
            TLoopbackClient probe;
            probe.StartConnect(listener.Port());
            Pending = !probe.Socket.Wait(5, wsConnected) && probe.Socket.State() == wsConnecting;
            if (!Pending)
                Handles.push_back(::dup(probe.Socket.Handle()));
        }
    }
    ~TFillers() {
        for (int handle : Handles)
            ::close(handle);
    }
    TFillers(const TFillers&) = delete;
    TFillers& operator=(const TFillers&) = delete;
};

} // namespace

class TestAsyncSocket : public QObject {
    Q_OBJECT
private slots:
    void portConversion_data();
    void portConversion();
    void protoAndAddr();
    void connectRefusesIncompleteSetup();
    void refusedConnection();
    void pendingConnectTimesOut();
    void addressesOfBothFamilies_data();
    void addressesOfBothFamilies();
    void silentAddressGivesWay();
    void settersRefuseWhileConnected();
    void readLineFraming();
    void readLineContinuesAfterTimeout();
    void peerCloseDuringReadLine();
    void quietTellsWhatThePeerDid_data();
    void quietTellsWhatThePeerDid();
    void peerResetMidLine_data();
    void peerResetMidLine();
    void linesAcrossReceiveBlocks();
    void bytesBehindALineStayForOtherReaders();
    void closeBehindReceivedBytes();
    void lineReadFromInsideADataHandler();
    void sendToVanishedPeer();
    void staleEventsAfterCloseAreIgnored();
    void waitControlShownOnlyWhileWaiting();
    void waitAndReadLineWithoutWaitControl();
    void multiThreadedModeWaitsWithoutControl();
    void silentServerCostsLittleCpu();
    void noDescriptorLeaks();
};

void TestAsyncSocket::portConversion_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("message");
    QTest::newRow("number") << "25" << 25 << "";
    QTest::newRow("number with tail") << "2525x" << 2525 << "";
    QTest::newRow("service with blanks") << "  smtp " << 25 << "";
    QTest::newRow("unknown service")
        << "nosuchservice" << -1 << "Error 11004 in function SetPort: Cannot convert port 'nosuchservice'\r\nNo Data";
    QTest::newRow("empty") << "" << -1 << "Error 10022 in function SetPort: Cannot convert port ''\r\nInvalid argument";
    QTest::newRow("overlong name") << QString(40, QLatin1Char('s')) << -1
                                   << "Error 10022 in function SetPort: Cannot convert port '" +
                                          QString(40, QLatin1Char('s')) + "'\r\nInvalid argument";
    QTest::newRow("beyond 16 bits")
        << "70000" << -1 << "Error 10022 in function SetPort: Cannot convert port '70000'\r\nInvalid argument";
}

void TestAsyncSocket::portConversion() {
    QFETCH(QString, text);
    QFETCH(int, port);
    QFETCH(QString, message);
    TAsyncSocket socket;
    QCOMPARE(Message([&] { socket.SetPort(text.toStdString()); }), message.isEmpty() ? "<no exception>" : message);
    QCOMPARE(socket.Port(), text.toStdString());
    if (port >= 0) {
        QCOMPARE(socket.PortNumber(), port);
    } else {
        // The failed conversion leaves the port unassigned: Connect says so.
        socket.SetAddr("127.0.0.1");
        QCOMPARE(Message([&] { socket.Connect(); }), QStringLiteral("Connect: No Port Specified"));
    }
}

void TestAsyncSocket::protoAndAddr() {
    TAsyncSocket socket;
    QCOMPARE(socket.Proto(), std::string("tcp"));
    QCOMPARE(Message([&] { socket.SetProto("nosuchproto"); }),
             QStringLiteral("Error 11004 in function SetProto: Cannot convert protocol 'nosuchproto'\r\nNo Data"));
    QCOMPARE(Message([&] { socket.SetProto(""); }),
             QStringLiteral("Error 10022 in function SetProto: Cannot convert protocol ''\r\nInvalid argument"));
    socket.SetPort("25");
    socket.SetAddr("127.0.0.1");
    QCOMPARE(Message([&] { socket.Connect(); }), QStringLiteral("Connect: No Protocol Specified"));

    QCOMPARE(Message([&] { socket.SetAddr(" no-such-host.invalid "); }),
             QStringLiteral("SetAddr: Cannot convert host address ' no-such-host.invalid '"));
    const std::string longName(300, 'h');
    QCOMPARE(Message([&] { socket.SetAddr(longName); }),
             QString::fromStdString("SetAddr: Cannot convert host address '" + longName + "'"));
    QCOMPARE(Message([&] { socket.SetAddr("255.255.255.255"); }), QStringLiteral("<no exception>"));
    QCOMPARE(Message([&] { socket.SetAddr("localhost"); }), QStringLiteral("<no exception>"));

    // A datagram socket connects at once and its bytes reach the peer as one datagram.
    const int receiver = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length);
    TAsyncSocket datagram;
    std::vector<int> connected;
    datagram.OnSessionConnected = [&](TCustomAsyncSocket*, int error) { connected.push_back(error); };
    datagram.SetProto(" 17");
    datagram.SetPort(std::to_string(ntohs(address.sin_port)));
    datagram.SetAddr("127.0.0.1");
    datagram.Connect();
    QCOMPARE(datagram.State(), wsConnected);
    QCOMPARE(connected, std::vector<int>{0});
    QVERIFY(datagram.LocalPortNumber() > 0);
    QCOMPARE(datagram.SendText("ping"), 4);
    char buffer[16] = {};
    QCOMPARE(::recv(receiver, buffer, sizeof buffer, 0), ssize_t(4));
    QCOMPARE(QByteArray(buffer), QByteArray("ping"));
    datagram.Close();
    ::close(receiver);
}

void TestAsyncSocket::connectRefusesIncompleteSetup() {
    TListener listener;
    TLoopbackClient client;
    QVERIFY(client.ConnectTo(listener.Port()));
    QCOMPARE(Message([&] { client.Socket.Connect(); }), QStringLiteral("Connect: Socket already in use"));
    client.Socket.SetFlushTimeout(5);
    client.Socket.Close();
    QCOMPARE(client.Socket.FlushTimeout(), 60);
    QCOMPARE(client.Socket.Port(), std::to_string(listener.Port()));
    QCOMPARE(Message([&] { client.Socket.Connect(); }), QStringLiteral("Connect: No Port Specified"));
    client.Socket.SetPort(std::to_string(listener.Port()));
    QCOMPARE(Message([&] { client.Socket.Connect(); }), QStringLiteral("Connect: No IP Address Specified"));
    // Send on the closed socket: the exact message, the socket stays closed.
    QCOMPARE(Message([&] { client.Socket.SendText("x"); }),
             QStringLiteral("Error 10057 in function Send\r\nSocket is not connected"));
    QCOMPARE(client.Socket.State(), wsClosed);
    QCOMPARE(client.Socket.Handle(), INVALID_SOCKET);
}

void TestAsyncSocket::refusedConnection() {
    TLoopbackClient client;
    client.StartConnect(UnusedPort());
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!client.Socket.Wait(15, wsConnected));
    QVERIFY(clock.elapsed() < 15 * 20);
    QCOMPARE(client.States, (TStates{wsOpened, wsConnecting, wsConnected, wsClosed}));
    QCOMPARE(client.Connected, std::vector<int>{10061});
    QCOMPARE(client.Closed, std::vector<int>{0});
    QCOMPARE(QString::fromStdString(SocketErrorText(client.Connected.front())), QStringLiteral("Connection refused"));
    QCOMPARE(client.Socket.Handle(), INVALID_SOCKET);
}

void TestAsyncSocket::addressesOfBothFamilies_data() {
    QTest::addColumn<QStringList>("addresses"); // one: Addr, several: the addresses a lookup would give
    QTest::addColumn<bool>("ipv6");             // where the peer listens
    QTest::newRow("IPv6 literal") << QStringList{"::1"} << true;
    QTest::newRow("IPv6 in brackets") << QStringList{"[::1]"} << true;
    QTest::newRow("IPv4 literal") << QStringList{"127.0.0.1"} << false;
    QTest::newRow("localhost, IPv6 peer") << QStringList{"localhost"} << true;
    QTest::newRow("IPv6 refuses, IPv4 answers") << QStringList{"::1", "127.0.0.1"} << false;
    QTest::newRow("IPv4 refuses, IPv6 answers") << QStringList{"127.0.0.1", "::1"} << true;
}

// Each address in turn until one answers; the one reached is told.
void TestAsyncSocket::addressesOfBothFamilies() {
    QFETCH(QStringList, addresses);
    QFETCH(bool, ipv6);
    if (addresses == QStringList{"localhost"}) {
        addrinfo hints{};
        hints.ai_family = AF_INET6;
        addrinfo* found = nullptr;
        if (::getaddrinfo("localhost", nullptr, &hints, &found) != 0)
            QSKIP("this machine's hosts file does not map localhost to ::1");
        ::freeaddrinfo(found);
    }
    TListener listener(5, ipv6);
    TLoopbackClient client;
    client.Socket.SetPort(std::to_string(listener.Port()));
    if (addresses.size() == 1) {
        client.Socket.SetAddr(addresses.front().toStdString());
    } else {
        std::vector<std::string> literals;
        for (const QString& address : addresses)
            literals.push_back(address.toStdString());
        client.Socket.SetAddresses(literals);
    }
    client.Socket.Connect();
    QVERIFY(client.Socket.Wait(50, wsConnected));
    const int accepted = listener.Accept();
    QVERIFY(accepted >= 0);
    ::close(accepted);
    QCOMPARE(client.Socket.GetPeerAddress(), std::string(ipv6 ? "::1" : "127.0.0.1"));
    // The failed address is no event of its own: one connect as the caller sees it.
    QCOMPARE(client.States, (TStates{wsOpened, wsConnecting, wsConnected}));
    QCOMPARE(client.Connected, std::vector<int>{0});
}

void TestAsyncSocket::pendingConnectTimesOut() {
    // A listener with backlog 0 that never accepts: once its queue is full, further SYNs are dropped.
    TListener listener(0);
    const TFillers fillers(listener);
    QVERIFY2(fillers.Pending, "the kernel accepted every connection: no pending connect to time out");

    TLoopbackClient client;
    client.StartConnect(listener.Port());
    int ticks = 0;
    client.Waiter.OnWait = [&](TCustomWait*, int) { ++ticks; };
    QVERIFY(!client.Socket.Wait(3, wsConnected));
    QCOMPARE(ticks, 3);
    QCOMPARE(client.Waiter.ModalResult, 2);
    QCOMPARE(client.Socket.State(), wsConnecting);
    client.Socket.Close();
    QCOMPARE(client.States, (TStates{wsOpened, wsConnecting, wsClosed}));
    QCOMPARE(client.Closed, std::vector<int>{0});
}

// An address that neither answers nor refuses (its SYNs dropped) gives way to the next one after a while,
// within the caller's wait.
void TestAsyncSocket::silentAddressGivesWay() {
    TListener listener(0);
    const TFillers fillers(listener);
    QVERIFY2(fillers.Pending, "the kernel accepted every connection: no silent address");
    // The answering peer listens on ::1 at the silent port's number.
    std::unique_ptr<TListener> answering;
    try {
        answering = std::make_unique<TListener>(5, true, listener.Port());
    } catch (const std::runtime_error&) {
        QSKIP("the port is taken on ::1, or this machine has no IPv6 loopback");
    }
    TLoopbackClient client;
    client.Socket.SetPort(std::to_string(listener.Port()));
    client.Socket.SetAddresses({"127.0.0.1", "::1"});
    client.Socket.Connect();
    QVERIFY(client.Socket.Wait(150, wsConnected));
    QCOMPARE(client.Socket.GetPeerAddress(), std::string("::1"));
    const int accepted = answering->Accept();
    QVERIFY(accepted >= 0);
    ::close(accepted);
}

void TestAsyncSocket::settersRefuseWhileConnected() {
    TListener listener;
    TLoopbackClient client;
    QVERIFY(client.ConnectTo(listener.Port()));
    QCOMPARE(Message([&] { client.Socket.SetAddr("10.0.0.1"); }), QStringLiteral("Cannot change Addr if not closed"));
    QCOMPARE(Message([&] { client.Socket.SetPort("26"); }), QStringLiteral("Cannot change Port if not closed"));
    QCOMPARE(Message([&] { client.Socket.SetProto("udp"); }), QStringLiteral("Cannot change Proto if not closed"));
    // The same text while assigned is no change at all.
    QCOMPARE(Message([&] { client.Socket.SetAddr("127.0.0.1"); }), QStringLiteral("<no exception>"));
    QCOMPARE(client.Socket.Addr(), std::string("127.0.0.1"));
    QCOMPARE(client.Socket.GetPeerAddress(), std::string("127.0.0.1"));
    QVERIFY(client.Socket.GetLocalPort() != "error");
    client.Socket.Close();
    QCOMPARE(client.Socket.GetLocalPort(), std::string("error"));
    QCOMPARE(client.Socket.GetPeerAddress(), std::string("error"));
}

void TestAsyncSocket::readLineFraming() {
    TListener listener;
    TLoopbackClient client;
    int tooLong = 0;
    client.Socket.OnLineTooLong = [&](TCustomAsyncSocket*) { ++tooLong; };
    QVERIFY(client.ConnectTo(listener.Port()));
    const int peer = listener.Accept();
    QVERIFY(peer >= 0);
    std::string line;

    // Several lines glued into one packet come out one per call; CR is dropped wherever it stands.
    SendAll(peer, "250 OK\r\na\rb\n\r\n" + std::string(300, 'x') + "\n");
    client.Socket.ReadLine(10, line);
    QCOMPARE(line, std::string("250 OK"));
    client.Socket.ReadLine(10, line);
    QCOMPARE(line, std::string("ab"));
    client.Socket.ReadLine(10, line);
    QCOMPARE(line, std::string());
    client.Socket.ReadLine(10, line);
    QCOMPARE(line, std::string(254, 'x'));
    QCOMPARE(tooLong, 1);
    client.Socket.ReadLine(10, line);
    QCOMPARE(line, std::string(46, 'x'));
    QCOMPARE(tooLong, 1);

    // A line split over packets that arrive while the call waits.
    QTimer::singleShot(10, [peer] { SendAll(peer, "220 mail."); });
    QTimer::singleShot(40, [peer] { SendAll(peer, "example ready\r"); });
    QTimer::singleShot(70, [peer] { SendAll(peer, "\n221 next"); });
    client.Socket.ReadLine(20, line);
    QCOMPARE(line, std::string("220 mail.example ready"));
    QCOMPARE(client.Waiter.ModalResult, 1);
    // The next reply's bytes stayed with the platform, not in the socket.
    QCOMPARE(client.Socket.RcvdCount(), 8);
    QCOMPARE(client.Socket.ReadCount(), 8 + 4 + 2 + 301 + 24);
    ::close(peer);
}

void TestAsyncSocket::readLineContinuesAfterTimeout() {
    TListener listener;
    TLoopbackClient client;
    QVERIFY(client.ConnectTo(listener.Port()));
    const int peer = listener.Accept();
    int timeouts = 0;
    client.Waiter.OnTimeout = [&](TCustomWait*) { ++timeouts; };
    SendAll(peer, "25");
    std::string line;
    client.Socket.ReadLine(2, line);
    QCOMPARE(line, std::string("25"));
    QCOMPARE(timeouts, 1);
    QCOMPARE(client.Waiter.ModalResult, 2);
    QTimer::singleShot(10, [peer] { SendAll(peer, "0 OK\r\n"); });
    client.Socket.ReadLine(20, line);
    QCOMPARE(line, std::string("250 OK"));
    QCOMPARE(timeouts, 1);
    ::close(peer);
}

void TestAsyncSocket::peerCloseDuringReadLine() {
    TListener listener;
    TLoopbackClient client;
    QVERIFY(client.ConnectTo(listener.Port()));
    const int peer = listener.Accept();
    QTimer::singleShot(10, [peer] {
        SendAll(peer, "221 by");
        ::close(peer);
    });
    QElapsedTimer clock;
    clock.start();
    std::string line;
    client.Socket.ReadLine(50, line);
    QVERIFY(clock.elapsed() < 50 * 20);
    QCOMPARE(line, std::string("221 by"));
    QVERIFY(!client.Socket.LineComplete());
    QCOMPARE(client.Socket.State(), wsClosed);
    QCOMPARE(client.Closed, std::vector<int>{0});
    QCOMPARE(client.Socket.Handle(), INVALID_SOCKET);
}

void TestAsyncSocket::quietTellsWhatThePeerDid_data() {
    QTest::addColumn<int>("peerDoes"); // 0 nothing, 1 sends a line, 2 closes, 3 resets
    QTest::addColumn<std::vector<int>>("closed");
    QTest::newRow("nothing") << 0 << std::vector<int>{};
    QTest::newRow("sends bytes") << 1 << std::vector<int>{};
    QTest::newRow("closes") << 2 << std::vector<int>{0};
    QTest::newRow("resets") << 3 << std::vector<int>{SocketErrors::WSAECONNRESET};
}

// What the peer did is in the kernel before its event reaches the socket: Quiet sees it at once, and an end or a
// reset closes the socket there and then, reported once.
void TestAsyncSocket::quietTellsWhatThePeerDid() {
    QFETCH(int, peerDoes);
    QFETCH(std::vector<int>, closed);
    TListener listener;
    TLoopbackClient client;
    QVERIFY(client.ConnectTo(listener.Port()));
    const int peer = listener.Accept();
    if (peerDoes == 1)
        SendAll(peer, "421 going\r\n");
    if (peerDoes == 2)
        ::close(peer);
    if (peerDoes == 3)
        ResetAndClose(peer);
    pollfd arrived{client.Socket.Handle(), POLLIN, 0};
    QCOMPARE(::poll(&arrived, 1, peerDoes == 0 ? 0 : 1000), peerDoes == 0 ? 0 : 1); // no event processed yet
    QCOMPARE(client.Socket.Quiet(), peerDoes == 0);
    QCOMPARE(client.Closed, closed);
    QCOMPARE(client.Socket.State(), closed.empty() ? wsConnected : wsClosed);
    QCoreApplication::processEvents();
    QCOMPARE(client.Closed, closed); // the event that comes later is not a second close
    if (peerDoes < 2)
        ::close(peer);
}

void TestAsyncSocket::peerResetMidLine_data() {
    QTest::addColumn<bool>("duringWait");
    QTest::newRow("while the line reader waits") << true;
    // The line reader's own receive meets the reset first: it is still reported with its error.
    QTest::newRow("before the line reader receives") << false;
}

void TestAsyncSocket::peerResetMidLine() {
    QFETCH(bool, duringWait);
    TListener listener;
    TLoopbackClient client;
    QVERIFY(client.ConnectTo(listener.Port()));
    const int peer = listener.Accept();
    SendAll(peer, "354 Sta");
    std::string line;
    client.Socket.ReadLine(1, line);
    QCOMPARE(line, std::string("354 Sta"));
    if (duringWait)
        QTimer::singleShot(10, [peer] { ResetAndClose(peer); });
    else
        ResetAndClose(peer);
    client.Socket.ReadLine(50, line);
    QCOMPARE(line, std::string("354 Sta"));
    QCOMPARE(client.Socket.State(), wsClosed);
    QCOMPARE(client.Closed, std::vector<int>{10054});
    if (duringWait)
        QCOMPARE(client.Waiter.ModalResult, 1);
}

void TestAsyncSocket::linesAcrossReceiveBlocks() {
    TListener listener;
    TLoopbackClient client;
    QVERIFY(client.ConnectTo(listener.Port()));
    const int peer = listener.Accept();
    // One burst of more lines than a receive takes at once: every line comes out whole and in order, also those
    // that straddle two receives.
    std::vector<std::string> sent;
    std::string burst;
    for (int i = 0; i < 300; ++i) {
        sent.push_back("250-line " + std::to_string(i) + " " + std::string(static_cast<size_t>(i % 61), 'x'));
        burst += sent.back() + (i % 2 ? "\r\n" : "\n");
    }
    QVERIFY(burst.size() > 2 * TReceiveBuffer::BlockSize);
    SendAll(peer, burst);
    std::string line;
    for (const std::string& expected : sent) {
        client.Socket.ReadLine(10, line);
        QCOMPARE(line, expected);
    }
    QCOMPARE(client.Socket.ReadCount(), static_cast<int>(burst.size()));
    QCOMPARE(client.Socket.RcvdCount(), 0);
    ::close(peer);
}

void TestAsyncSocket::bytesBehindALineStayForOtherReaders() {
    TListener listener;
    TLoopbackClient client;
    QVERIFY(client.ConnectTo(listener.Port()));
    const int peer = listener.Accept();
    SendAll(peer, "250 OK\r\n354 go ahead\r\nraw tail");
    std::string line;
    client.Socket.ReadLine(10, line);
    QCOMPARE(line, std::string("250 OK"));
    // What arrived behind the line is still there for the next reader of any kind, oldest bytes first.
    QCOMPARE(client.Socket.RcvdCount(), 14 + 8);
    char buffer[64] = {};
    QCOMPARE(client.Socket.Receive(buffer, 5), 5);
    QCOMPARE(std::string(buffer, 5), std::string("354 g"));
    client.Socket.ReadLine(10, line);
    QCOMPARE(line, std::string("o ahead"));
    QCOMPARE(client.Socket.RcvdCount(), 8);
    // The rest reaches a data handler through a read event, although the platform holds none of it any more.
    std::string taken;
    client.CollectReceived(taken, 64);
    QTRY_COMPARE(taken, std::string("raw tail"));
    QCOMPARE(client.Socket.ReadCount(), 8 + 14 + 8);
    // New bytes after the held ones are reported as before.
    SendAll(peer, "more");
    QTRY_COMPARE(taken, std::string("raw tailmore"));
    ::close(peer);
}

void TestAsyncSocket::closeBehindReceivedBytes() {
    TListener listener;
    {
        // The end of the stream right behind the data: the close is not reported ahead of the bytes before it.
        TLoopbackClient client;
        QVERIFY(client.ConnectTo(listener.Port()));
        const int peer = listener.Accept();
        SendAll(peer, "221 bye\r\nrest");
        ::close(peer);
        std::string line;
        client.Socket.ReadLine(10, line);
        QCOMPARE(line, std::string("221 bye"));
        QCOMPARE(client.Socket.State(), wsConnected);
        QVERIFY(client.Closed.empty());
        client.Socket.ReadLine(10, line);
        QCOMPARE(line, std::string("rest"));
        QCOMPARE(client.Socket.State(), wsClosed);
        QCOMPARE(client.Closed, std::vector<int>{0});
    }
    {
        // Draining to the end hands out every held byte before it stops at the close behind them.
        TLoopbackClient client;
        QVERIFY(client.ConnectTo(listener.Port()));
        const int peer = listener.Accept();
        SendAll(peer, "250 OK\r\nfirst tail, second tail");
        ::close(peer);
        std::string line;
        client.Socket.ReadLine(10, line);
        QCOMPARE(line, std::string("250 OK"));
        std::string taken;
        // Receives smaller than what is held: the drain must come back for the rest.
        client.CollectReceived(taken, 8);
        client.Socket.DrainUntilClosed();
        QCOMPARE(taken, std::string("first tail, second tail"));
    }
}

void TestAsyncSocket::lineReadFromInsideADataHandler() {
    TListener listener;
    TLoopbackClient client;
    QVERIFY(client.ConnectTo(listener.Port()));
    const int peer = listener.Accept();
    // The handler of a read event waits for the rest of a line: the wait runs inside the event's own dispatch
    // and must still be told of the bytes that arrive meanwhile.
    std::string line;
    int calls = 0;
    client.Socket.OnDataAvailable = [&](TCustomAsyncSocket* socket, int) {
        ++calls;
        socket->OnDataAvailable = nullptr;
        socket->ReadLine(50, line);
    };
    SendAll(peer, "250-fir");
    QTimer::singleShot(50, [peer] { SendAll(peer, "st\r\n"); });
    QTRY_COMPARE(line, std::string("250-first"));
    QCOMPARE(calls, 1);
    QCOMPARE(client.Waiter.ModalResult, 1);
    ::close(peer);
}

void TestAsyncSocket::sendToVanishedPeer() {
    TListener listener;
    TLoopbackClient client;
    QVERIFY(client.ConnectTo(listener.Port()));
    const int peer = listener.Accept();
    ::close(peer);
    // No event loop runs between the sends: the first meets the closed peer, which resets; the second
    // meets the reset. Without MSG_NOSIGNAL the process would die of SIGPIPE here.
    client.Socket.SendText("MAIL FROM:<a@b>\r\n");
    client.Socket.SendText("RCPT TO:<c@d>\r\n");
    QCOMPARE(client.Socket.State(), wsClosed);
    QCOMPARE(client.Closed, std::vector<int>{0});
    QCOMPARE(Message([&] { client.Socket.SendText("DATA\r\n"); }),
             QStringLiteral("Error 10057 in function Send\r\nSocket is not connected"));
}

void TestAsyncSocket::staleEventsAfterCloseAreIgnored() {
    TListener first;
    TListener second;
    TLoopbackClient client;
    int sent = 0;
    int available = 0;
    QVERIFY(client.ConnectTo(first.Port()));
    const int peer = first.Accept();
    client.Socket.OnDataSent = [&](TCustomAsyncSocket*, int) { ++sent; };
    client.Socket.OnDataAvailable = [&](TCustomAsyncSocket*, int) { ++available; };
    // A completion is queued by the send and a read by the peer; the close comes before either is seen.
    client.Socket.SendText("QUIT\r\n");
    SendAll(peer, "221 bye\r\n");
    client.Socket.Close();
    // The next connection very likely gets the same descriptor number.
    QVERIFY(client.ConnectTo(second.Port()));
    QCoreApplication::processEvents();
    // Only the new connection's own write readiness is reported.
    QCOMPARE(sent, 1);
    QCOMPARE(available, 0);
    ::close(peer);
}

void TestAsyncSocket::waitControlShownOnlyWhileWaiting() {
    TListener listener;
    TLoopbackClient client;
    bool shownWhileWaiting = false;
    client.Waiter.OnWaitStart = [&](TCustomWait*) { shownWhileWaiting = client.Waiter.isVisible(); };
    QVERIFY(!client.Waiter.isVisible());
    QVERIFY(client.ConnectTo(listener.Port()));
    QVERIFY(shownWhileWaiting);
    QTRY_VERIFY(!client.Waiter.isVisible());

    const int peer = listener.Accept();
    shownWhileWaiting = false;
    QTimer::singleShot(10, [peer] { SendAll(peer, "250 OK\r\n"); });
    std::string line;
    client.Socket.ReadLine(20, line);
    QCOMPARE(line, std::string("250 OK"));
    QVERIFY(shownWhileWaiting);
    QTRY_VERIFY(!client.Waiter.isVisible());
    ::close(peer);

    // A wait left by an exception still lets the control go: it must not stay on the form for good.
    TLoopbackClient failing;
    failing.Waiter.OnWaiting = [](TCustomWait*) { throw std::runtime_error("handler failed"); };
    failing.StartConnect(listener.Port());
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, failing.Socket.Wait(50, wsConnected));
    QVERIFY(failing.Waiter.isVisible());
    QTRY_VERIFY(!failing.Waiter.isVisible());
}

void TestAsyncSocket::waitAndReadLineWithoutWaitControl() {
    TAsyncSocket socket;
    QCOMPARE(Message([&] { socket.Wait(5, wsConnected); }),
             QStringLiteral("Error 11004 in function TAsyncSocket.Wait\r\nNo Data"));
    std::string line;
    QCOMPARE(Message([&] { socket.ReadLine(5, line); }), QStringLiteral("No wait object assigned"));
    QCOMPARE(Message([&] { socket.Flush(); }), QStringLiteral("No wait object assigned"));
    // A wait control that dies is forgotten, not used.
    {
        TWait wait;
        socket.SetWaitCtrl(&wait);
    }
    QVERIFY(socket.WaitCtrl() == nullptr);
    // The state already reached needs no wait.
    QVERIFY(socket.Wait(5, wsClosed));
}

void TestAsyncSocket::multiThreadedModeWaitsWithoutControl() {
    TListener listener;
    TAsyncSocket socket;
    socket.SetMultiThreaded(true);
    socket.SetPort(std::to_string(listener.Port()));
    socket.SetAddr("127.0.0.1");
    socket.Connect();
    QVERIFY(socket.Wait(2, wsConnected));
    const int peer = listener.Accept();
    QTimer::singleShot(10, [peer] { SendAll(peer, "250 OK\r\n"); });
    std::string line;
    socket.ReadLine(2, line);
    QCOMPARE(line, std::string("250 OK"));
    socket.ReadLine(0, line); // no time at all: returns at once with what is there
    QCOMPARE(line, std::string());
    ::close(peer);
}

void TestAsyncSocket::silentServerCostsLittleCpu() {
    TListener listener;
    TLoopbackClient client;
    client.Waiter.SetInterval(1000);
    QVERIFY(client.ConnectTo(listener.Port()));
    const int peer = listener.Accept();
    const double before = CpuSeconds();
    QElapsedTimer clock;
    clock.start();
    std::string line;
    client.Socket.ReadLine(2, line);
    const double cpu = CpuSeconds() - before;
    const double share = cpu / (static_cast<double>(clock.elapsed()) / 1000.0);
    qInfo("2-second wait for a silent server: %.3f s CPU over %lld ms (%.1f%% of one core)", cpu, clock.elapsed(),
          share * 100.0);
    QVERIFY(clock.elapsed() >= 1900);
    QVERIFY(share < 0.10);
    ::close(peer);
}

void TestAsyncSocket::noDescriptorLeaks() {
    const int before = OpenDescriptorCount();
    for (int round = 0; round < 3; ++round) {
        TListener listener;
        {
            TLoopbackClient refused;
            refused.StartConnect(UnusedPort());
            QVERIFY(!refused.Socket.Wait(10, wsConnected));
        }
        {
            TLoopbackClient closing;
            QVERIFY(closing.ConnectTo(listener.Port()));
            const int peer = listener.Accept();
            ::close(peer);
            std::string line;
            closing.Socket.ReadLine(10, line);
            QCOMPARE(closing.Socket.State(), wsClosed);
        }
        {
            // Destroyed while connected and while a failed setter left it half set up.
            TLoopbackClient dropped;
            QVERIFY(dropped.ConnectTo(listener.Port()));
            ::close(listener.Accept());
            TAsyncSocket failing;
            failing.SetPort("1");
            failing.SetAddr("127.0.0.1");
            failing.SetProto("icmp");
            QVERIFY(Message([&] { failing.Connect(); }).startsWith("Error "));
        }
    }
    QCoreApplication::processEvents();
    QCOMPARE(OpenDescriptorCount(), before);
}

QTEST_MAIN(TestAsyncSocket)
#include "tst_asyncsocket.moc"
