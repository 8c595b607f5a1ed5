// The one-shot web listener on the loopback address that receives the browser's redirect (RFC 8252 7.3).
#pragma once

#include <QTcpServer>
#include <QUrlQuery>

#include <functional>

class QTcpSocket;

class TLoopbackReceiver : public QObject {
public:
    explicit TLoopbackReceiver(QObject* parent = nullptr);
    ~TLoopbackReceiver() override;

    // Listens on 127.0.0.1 on a port the system chooses; false when it cannot (the reason in ErrorText()).
    bool Listen();
    quint16 Port() const { return FServer.serverPort(); }
    QString ErrorText() const { return FServer.errorString(); }
    // Stops listening and drops every connection.
    void Close();

    // Called once, with the query of the first request for "/" that carries one; then no other is accepted.
    std::function<void(TLoopbackReceiver& sender, const QUrlQuery& query)> OnRedirect;

private:
    void Accept();
    void Read(QTcpSocket* socket);
    static void Answer(QTcpSocket* socket, const char* status, const QByteArray& text);

    QTcpServer FServer;
    bool FDone = false;
};
