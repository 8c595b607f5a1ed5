// Runs tests/servers/smtp_sink.py with the system's Python and reads the files it writes.
#include "tests/servers/SmtpSink.h"

#include <QDir>
#include <QFile>
#include <stdexcept>

namespace {

constexpr int StartMs = 15000;
constexpr int StopMs = 5000;

QString PythonProgram() {
    const QByteArray fromEnvironment = qgetenv("PYTHON");
    return fromEnvironment.isEmpty() ? QStringLiteral("/usr/bin/python3") : QString::fromLocal8Bit(fromEnvironment);
}

QString FileName(int number) {
    return QStringLiteral("%1.msg").arg(number, 6, 10, QLatin1Char('0'));
}

} // namespace

SmtpSink::SmtpSink(QStringList refused) : FRefused(std::move(refused)) {}

SmtpSink::~SmtpSink() {
    Stop();
}

bool SmtpSink::Start() {
    if (!FFolder.isValid()) {
        FError = QStringLiteral("no temporary folder");
        return false;
    }
    FProcess = std::make_unique<QProcess>();
    FProcess->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList arguments{QStringLiteral(QUORVEL_SMTP_SINK_SCRIPT), Folder()};
    for (const QString& address : FRefused)
        arguments << QStringLiteral("--refuse") << address;
    arguments << FOptions;
    FProcess->start(PythonProgram(), arguments);
    if (!FProcess->waitForStarted(StartMs)) {
        FError = QStringLiteral("cannot start %1: %2").arg(PythonProgram(), FProcess->errorString());
        return false;
    }
    // The script prints its port as its first line once it listens.
    while (!FProcess->canReadLine()) {
        if (!FProcess->waitForReadyRead(StartMs)) {
            FError = QStringLiteral("the sink printed no port: %1").arg(FProcess->errorString());
            Stop();
            return false;
        }
    }
    bool ok = false;
    FPort = static_cast<quint16>(FProcess->readLine().trimmed().toUInt(&ok));
    if (!ok || FPort == 0) {
        FError = QStringLiteral("the sink printed no valid port");
        Stop();
        return false;
    }
    return true;
}

void SmtpSink::Stop() {
    if (!FProcess)
        return;
    if (FProcess->state() != QProcess::NotRunning) {
        FProcess->closeWriteChannel(); // the script ends when its stdin closes
        if (!FProcess->waitForFinished(StopMs)) {
            FProcess->kill();
            FProcess->waitForFinished(StopMs);
        }
    }
    FProcess.reset();
}

QString SmtpSink::Folder() const {
    return FFolder.path();
}

int SmtpSink::Count() const {
    return static_cast<int>(QDir(Folder()).entryList({QStringLiteral("*.msg")}, QDir::Files).size());
}

QStringList SmtpSink::AuthAttempts() const {
    QFile file(QDir(Folder()).filePath(QStringLiteral("auth.log")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

std::vector<SmtpSink::Message> SmtpSink::Messages() const {
    std::vector<Message> messages;
    const int count = Count();
    for (int number = 1; number <= count; ++number)
        messages.push_back(Read(number));
    return messages;
}

QStringList SmtpSink::FirstRecipients() const {
    QStringList recipients;
    for (const Message& message : Messages())
        recipients << QString::fromStdString(message.Recipients.front());
    return recipients;
}

SmtpSink::Message SmtpSink::Read(int number) const {
    QFile file(QDir(Folder()).filePath(FileName(number)));
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("no stored message " + std::to_string(number));
    return Parse(file.readAll());
}

SmtpSink::Message SmtpSink::Parse(const QByteArray& file) {
    Message message;
    qsizetype contentLength = -1;
    qsizetype wireLength = -1;
    qsizetype at = 0;
    for (;;) {
        const qsizetype end = file.indexOf('\n', at);
        if (end < 0)
            throw std::runtime_error("stored message without an end of its head");
        const QByteArray line = file.mid(at, end - at);
        at = end + 1;
        if (line.isEmpty())
            break;
        const qsizetype colon = line.indexOf(": ");
        if (colon < 0)
            throw std::runtime_error("stored message with a bad head line");
        const QByteArray key = line.left(colon);
        const QByteArray value = line.mid(colon + 2);
        if (key == "mail-from")
            message.Sender = value.toStdString();
        else if (key == "rcpt-to")
            message.Recipients.push_back(value.toStdString());
        else if (key == "content-length")
            contentLength = value.toLongLong();
        else if (key == "wire-length")
            wireLength = value.toLongLong();
    }
    if (contentLength < 0 || wireLength < 0 || at + contentLength + wireLength != file.size())
        throw std::runtime_error("stored message whose lengths do not match its size");
    message.Content = file.mid(at, contentLength);
    message.Wire = file.mid(at + contentLength, wireLength);
    return message;
}
