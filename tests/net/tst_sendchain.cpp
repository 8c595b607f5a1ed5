// The send chain: block discipline, draining under a slow reader, completion reports, and the error texts.
#include "LoopbackClient.h"
#include "LoopbackPeer.h"
#include "net/AsyncSocket.h"
#include "net/LastError.h"

#include <QtTest>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

using namespace LoopbackPeer;

class TestSendChain : public QObject {
    Q_OBJECT
private slots:
    void blockDiscipline();
    void errorTexts_data();
    void errorTexts();
    void errnoMapping();
    void resetErrorClosesHandleOthersDoNot();
    void sendAllAtOnceReportsOnceFromLoop();
    void slowReaderDrainsOnWriteReadiness();
    void flushWaitsForDrain();
    void serverSide();
    void lookups();
};

void TestSendChain::blockDiscipline() {
    TBuffer block;
    const std::string bytes(2000, 'b');
    QCOMPARE(block.Write(bytes.data(), 1500), 1500);
    QCOMPARE(block.Remove(1000), 1000);
    // Never compacted: the room is what lies behind the write position.
    QCOMPARE(block.Write(bytes.data(), 100), 14);
    QCOMPARE(block.Write(bytes.data(), 1), 0);
    int len = 0;
    QVERIFY(block.Peek(len) != nullptr);
    QCOMPARE(len, 514);
    QCOMPARE(block.Remove(600), 514);
    QCOMPARE(block.Peek(len), nullptr);
    QCOMPARE(len, 0);
    QCOMPARE(block.Remove(1), 0);
    QCOMPARE(block.Write(bytes.data(), 2000), 1514);
}

void TestSendChain::errorTexts_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0 << "No Error";
    QTest::newRow("10004") << 10004 << "Interrupted system call";
    QTest::newRow("10035") << 10035 << "Operation would block";
    QTest::newRow("10047") << 10047 << "Address family not supported by protocol family";
    QTest::newRow("10054") << 10054 << "Connection reset by peer";
    QTest::newRow("10058") << 10058 << "Can't send after socket shutdown";
    QTest::newRow("10061") << 10061 << "Connection refused";
    QTest::newRow("10071") << 10071 << "Too many levels of remote in path";
    QTest::newRow("10092") << 10092 << "WinSock DLL cannot support this application";
    QTest::newRow("11001") << 11001 << "Host not found";
    QTest::newRow("11004") << 11004 << "No Data";
    for (int gap : {10001, 10003, 10072, 10090, 10094, 11000, 11005, -1})
        QTest::newRow(qPrintable(QString::number(gap))) << gap << "Not a WinSock error";
}

void TestSendChain::errorTexts() {
    QFETCH(int, code);
    QFETCH(QString, text);
    QCOMPARE(QString::fromStdString(SocketErrorText(code)), text);
    SetSocketLastError(code);
    try {
        RaiseSocketError(nullptr, "Connect");
        QFAIL("no exception");
    } catch (const ESocketException& e) {
        QCOMPARE(QString::fromStdString(e.Message()),
                 "Error " + QString::number(code) + " in function Connect\r\n" + text);
    }
}

void TestSendChain::errnoMapping() {
    QCOMPARE(SocketErrorFromErrno(EWOULDBLOCK), 10035);
    QCOMPARE(SocketErrorFromErrno(EINPROGRESS), 10036);
    QCOMPARE(SocketErrorFromErrno(ECONNREFUSED), 10061);
    QCOMPARE(SocketErrorFromErrno(ECONNRESET), 10054);
    QCOMPARE(SocketErrorFromErrno(EPIPE), 10054);
    QCOMPARE(SocketErrorFromErrno(ENOTCONN), 10057);
    QCOMPARE(SocketErrorFromErrno(ETIMEDOUT), 10060);
    QCOMPARE(SocketErrorFromErrno(EHOSTUNREACH), 10065);
    QCOMPARE(SocketErrorFromErrno(EADDRINUSE), 10048);
}

void TestSendChain::resetErrorClosesHandleOthersDoNot() {
    TListener listener;
    for (int code : {10061, 10060, 10054}) {
        TLoopbackClient client;
        QVERIFY(client.ConnectTo(listener.Port()));
        ::close(listener.Accept());
        SetSocketLastError(code);
        QVERIFY_THROWS_EXCEPTION(ESocketException, RaiseSocketError(&client.Socket, "ReadLine"));
        const bool closes = code == 10054;
        QCOMPARE(client.Socket.Handle() == INVALID_SOCKET, closes);
        QCOMPARE(client.Socket.State(), closes ? wsClosed : wsConnected);
        QCOMPARE(client.Closed.size(), size_t(0));
    }
}

void TestSendChain::sendAllAtOnceReportsOnceFromLoop() {
    TListener listener;
    TLoopbackClient client;
    QVERIFY(client.ConnectTo(listener.Port()));
    const int peer = listener.Accept();
    std::vector<int> sent;
    client.Socket.OnDataSent = [&](TCustomAsyncSocket*, int error) { sent.push_back(error); };
    QCOMPARE(client.Socket.Send("", 0), 0);
    QCOMPARE(client.Socket.Send("x", -3), 0);
    QCOMPARE(client.Socket.SendText("HELO here\r\n"), 11);
    QVERIFY(sent.empty()); // reported from the event loop, never from inside Send
    QTRY_COMPARE(sent.size(), size_t(1));
    QTest::qWait(50);
    QCOMPARE(sent, std::vector<int>{0});
    char buffer[32] = {};
    QCOMPARE(::recv(peer, buffer, sizeof buffer, 0), ssize_t(11));
    ::close(peer);
}

void TestSendChain::slowReaderDrainsOnWriteReadiness() {
    TListener listener;
    TLoopbackClient client;
    QVERIFY(client.ConnectTo(listener.Port()));
    const int peer = listener.Accept();
    // Fill the platform's buffers behind the chain's back, so the chain's bytes cannot leave.
    std::string filler(65536, 'f');
    size_t filled = 0;
    for (;;) {
        const ssize_t n = ::send(client.Socket.Handle(), filler.data(), filler.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0)
            break;
        filled += static_cast<size_t>(n);
    }
    int sentEvents = 0;
    client.Socket.OnDataSent = [&](TCustomAsyncSocket*, int) { ++sentEvents; };
    std::string payload(3000, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>('A' + i % 26);
    QCOMPARE(client.Socket.Send(payload.data(), 3000), 3000);
    QCOMPARE(client.Socket.SendQueue().size(), size_t(2));
    QCOMPARE(client.Socket.SendQueue()[0]->WritePos(), 1514);
    QCOMPARE(client.Socket.SendQueue()[0]->ReadPos(), 0);
    QCOMPARE(client.Socket.SendQueue()[1]->WritePos(), 1486);
    QVERIFY(!client.Socket.AllSent());

    // The peer reads slowly, a few kilobytes per timer tick.
    std::string received;
    QTimer reader;
    connect(&reader, &QTimer::timeout, [&] {
        char buffer[8192];
        const ssize_t n = ::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            received.append(buffer, static_cast<size_t>(n));
    });
    reader.start(1);
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), filled + 3000, 20000);
    QTRY_COMPARE(sentEvents, 1);
    QTest::qWait(50);
    QCOMPARE(sentEvents, 1);
    QVERIFY(client.Socket.AllSent());
    QCOMPARE(received.substr(filled), payload);
    // The emptied first block was freed; the last one stays for the next Send.
    QCOMPARE(client.Socket.SendQueue().size(), size_t(1));
    ::close(peer);
}

void TestSendChain::flushWaitsForDrain() {
    TListener listener;
    TLoopbackClient client;
    QVERIFY(client.ConnectTo(listener.Port()));
    const int peer = listener.Accept();
    const std::string big(4 << 20, 'z');
    client.Socket.Send(big.data(), static_cast<int>(big.size()));
    QVERIFY(!client.Socket.AllSent());
    // Nobody reads: the flush gives up when its time is up.
    client.Socket.SetFlushTimeout(3);
    QElapsedTimer clock;
    clock.start();
    client.Socket.Flush();
    QVERIFY(clock.elapsed() >= 50 && clock.elapsed() < 2000);
    QVERIFY(!client.Socket.AllSent());
    QVERIFY(!client.Waiter.Running());
    // With a reader it returns once everything has left.
    size_t received = 0;
    QTimer reader;
    connect(&reader, &QTimer::timeout, [&] {
        char buffer[65536];
        ssize_t n;
        while ((n = ::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            received += static_cast<size_t>(n);
    });
    reader.start(1);
    client.Socket.SetFlushTimeout(500);
    client.Socket.Flush();
    QVERIFY(client.Socket.AllSent());
    // A close drops what is still queued: nothing reaches the next connection.
    client.Socket.Send(big.data(), static_cast<int>(big.size()));
    client.Socket.Close();
    QVERIFY(client.Socket.SendQueue().empty());
    QVERIFY(client.Socket.AllSent());
    ::close(peer);
}

void TestSendChain::serverSide() {
    TAsyncSocket server;
    QCOMPARE(QString::fromStdString([&] {
                 try {
                     server.Accept();
                 } catch (const ESocketException& e) {
                     return e.Message();
                 }
                 return std::string();
             }()),
             QStringLiteral("Error 10022 in function not a listening socket\r\nInvalid argument"));
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    std::vector<TSocketState> states;
    server.OnChangeState = [&](TCustomAsyncSocket*, TSocketState, TSocketState now) { states.push_back(now); };
    server.Listen();
    QCOMPARE(states, (std::vector<TSocketState>{wsBound, wsListening}));
    const std::string port = server.GetLocalPort();
    QVERIFY(port != "error" && port != "0");

    TAsyncSocket served;
    server.OnSessionAvailable = [&](TCustomAsyncSocket* sender, int error) {
        QCOMPARE(error, 0);
        served.Dup(sender->Accept());
    };
    TLoopbackClient client;
    QVERIFY(client.ConnectTo(std::stoi(port)));
    QTRY_COMPARE(served.State(), wsConnected);
    QCOMPARE(served.GetPeerAddress(), std::string("127.0.0.1"));
    served.SendText("220 ready\r\n");
    std::string line;
    client.Socket.ReadLine(50, line);
    QCOMPARE(line, std::string("220 ready"));
    served.Close();
    client.Socket.ReadLine(50, line);
    QCOMPARE(client.Socket.State(), wsClosed);

    // Paused, the listener reports nothing; resumed, it still does not report connections.
    int available = 0;
    server.OnSessionAvailable = [&](TCustomAsyncSocket*, int) { ++available; };
    server.Pause();
    server.Resume();
    TLoopbackClient another;
    QVERIFY(another.ConnectTo(std::stoi(port)));
    QTest::qWait(50);
    QCOMPARE(available, 0);
}

void TestSendChain::lookups() {
    TAsyncSocket socket;
    std::vector<int> done;
    socket.OnDnsLookupDone = [&](TCustomAsyncSocket*, int error) { done.push_back(error); };
    socket.DnsLookup("10.0.0.1");
    QCOMPARE(done, std::vector<int>{0});
    QCOMPARE(socket.DnsResult(), std::string("10.0.0.1"));
    QVERIFY(socket.DnsResultList().empty());
    QVERIFY_THROWS_EXCEPTION(ESocketException, socket.DnsLookup(""));
    QCOMPARE(socket.DnsResult(), std::string("10.0.0.1"));

    done.clear();
    socket.DnsLookup("no-such-host.invalid");
    socket.DnsLookup("localhost"); // cancels the first without a report
    QTRY_COMPARE(done.size(), size_t(1));
    QTest::qWait(50);
    QCOMPARE(done, std::vector<int>{0});
    QCOMPARE(socket.DnsResult(), std::string("127.0.0.1"));
    QCOMPARE(socket.DnsResultList().front(), std::string("127.0.0.1"));

    done.clear();
    socket.CancelDnsLookup();
    QVERIFY(done.empty());
    socket.DnsLookup("localhost");
    socket.CancelDnsLookup();
    QCOMPARE(done, std::vector<int>{10004});
    socket.DnsLookup("no-such-host.invalid");
    QTRY_COMPARE(done.size(), size_t(2));
    QCOMPARE(done.back(), 11001);
    QVERIFY(socket.DnsResult().empty());

    timeval a{5, 7};
    timeval b{5, 7};
    QVERIFY(TCustomAsyncSocket::TimevalCompare(a, b, true));
    b.tv_usec = 8;
    QVERIFY(TCustomAsyncSocket::TimevalCompare(a, b, false));
    TCustomAsyncSocket::TimevalClear(a);
    QVERIFY(!TCustomAsyncSocket::TimevalIsSet(a));
    QVERIFY(!GetLocalHostName().empty());
}

QTEST_MAIN(TestSendChain)
#include "tst_sendchain.moc"
