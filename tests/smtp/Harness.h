// A client wired to a wait control, recording what it displays and feeding its body from a list; and the
// header block it writes for an all-ASCII message.
#pragma once

#include "framework/widgets/Wait.h"
#include "smtp/SmtpClient.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <string>
#include <vector>

struct Harness {
    explicit Harness(const QString& port, const std::string& host = "127.0.0.1",
                     TSmtpSecurity security = TSmtpSecurity::None) {
        Wait.SetInterval(50);
        Client.SetWait(&Wait);
        Client.SetHost(host);
        Client.SetPort(port.toStdString());
        Client.SetTimeOut(80); // 4 s for replies and handshakes that do come
        Client.SetSecurity(security);
        Client.SetSignOn("tester.localhost");
        Client.SetFromName("sender@example.org");
        Client.RcptName() = {"rcpt@example.org"};
        Client.SetHdrFrom("Sender <sender@example.org>");
        Client.SetHdrTo("Rcpt <rcpt@example.org>");
        Client.SetHdrSubject("Greetings");
        Client.OnDisplay = [this](TSmtpClient*, const std::string& msg) { Shown.push_back(msg); };
        Client.OnGetData = [this](TSmtpClient*, int, char* line, int maxLen, bool& more) {
            if (Next == Body.size()) {
                more = false;
                return;
            }
            qstrncpy(line, Body[Next++].c_str(), static_cast<size_t>(maxLen) + 1);
        };
    }
    bool Shows(const std::string& msg) const { return std::find(Shown.begin(), Shown.end(), msg) != Shown.end(); }
    // Sends the body from its first line.
    bool Mail(std::vector<std::string> body) {
        Body = std::move(body);
        Next = 0;
        return Client.Mail();
    }

    TWait Wait;
    TSmtpClient Client;
    std::vector<std::string> Shown;
    std::vector<std::string> Body;
    size_t Next = 0;
};

// The header block of an all-ASCII message from Harness; Date and Message-ID as Masked shows them.
inline QByteArray Headers(const QByteArray& cc = {}) {
    return "From: Sender <sender@example.org>\r\nTo: Rcpt <rcpt@example.org>\r\n" + cc +
           "Subject: Greetings\r\nDate: *\r\nMessage-ID: *\r\nMime-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=\"us-ascii\"\r\nContent-Transfer-Encoding: 7bit\r\n\r\n";
}

// The message with the values of Date and Message-ID, which change with every message, replaced by "*".
inline QByteArray Masked(const QByteArray& message) {
    static const QRegularExpression varying("\r\n(Date|Message-ID): [^\r]*");
    return QString::fromLatin1(message).replace(varying, "\r\n\\1: *").toLatin1();
}
