// A single-threaded scripted peer: it runs in the test's own event loop, which the client's waits keep turning.
#include "tests/servers/ScriptedServer.h"

#include <QHostAddress>
#include <QTcpSocket>

ScriptedServer::ScriptedServer(QObject* parent) : QObject(parent), FGreeting(Send("220 scripted.localhost ready\r\n")) {
    FReplies["HELO"] = {Send("250 scripted.localhost\r\n")};
    FReplies["MAIL"] = {Send("250 OK\r\n")};
    FReplies["RCPT"] = {Send("250 OK\r\n")};
    FReplies["DATA"] = {Send("354 End data with <CR><LF>.<CR><LF>\r\n")};
    FReplies["."] = {Send("250 Message accepted\r\n")};
    FReplies["RSET"] = {Send("250 Reset\r\n")};
    FReplies["QUIT"] = {SendAndClose("221 Bye\r\n")};
    FReplies["*"] = {Send("500 Command not recognised\r\n")};
    connect(&FServer, &QTcpServer::newConnection, this, &ScriptedServer::Accept);
    FServer.listen(QHostAddress::LocalHost, 0);
}

void ScriptedServer::SetReplies(const QByteArray& verb, QList<Action> replies) {
    if (!replies.isEmpty())
        FReplies[verb] = std::move(replies);
}

QByteArray ScriptedServer::Transcript() const {
    QByteArray all;
    for (const QByteArray& part : FTranscripts)
        all += part;
    return all;
}

void ScriptedServer::DropAll() {
    for (const auto& connection : FConnections)
        connection->Socket->disconnectFromHost();
}

void ScriptedServer::Accept() {
    while (QTcpSocket* socket = FServer.nextPendingConnection()) {
        socket->setParent(nullptr);
        auto connection = std::make_unique<Connection>();
        connection->Socket.reset(socket);
        connection->Index = static_cast<int>(FTranscripts.size());
        FTranscripts.append(QByteArray());
        Connection* raw = connection.get();
        FConnections.push_back(std::move(connection));
        connect(socket, &QTcpSocket::readyRead, this, [this, raw] { Receive(*raw); });
        Perform(*raw, FGreeting);
    }
}

void ScriptedServer::Receive(Connection& connection) {
    const QByteArray bytes = connection.Socket->readAll();
    FTranscripts[connection.Index] += bytes;
    connection.Pending += bytes;
    for (;;) {
        const qsizetype end = connection.Pending.indexOf('\n');
        if (end < 0 || connection.Socket->state() != QAbstractSocket::ConnectedState)
            return;
        QByteArray line = connection.Pending.left(end);
        connection.Pending.remove(0, end + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        HandleLine(connection, line);
    }
}

void ScriptedServer::HandleLine(Connection& connection, const QByteArray& line) {
    if (connection.InData) {
        if (line == ".") {
            connection.InData = false;
            Perform(connection, NextReply("."));
            return;
        }
        FDataLines.append(line);
        if (++connection.DataLines == FCloseAfterDataLines)
            Perform(connection, Hangup());
        return;
    }
    FCommands.append(line);
    qsizetype verbEnd = 0;
    while (verbEnd < line.size() && line[verbEnd] != ' ' && line[verbEnd] != ':')
        ++verbEnd;
    const QByteArray verb = line.left(verbEnd).toUpper();
    const Action reply = NextReply(FReplies.contains(verb) ? verb : QByteArray("*"));
    if (verb == "DATA" && reply.Bytes.startsWith('3')) {
        connection.InData = true;
        connection.DataLines = 0;
    }
    Perform(connection, reply);
}

void ScriptedServer::Perform(Connection& connection, const Action& action) {
    if (!action.Bytes.isEmpty())
        connection.Socket->write(action.Bytes);
    if (action.Close)
        connection.Socket->disconnectFromHost(); // writes what is queued, then closes
}

ScriptedServer::Action ScriptedServer::NextReply(const QByteArray& verb) {
    QList<Action>& replies = FReplies[verb];
    if (replies.size() > 1)
        return replies.takeFirst();
    return replies.isEmpty() ? Action{} : replies.first();
}
