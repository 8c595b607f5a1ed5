// The one-shot web listener on the loopback address that receives the browser's redirect (RFC 8252 7.3).
#pragma once

#include <QTcpServer>
#include <QUrlQuery>

#include <functional>
#include <optional>

class QTcpSocket;

class TLoopbackReceiver : public QObject {
public:
    explicit TLoopbackReceiver(QObject* parent = nullptr);
    ~TLoopbackReceiver() override;

    // Listens on 127.0.0.1 on a port the system chooses; false when it cannot (the reason in ErrorText()). With
    // bothFamilies (a redirect to "localhost", which a browser may reach over either) also on ::1 at the same
    // port, so that no other user of the computer can take that one and receive the answer.
    bool Listen(bool bothFamilies = false);
    quint16 Port() const { return FServer.serverPort(); }
    QString ErrorText() const {
        return FServer.errorString().isEmpty() ? FServer6.errorString() : FServer.errorString();
    }
    // The state the sign-in's redirect carries: a request with another (any local program can send one) is
    // answered 404 and the listener waits on for the right one.
    void SetState(const QByteArray& state) { FState = state; }
    // Stops listening and drops every connection.
    void Close();

    // Called once, with the query of the first request for "/" that carries one (with the state, when set); then
    // no other is accepted.
    std::function<void(TLoopbackReceiver& sender, const QUrlQuery& query)> OnRedirect;

    // The query of a request head that is a redirect for the sign-in ("GET /?..." with the state, when one is
    // given); nullopt for any other request.
    static std::optional<QUrlQuery> RedirectQuery(const QByteArray& head, const QByteArray& state);

private:
    void Accept(QTcpServer& server);
    void Read(QTcpSocket* socket);
    static void Answer(QTcpSocket* socket, const char* status, const QByteArray& text);

    QTcpServer FServer;
    QTcpServer FServer6;
    QByteArray FState;
    bool FDone = false;
};
