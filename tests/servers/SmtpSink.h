// The aiosmtpd sink of the tests as a C++ object: starts the server, knows its port, reads what it stored.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

class SmtpSink {
public:
    // One message as the sink stored it.
    struct Message {
        std::string Sender;
        std::vector<std::string> Recipients;
        QByteArray Content; // as a recipient gets it: leading dots un-stuffed
        QByteArray Wire;    // the DATA section exactly as the client sent it
    };

    // Recipients in Refused are answered with 550 at RCPT.
    explicit SmtpSink(QStringList refused = {});
    ~SmtpSink();
    SmtpSink(const SmtpSink&) = delete;
    SmtpSink& operator=(const SmtpSink&) = delete;

    // Further options of smtp_sink.py (security, certificate, login), given before Start.
    void SetOptions(QStringList options) { FOptions = std::move(options); }
    // Login attempts so far, one "NAME MECHANISM ok|refused" line each.
    QStringList AuthAttempts() const;

    // Starts the server on a free loopback port; false with ErrorText() when it did not come up.
    bool Start();
    void Stop();

    quint16 Port() const { return FPort; }
    QString PortText() const { return QString::number(FPort); }
    QString Folder() const;
    QString ErrorText() const { return FError; }

    // Number of messages stored so far, and the messages in arrival order (first is number 1).
    int Count() const;
    std::vector<Message> Messages() const;
    Message Read(int number) const;
    // The first recipient of each stored message, in arrival order.
    QStringList FirstRecipients() const;

    // Parses one stored file; throws std::runtime_error on a file that does not follow the format.
    static Message Parse(const QByteArray& file);

private:
    QStringList FRefused;
    QStringList FOptions;
    QTemporaryDir FFolder;
    std::unique_ptr<QProcess> FProcess;
    quint16 FPort = 0;
    QString FError;
};
