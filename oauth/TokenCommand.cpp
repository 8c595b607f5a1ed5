// Runs the token command in a local event loop, so a window stays responsive while it works.
#include "oauth/TokenCommand.h"

#include "oauth/OAuthError.h"

#include <QEventLoop>
#include <QProcess>
#include <QTimer>

TTokenCommand::TTokenCommand(QString command, int timeoutMs)
    : FCommand(std::move(command).trimmed()), FTimeoutMs(timeoutMs) {}

QByteArray TTokenCommand::Run() const {
    using TKind = EOAuthError::TKind;
    if (FCommand.isEmpty())
        throw EOAuthError(TKind::Failed, QStringLiteral("Enter the command that prints the access token."));
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(FTimeoutMs);
    process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), FCommand});
    loop.exec();
    if (process.error() == QProcess::FailedToStart)
        throw EOAuthError(TKind::Failed,
                          QStringLiteral("The token command could not be started: %1").arg(process.errorString()));
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
        throw EOAuthError(TKind::Failed,
                          QStringLiteral("The token command did not finish within %1 seconds.").arg(FTimeoutMs / 1000));
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        // Its error output explains the failure; its standard output may hold a token and is never shown.
        const QString said = QString::fromLocal8Bit(process.readAllStandardError()).section(QLatin1Char('\n'), 0, 0);
        const QString how = process.exitStatus() != QProcess::NormalExit
                                ? QStringLiteral("it crashed")
                                : QStringLiteral("exit code %1").arg(process.exitCode());
        throw EOAuthError(TKind::Failed,
                          said.trimmed().isEmpty()
                              ? QStringLiteral("The token command failed (%1).").arg(how)
                              : QStringLiteral("The token command failed (%1): %2").arg(how, said.trimmed().left(200)));
    }
    const QByteArray token = process.readAllStandardOutput().split('\n').first().trimmed();
    if (token.isEmpty())
        throw EOAuthError(TKind::Failed, QStringLiteral("The token command printed no access token on its first "
                                                        "line."));
    return token;
}
