// A scripted SMTP peer on 127.0.0.1 for fault tests: answers each command with the reply scripted for its verb
// and records the exact bytes the client sent.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <memory>
#include <vector>

class ScriptedServer : public QObject {
    Q_OBJECT

public:
    // What the server does when a command arrives: send Bytes as they stand (CR LF included by the script;
    // empty sends nothing), then close the connection when Close is set.
    struct Action {
        QByteArray Bytes;
        bool Close = false;
    };
    static Action Send(QByteArray bytes) { return {std::move(bytes), false}; }
    static Action SendAndClose(QByteArray bytes) { return {std::move(bytes), true}; }
    static Action Silence() { return {}; }
    static Action Hangup() { return {{}, true}; }

    // Listens on a free loopback port at once; the defaults are a well-behaved server.
    explicit ScriptedServer(QObject* parent = nullptr);

    bool IsListening() const { return FServer.isListening(); }
    quint16 Port() const { return FServer.serverPort(); }
    QString PortText() const { return QString::number(Port()); }

    // Sent when a connection is accepted.
    void SetGreeting(Action greeting) { FGreeting = std::move(greeting); }
    // Replies for a verb ("HELO", "MAIL", "RCPT", "DATA", "RSET", "QUIT", "." for the end of the message data,
    // "*" for any other verb). Each command uses up the first reply; the last one stays for every further command.
    void SetReplies(const QByteArray& verb, QList<Action> replies);
    void SetReply(const QByteArray& verb, Action reply) { SetReplies(verb, {std::move(reply)}); }
    // Closes the connection once this many lines of message data have arrived (-1: never).
    void SetCloseAfterDataLines(int lines) { FCloseAfterDataLines = lines; }

    int Connections() const { return static_cast<int>(FTranscripts.size()); }
    // Every byte received, per connection and over all connections.
    QList<QByteArray> Transcripts() const { return FTranscripts; }
    QByteArray Transcript() const;
    // The command lines received outside message data, without their line ends, in order.
    QList<QByteArray> Commands() const { return FCommands; }
    // The message data lines of every message (dots as sent), without their line ends.
    QList<QByteArray> DataLines() const { return FDataLines; }
    // Disconnects every client at once.
    void DropAll();

private:
    struct Connection {
        std::unique_ptr<QTcpSocket> Socket;
        QByteArray Pending;
        int Index = 0;
        bool InData = false;
        int DataLines = 0;
    };

    void Accept();
    void Receive(Connection& connection);
    void HandleLine(Connection& connection, const QByteArray& line);
    void Perform(Connection& connection, const Action& action);
    Action NextReply(const QByteArray& verb);

    QTcpServer FServer;
    Action FGreeting;
    QMap<QByteArray, QList<Action>> FReplies;
    int FCloseAfterDataLines = -1;
    std::vector<std::unique_ptr<Connection>> FConnections; // before FServer goes, the sockets go
    QList<QByteArray> FTranscripts;
    QList<QByteArray> FCommands;
    QList<QByteArray> FDataLines;
};
