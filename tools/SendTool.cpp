// quorvel-send: a mailing prepared in the window, sent without it (from cron, a systemd timer, a server without
// a display). It hands the same job to the same check, summary and run as the window, and links no Qt Gui.
#include "framework/core/FileTrust.h"
#include "framework/core/SettingsStore.h"
#include "framework/core/Text.h"
#include "mailing/DeliveryLedger.h"
#include "mailing/MailingCheck.h"
#include "mailing/MailingRun.h"
#include "mailing/MailingRunView.h"
#include "mailing/PreflightSummary.h"
#include "mailing/SettingsTable.h"
#include "net/Wait.h"
#include "smtp/SmtpClient.h"
#include "table/DataSource.h"
#include "table/Table.h"
#include "table/XbaseEngine.h"
#include "table/XbaseEnv.h"
#include "tools/SendSignIn.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <set>
#include <unistd.h>

namespace {

enum TExit { ExitDone = 0, ExitFailures = 1, ExitCheck = 2, ExitStopped = 3, ExitLogin = 4 };

int SignalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = write(SignalPipe[1], &byte, 1);
}

void Print(FILE* to, const QString& text) {
    std::fputs(QString(text).remove(QLatin1Char('\r')).toLocal8Bit().constData(), to);
    std::fputc('\n', to);
    std::fflush(to);
}

// The run as a terminal or a log file shows it: the log box's lines as they come, and the progress on one
// self-updating line (on a terminal) or a line every 10 seconds (elsewhere).
class TConsoleView : public TMailingRunView {
public:
    explicit TConsoleView(bool quiet) : FQuiet(quiet), FTerminal(isatty(STDOUT_FILENO) != 0) {}

    void RunStatus(const QString& status) override { FStatus = status; }
    void RunRecipient(const QString&) override {}
    void RunProgress(int, int percent) override {
        FPercent = percent;
        ShowProgress();
    }
    void RunCounts(const TRunCounts& counts) override {
        FCounts = counts;
        ShowProgress();
    }
    void RunExpectedEnd(const QDateTime& end) override { FEnd = end; }
    // One line per change, and none for a run on one connection: its output stays what scripts already read.
    void RunConnections(int open, int wanted) override {
        if (wanted <= 1 || (open == FOpen && wanted == FWanted))
            return;
        FOpen = open;
        FWanted = wanted;
        RunLine(QStringLiteral("Connections open: %1 of %2").arg(open).arg(wanted));
    }
    void RunLine(const QString& line) override {
        ClearProgress();
        if (!FQuiet)
            Print(stdout, line);
    }
    void RunAborted() override { Aborted = true; }
    // Nobody is there to ask: a stop (SIGINT, SIGTERM) is meant.
    bool RunConfirmStop() override { return true; }

    void Finish() { ClearProgress(); }
    bool Aborted = false;

private:
    QString ProgressText() const {
        const int done = std::clamp(FPercent, 0, 100) / 5;
        QString text = QStringLiteral("[%1%2] %3%  sent %4, refused %5, deferred %6, unknown %7, skipped %8")
                           .arg(QString(done, QLatin1Char('#')), QString(20 - done, QLatin1Char('.')))
                           .arg(std::max(FPercent, 0))
                           .arg(FCounts[TDeliveryStatus::Sent])
                           .arg(FCounts[TDeliveryStatus::Refused])
                           .arg(FCounts[TDeliveryStatus::Deferred])
                           .arg(FCounts[TDeliveryStatus::Unknown])
                           .arg(FCounts[TDeliveryStatus::Skipped]);
        if (FEnd.isValid())
            text += QStringLiteral(", ends about %1").arg(FEnd.toString(QStringLiteral("yyyy-MM-dd HH:mm")));
        return text;
    }

    void ShowProgress() {
        if (FQuiet)
            return;
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (FTerminal) {
            if (now - FShown < 100)
                return;
            std::fprintf(stdout, "\r%s\x1b[K", ProgressText().toLocal8Bit().constData());
            std::fflush(stdout);
            FOnLine = true;
        } else {
            if (FShown != 0 && now - FShown < 10000)
                return;
            Print(stdout, ProgressText());
        }
        FShown = now;
    }

    void ClearProgress() {
        if (FOnLine) {
            std::fputs("\r\x1b[K", stdout);
            FOnLine = false;
        }
    }

    bool FQuiet;
    bool FTerminal;
    bool FOnLine = false;
    qint64 FShown = 0;
    int FPercent = 0;
    TRunCounts FCounts;
    QDateTime FEnd;
    QString FStatus;
    int FOpen = -1;
    int FWanted = -1;
};

// The first line a command prints, as msmtp's passwordeval reads it; empty when it fails.
QString CommandPassword(const QString& command, QString& error) {
    QProcess process;
    process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        error = QStringLiteral("The password command failed: ") + command;
        return {};
    }
    QString output = QString::fromLocal8Bit(process.readAllStandardOutput());
    return output.section(QLatin1Char('\n'), 0, 0).remove(QLatin1Char('\r'));
}

// A saved message's file, made anew and the user's alone: an existing file, or a link planted under the name,
// is never written through; with replace an existing one is removed first (a link itself, never its target).
int CreateMessageFile(const QString& path, bool replace) {
    const QByteArray name = QFile::encodeName(path);
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(name.constData(), flags, 0600);
    if (fd < 0 && errno == EEXIST && replace && ::unlink(name.constData()) == 0)
        fd = ::open(name.constData(), flags, 0600);
    return fd;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvel-send"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Sends a mailing prepared in Quorvel Mailer without its window."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption settingsOption(QStringLiteral("settings"),
                                            QStringLiteral("The settings file the window saved (default: yours)."),
                                            QStringLiteral("FILE"));
    const QCommandLineOption tableOption(QStringLiteral("table"), QStringLiteral("The recipient table."),
                                         QStringLiteral("FILE"));
    const QCommandLineOption fromOption(QStringLiteral("from"), QStringLiteral("First record of the scope."),
                                        QStringLiteral("N"));
    const QCommandLineOption toOption(QStringLiteral("to"), QStringLiteral("Last record of the scope."),
                                      QStringLiteral("N"));
    const QCommandLineOption resumeOption(QStringLiteral("resume"), QStringLiteral("Resume the last run."));
    const QCommandLineOption retryOption(QStringLiteral("retry-failed"),
                                         QStringLiteral("Send only to the recipients that failed."));
    const QCommandLineOption resendOption(QStringLiteral("resend-sent"),
                                          QStringLiteral("Send again to recipients who already got this message."));
    const QCommandLineOption skipOption(QStringLiteral("skip-sent"),
                                        QStringLiteral("Pass over recipients who already got this message."));
    const QCommandLineOption dryRunOption(QStringLiteral("dry-run"),
                                          QStringLiteral("Check and compose every message, send nothing."));
    const QCommandLineOption saveDirOption(QStringLiteral("save-dir"),
                                           QStringLiteral("With --dry-run: write each message as N.eml here."),
                                           QStringLiteral("DIR"));
    const QCommandLineOption replaceOption(QStringLiteral("replace"),
                                           QStringLiteral("With --save-dir: replace the N.eml files saved before."));
    const QCommandLineOption passwordOption(QStringLiteral("password-command"),
                                            QStringLiteral("A command that prints the login's password."),
                                            QStringLiteral("CMD"));
    const QCommandLineOption tokenFileOption(
        QStringLiteral("refresh-token-file"),
        QStringLiteral("An OAuth 2.0 login reads its sign-in from this file (yours alone) instead of the keyring."),
        QStringLiteral("FILE"));
    const QCommandLineOption signInOption(QStringLiteral("sign-in"),
                                          QStringLiteral("Sign in with the browser and keep the sign-in in the "
                                                         "--refresh-token-file; send nothing."));
    const QCommandLineOption secretOption(QStringLiteral("client-secret-command"),
                                          QStringLiteral("A command that prints the OAuth client secret, where the "
                                                         "keyring does not hold it."),
                                          QStringLiteral("CMD"));
    const QCommandLineOption connectionsOption(
        QStringLiteral("connections"), QStringLiteral("Connections to the server at once, 1 to 8 (default: saved)."),
        QStringLiteral("N"));
    const QCommandLineOption quietOption(QStringLiteral("quiet"), QStringLiteral("Print only errors."));
    parser.addOptions({settingsOption, tableOption, fromOption, toOption, resumeOption, retryOption, resendOption,
                       skipOption, dryRunOption, saveDirOption, replaceOption, passwordOption, tokenFileOption,
                       signInOption, secretOption, connectionsOption, quietOption});
    parser.process(app);
    // The window's names: the same data folder holds the same tables when the program folder is not writable.
    QCoreApplication::setOrganizationName(QStringLiteral("Quorvel Software Systems"));
    QCoreApplication::setApplicationName(QStringLiteral("QuorvelMailer"));
    const bool quiet = parser.isSet(quietOption);
    const auto fail = [](int code, const QString& text) {
        Print(stderr, text);
        return code;
    };
    if ((parser.isSet(resumeOption) && parser.isSet(retryOption)) ||
        (parser.isSet(resendOption) && parser.isSet(skipOption)) ||
        (parser.isSet(saveDirOption) && !parser.isSet(dryRunOption)) ||
        (parser.isSet(replaceOption) && !parser.isSet(saveDirOption)))
        return fail(ExitCheck, QStringLiteral("Use --resume or --retry-failed, --resend-sent or --skip-sent, "
                                              "--save-dir only with --dry-run and --replace only with --save-dir."));

    // The job: the window's saved settings, then the options.
    const std::unique_ptr<TSettingsStore> store =
        parser.isSet(settingsOption) ? TSettingsStore::FromFile(parser.value(settingsOption))
                                     : std::make_unique<TSettingsStore>(QString::fromLatin1(SettingsTable::Key));
    if (parser.isSet(settingsOption) && !QFile::exists(parser.value(settingsOption)))
        return fail(ExitCheck, QStringLiteral("Can't find settings file: ") + parser.value(settingsOption));
    // The settings name commands to run and files to send: another user's hand must not be in them.
    if (const QString problem = FileTrust::ChangeableByOthers(store->Location(), QStringLiteral("The settings file"));
        !problem.isEmpty())
        return fail(ExitCheck, problem);
    TMailingJob job = SettingsTable::Load(*store);
    if (parser.isSet(secretOption)) {
        // A registration with a client secret, where no keyring holds it.
        QString error;
        job.OAuthClientSecret = CommandPassword(parser.value(secretOption), error);
        if (!error.isEmpty())
            return fail(ExitCheck, error.replace(QStringLiteral("password"), QStringLiteral("client secret")));
    }
    const QString tokenFile = parser.value(tokenFileOption);
    if (parser.isSet(signInOption))
        return tokenFile.isEmpty() ? fail(ExitCheck, QStringLiteral("--sign-in needs --refresh-token-file FILE."))
                                   : SendSignIn(job, tokenFile);
    if (parser.isSet(tableOption))
        job.Table = parser.value(tableOption);
    if (parser.isSet(fromOption) || parser.isSet(toOption)) {
        job.LimitScope = true;
        job.ScopeFrom = parser.isSet(fromOption) ? parser.value(fromOption) : QStringLiteral("1");
        job.ScopeTo = parser.value(toOption);
    }
    if (parser.isSet(connectionsOption)) {
        // Given on the command line, a wrong number is a mistake to name, not a value to correct quietly.
        bool number = false;
        const int connections = parser.value(connectionsOption).toInt(&number);
        if (!number || connections < 1 || connections > TMailingRunSettings::MaxConnections)
            return fail(ExitCheck, QStringLiteral("--connections needs a number from 1 to %1, not \"%2\".")
                                       .arg(TMailingRunSettings::MaxConnections)
                                       .arg(parser.value(connectionsOption)));
        job.Connections = connections;
    }
    job.Resume = parser.isSet(resumeOption);
    job.RetryFailed = parser.isSet(retryOption);
    if (!job.UserName.trimmed().isEmpty() && parser.isSet(passwordOption)) {
        QString error;
        job.Password = CommandPassword(parser.value(passwordOption), error);
        if (!error.isEmpty())
            return fail(ExitCheck, error);
    }

    TXbaseEnv env;
    env.SetDeleted(true);
    TTable recipients;
    recipients.SetReadOnly(true);
    recipients.SetTableType(ttXbFOX);
    TXbaseEngine engine;
    TDataSource source;
    source.SetDataSet(&recipients);
    engine.SetDataSource(&source);
    recipients.SetTableName(QFile::encodeName(job.Table).toStdString());
    if (job.LimitScope && job.ScopeTo.isEmpty()) {
        // --from alone: to the table's last record.
        try {
            TTable count;
            count.SetTableName(recipients.TableName());
            count.SetTableType(ttXbFOX);
            count.SetReadOnly(true);
            count.SetActive(true);
            job.ScopeTo = QString::number(count.RecordCount());
        } catch (const std::exception&) {
            job.ScopeTo = job.ScopeFrom; // the check names the table's problem
        }
    }

    TCustomWait wait;
    TSmtpClient client;
    client.SetPort("smtp");
    client.SetWait(&wait);
    TDeliveryLedger ledger;
    TMailingCheck check(job, client);
    check.SetRefreshTokenFile(tokenFile);
    if (const QString error = check.All(recipients, engine, ledger); !error.isEmpty())
        return fail(ExitCheck, error);
    if (job.Login == TMailingJob::OAuthLogin && !check.Job().TokenSource)
        return fail(ExitLogin, QStringLiteral("There is no stored sign-in for %1: sign in once with --sign-in "
                                              "--refresh-token-file FILE and give that file to every run, or sign "
                                              "in from the window on a desktop with a keyring.")
                                   .arg(job.UserName.trimmed()));
    if (!client.UserName().empty() && job.Login == TMailingJob::PasswordLogin && check.Job().Password.isEmpty())
        return fail(ExitCheck, QStringLiteral("The login %1 needs a password: let the window remember it in the "
                                              "desktop keyring, or give --password-command.")
                                   .arg(job.UserName.trimmed()));
    const std::unique_ptr<TTable> log = check.TakeLog();

    // Which records this run takes, as the window plans it; the summary counts what the run will do.
    const TRunSelection selection = check.Selection(ledger);
    const std::set<int>& already = selection.AlreadySent;
    const bool again = parser.isSet(resendOption) || already.empty();
    std::optional<TPreflightSummary> summary;
    try {
        TPreflightMailing mailing = check.PreflightMailing(recipients.TableName());
        mailing.Take = selection.Take(true);
        mailing.AlreadySent = already;
        summary.emplace(mailing);
    } catch (const std::exception& error) {
        return fail(ExitCheck, QStringLiteral("Can't read recipient table:\n") + TMailingCheck::TablePath(recipients) +
                                   QStringLiteral("\n") + QString::fromLocal8Bit(error.what()));
    }
    if (!quiet)
        for (const auto& [caption, value] : summary->Lines(again))
            Print(stdout, QString::fromStdString(caption + " " + value));

    TMailingRunSettings settings = check.RunSettings();
    settings.Run = selection.Run;
    if (summary->AlreadySent() > 0 && !parser.isSet(resendOption) && !parser.isSet(skipOption))
        return fail(ExitCheck, QStringLiteral("%1 recipients of this run already got this message (same subject and "
                                              "text). Use --resend-sent to send it to them again or --skip-sent to "
                                              "pass them over.")
                                   .arg(summary->AlreadySent()));
    settings.Take = selection.Take(again);
    settings.EarlierAttempts = selection.EarlierAttempts;
    if (!again)
        settings.AlreadySent = selection.AlreadySent;
    if (!again && summary->AlreadySent() > 0 && !quiet)
        Print(stdout, QStringLiteral("%1 recipients who already got this message are passed over.")
                          .arg(summary->AlreadySent()));

    if (parser.isSet(dryRunOption)) {
        // Every message composed as the run would hand it to the server, none sent.
        const QString saveDir = parser.value(saveDirOption);
        if (!saveDir.isEmpty() && !QDir().mkpath(saveDir))
            return fail(ExitCheck, QStringLiteral("Can't create folder: ") + saveDir);
        int composed = 0;
        for (int position = settings.Minimum + 1; position <= settings.Maximum && !recipients.Eof();
             ++position, recipients.Next()) {
            if (settings.Take && !settings.Take(recipients.RecNo()))
                continue;
            std::string problem;
            // Written as it is composed: a message with large files is never held whole.
            const QString path =
                saveDir.isEmpty() ? QString() : QDir(saveDir).filePath(QStringLiteral("%1.eml").arg(position));
            QFile file;
            if (!path.isEmpty()) {
                const int fd = CreateMessageFile(path, parser.isSet(replaceOption));
                if (fd < 0 && errno == EEXIST)
                    return fail(ExitCheck, QStringLiteral("%1 exists already: give --replace to write over the "
                                                          "messages saved before, or choose another folder.")
                                               .arg(path));
                if (fd < 0 || !file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle))
                    return fail(ExitCheck, QStringLiteral("Can't write: ") + path);
            }
            const auto put = [&file](std::string_view line) {
                if (file.isOpen()) {
                    file.write(line.data(), static_cast<qint64>(line.size()));
                    file.write("\r\n", 2);
                }
            };
            if (TMailingRun::ComposeMessage(client, recipients, settings, put, problem))
                ++composed;
            else if (file.isOpen())
                QFile::remove(path);
        }
        if (!quiet)
            Print(stdout, QStringLiteral("Dry run: %1 messages composed, none sent.").arg(composed));
        return ExitDone;
    }

    // SIGINT and SIGTERM stop the run as the Stop button does: the message in transfer ends, then the run.
    if (pipe(SignalPipe) != 0)
        return fail(ExitCheck, QStringLiteral("Can't set up signal handling."));
    bool stopped = false;
    TConsoleView view(quiet);
    TMailingRun run(client, recipients, *log, ledger, view, settings);
    QSocketNotifier signalNotifier(SignalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &signalNotifier, [&] {
        char byte = 0;
        [[maybe_unused]] const auto got = read(SignalPipe[0], &byte, 1);
        stopped = true;
        if (run.Connecting())
            run.StopConnecting();
        else
            run.RequestStop(true);
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    run.Execute();
    view.Finish();
    ledger.Close();

    const TRunCounts& counts = run.Counts();
    if (stopped && view.Aborted)
        return ExitStopped;
    if (client.SecurityFailure())
        return ExitLogin;
    if (counts[TDeliveryStatus::Refused] + counts[TDeliveryStatus::Deferred] + counts[TDeliveryStatus::Unknown] > 0 ||
        counts.Errors > 0 || view.Aborted)
        return ExitFailures;
    return ExitDone;
}
