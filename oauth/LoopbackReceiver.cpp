// A minimal HTTP/1.1 server: reads one request head per connection, answers it and closes.
#include "oauth/LoopbackReceiver.h"

#include <QTcpSocket>
#include <QUrl>

namespace {

// A redirect's request line with its code and state fits many times over; a browser's headers too.
constexpr qsizetype MaxHead = 16 * 1024;
constexpr char AnsweredProperty[] = "answered";

} // namespace

TLoopbackReceiver::TLoopbackReceiver(QObject* parent) : QObject(parent) {
    connect(&FServer, &QTcpServer::newConnection, this, [this] { Accept(FServer); });
    connect(&FServer6, &QTcpServer::newConnection, this, [this] { Accept(FServer6); });
}

TLoopbackReceiver::~TLoopbackReceiver() {
    Close();
}

bool TLoopbackReceiver::Listen(bool bothFamilies) {
    FDone = false;
    // Another program may hold ::1 at the port chosen for 127.0.0.1: a few ports are tried.
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (!FServer.listen(QHostAddress::LocalHost, 0))
            return false;
        if (!bothFamilies || FServer6.listen(QHostAddress::LocalHostIPv6, FServer.serverPort()))
            return true;
        // A computer without IPv6 has no ::1 that anyone could take.
        if (FServer6.serverError() != QAbstractSocket::AddressInUseError)
            return true;
        FServer.close();
    }
    return false;
}

void TLoopbackReceiver::Close() {
    for (QTcpServer* server : {&FServer, &FServer6}) {
        server->close();
        // Answered connections finish their page; the others never get one.
        for (QTcpSocket* socket : server->findChildren<QTcpSocket*>())
            if (!socket->property(AnsweredProperty).toBool())
                socket->abort();
    }
}

void TLoopbackReceiver::Accept(QTcpServer& server) {
    while (QTcpSocket* socket = server.nextPendingConnection()) {
        // Browsers open connections ahead that may never carry a request: each waits on its own.
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Read(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void TLoopbackReceiver::Read(QTcpSocket* socket) {
    const QByteArray head = socket->peek(MaxHead + 1);
    if (!head.contains("\r\n\r\n")) {
        if (head.size() > MaxHead)
            Answer(socket, "431 Request Header Fields Too Large", "Request too large.");
        return;
    }
    const std::optional<QUrlQuery> query = RedirectQuery(head, FState);
    if (FDone || !query) {
        Answer(socket, "404 Not Found", "Not found.");
        return;
    }
    FDone = true;
    Answer(socket, "200 OK",
           "Quorvel Mailer has received the answer of the sign-in. You can close this page and return to the "
           "program.");
    FServer.close(); // one-shot: nothing else may answer in the sign-in's name
    FServer6.close();
    if (OnRedirect)
        OnRedirect(*this, *query);
}

std::optional<QUrlQuery> TLoopbackReceiver::RedirectQuery(const QByteArray& head, const QByteArray& state) {
    // "GET /?code=...&state=... HTTP/1.1"
    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    const QUrl target = requestLine.size() == 3 ? QUrl::fromEncoded(requestLine[1]) : QUrl();
    const bool otherState =
        !state.isEmpty() &&
        QUrlQuery(target).queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded) != QString::fromLatin1(state);
    if (requestLine[0] != "GET" || target.path() != QLatin1String("/") || !target.hasQuery() || otherState)
        return std::nullopt;
    return QUrlQuery(target);
}

void TLoopbackReceiver::Answer(QTcpSocket* socket, const char* status, const QByteArray& text) {
    const QByteArray page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Quorvel Mailer</title></head>"
                            "<body><p>" +
                            text + "</p></body></html>\n";
    socket->write(QByteArray("HTTP/1.1 ") + status +
                  "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\nConnection: close\r\n"
                  "Content-Length: " +
                  QByteArray::number(page.size()) + "\r\n\r\n" + page);
    socket->flush(); // into the kernel now: the receiver may be gone before the event loop runs again
    socket->setProperty(AnsweredProperty, true);
    socket->disconnect(); // no further reads
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->disconnectFromHost(); // after the answer is written
}
