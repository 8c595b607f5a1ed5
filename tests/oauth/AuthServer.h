// The tests' authorization server (oauth_server.py) in its own process; QUORVEL_OAUTH_SERVER_SCRIPT names it.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QUrl>

// oauth_server.py in its own process.
class AuthServer {
public:
    bool Start() {
        const QByteArray python = qgetenv("PYTHON");
        FProcess.start(python.isEmpty() ? QStringLiteral("/usr/bin/python3") : QString::fromLocal8Bit(python),
                       {QStringLiteral(QUORVEL_OAUTH_SERVER_SCRIPT)});
        if (!FProcess.waitForStarted() || !ReadLine(FPortLine))
            return false;
        return FPortLine.toInt() > 0;
    }
    ~AuthServer() {
        FProcess.closeWriteChannel();
        if (!FProcess.waitForFinished(5000))
            FProcess.kill();
    }
    QUrl Url(const QString& path) const { return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(FPortLine, path)); }
    bool RevokeAll() {
        QByteArray answer;
        FProcess.write("revoke\n");
        return ReadLine(answer) && answer == "revoked";
    }

private:
    bool ReadLine(QByteArray& line) {
        while (!FProcess.canReadLine())
            if (!FProcess.waitForReadyRead(15000))
                return false;
        line = FProcess.readLine().trimmed();
        return true;
    }
    QProcess FProcess;
    QByteArray FPortLine;
};
