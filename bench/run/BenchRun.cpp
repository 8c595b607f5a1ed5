// A long mailing run through the real window: every record accounted for, memory over the run, repaints per
// record, messages per second and CPU per 1,000 messages. Run through bench/run-mailing.sh, never from CTest.
// Usage: bench_run [COUNT] [PORT]: with a port the run goes to the server there (which takes every message),
// without one to an aiosmtpd sink of its own that refuses every 1000th recipient.
#include "wizard/MailWizard.h"
#include "bench/CpuTime.h"
#include "framework/core/Application.h"
#include "framework/widgets/Wait.h"
#include "smtp/SmtpClient.h"
#include "table/Table.h"
#include "table/XbaseEngine.h"
#include "tests/wizard/PreflightAnswer.h"
#include "tests/servers/SmtpSink.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cstdio>
#include <string>

namespace {

// Every 97th recipient has no address, every 1000th is refused by the server.
bool Blank(int record) {
    return record % 97 == 0;
}
bool Refused(int record) {
    return record % 1000 == 500;
}
std::string Address(int record) {
    return "person" + std::to_string(record) + "@example.org";
}

void MakeRecipients(const std::string& path, int count) {
    TXbaseEngine engine;
    engine.CreateNew(path, 2, 4);
    engine.CreateField("NAME", "C", 30, 0);
    engine.CreateField("ORG", "C", 40, 0);
    engine.CreateField("EMAIL", "C", 50, 0);
    engine.CreateField("DEAR", "C", 20, 0);
    if (!engine.CreateExec())
        throw std::runtime_error("cannot create " + path);
    TTable table;
    table.SetTableName(path);
    table.SetTableType(ttXbFOX);
    table.Open();
    for (int record = 1; record <= count; ++record) {
        table.Append();
        table.FieldByName("NAME").SetValue("Person " + std::to_string(record));
        table.FieldByName("ORG").SetValue("Organisation " + std::to_string(record % 50));
        table.FieldByName("EMAIL").SetValue(Blank(record) ? std::string() : Address(record));
        table.FieldByName("DEAR").SetValue(record % 2 ? "Ms." : "Mr.");
        table.Post();
    }
    table.Close();
}

long ResidentKilobytes() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

// Counts the paint events of one widget.
struct TPaintCounter : QObject {
    int Paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++Paints;
        return false;
    }
};

template <typename T> T* Find(QWidget& form, const char* name) {
    return form.findChild<T*>(QString::fromLatin1(name));
}

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const int count = argc > 1 ? std::stoi(argv[1]) : 10000;
    const int serverPort = argc > 2 ? std::stoi(argv[2]) : 0;
    QTemporaryDir dir;
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    Application::SetTitle(QStringLiteral("Quorvel Mailer 1.2"));

    const std::string table = dir.filePath(QStringLiteral("recipients.dbf")).toStdString();
    MakeRecipients(table, count);
    int blanks = 0;
    QStringList refused;
    for (int record = 1; record <= count; ++record) {
        blanks += Blank(record) ? 1 : 0;
        if (!Blank(record) && Refused(record) && serverPort == 0)
            refused << QString::fromStdString(Address(record));
    }

    SmtpSink sink(refused);
    if (serverPort == 0 && !sink.Start()) {
        std::fprintf(stderr, "sink: %s\n", qPrintable(sink.ErrorText()));
        return 1;
    }

    TMailWizardForm form;
    // The summary before Start! is read and continued, as a user would.
    AnswerPreflight(form);
    form.show();
    form.LogFolder = dir.path();
    Find<QLineEdit>(form, "edtSubject")->setText(QStringLiteral("Long run"));
    Find<QPlainTextEdit>(form, "memMessage")
        ->setPlainText(QStringLiteral("Dear %D %N,\n\nthis is a message of some length for %O, wrapped at the "
                                      "column the user chose, with a second sentence so that it wraps twice.\n\n"
                                      "Regards"));
    Find<QLineEdit>(form, "edtSMTPServer")
        ->setText(QStringLiteral("127.0.0.1:%1").arg(serverPort != 0 ? serverPort : sink.Port()));
    Find<QLineEdit>(form, "edtReturnAddress")->setText(QStringLiteral("bench@example.org"));
    Find<QLineEdit>(form, "edtOrganization")->setText(QStringLiteral("Bench Works"));
    QLineEdit* edtTable = Find<QLineEdit>(form, "edtTable");
    edtTable->setText(QString::fromStdString(table));
    edtTable->setModified(true);
    Find<QCheckBox>(form, "chbClearLog")->setChecked(true);
    Find<QComboBox>(form, "cmbName")->setEditText(QStringLiteral("NAME"));
    Find<QComboBox>(form, "cmbOrganization")->setEditText(QStringLiteral("ORG"));
    Find<QComboBox>(form, "cmbEmail")->setEditText(QStringLiteral("EMAIL"));
    Find<QComboBox>(form, "cmbDear")->setEditText(QStringLiteral("DEAR"));
    QPushButton* next = Find<QPushButton>(form, "btnNext");
    for (int i = 0; i < 4; ++i)
        next->click();
    if (next->text() != QStringLiteral("Start!")) {
        std::fprintf(stderr, "the check did not pass\n");
        return 1;
    }

    TPaintCounter paints;
    Find<QWidget>(form, "pnlPage5")->installEventFilter(&paints);
    long rssEarly = 0;
    const int sample = std::max(1, count / 10);
    QObject::connect(&form, &TMailWizardForm::RunStatusReported, [&](const QString& text) {
        if (text == QStringLiteral("Sending mail #%1").arg(sample))
            rssEarly = ResidentKilobytes();
    });

    QElapsedTimer clock;
    clock.start();
    const double cpuBefore = CpuSeconds();
    next->click(); // "Start!": the whole run happens inside this click
    const double seconds = static_cast<double>(clock.elapsed()) / 1000.0;
    const double cpu = CpuSeconds() - cpuBefore;
    const long rssEnd = ResidentKilobytes();

    const int sent = Find<QLineEdit>(form, "edtSentCount")->text().toInt();
    const int errors = Find<QLineEdit>(form, "edtErrorCount")->text().toInt();
    int logged = -1;
    int ledgerRows = -1;
    {
        TTable ledger;
        ledger.SetTableName(dir.filePath(QStringLiteral("mail_sent.dbf")).toStdString());
        ledger.SetTableType(ttXbFOX);
        ledger.SetReadOnly(true);
        ledger.Open();
        ledgerRows = ledger.RecordCount();
    }
    {
        TTable log;
        log.SetTableName(dir.filePath(QStringLiteral("mail_log.dbf")).toStdString());
        log.SetTableType(ttXbFOX);
        log.SetReadOnly(true);
        log.Open();
        logged = log.RecordCount();
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);

    std::printf("records in scope         %d\n", count);
    const int stored = serverPort == 0 ? sink.Count() : sent;
    std::printf("sent / errors / skipped  %d / %d / %d  (log rows %d, ledger rows %d, stored by the sink %s)\n", sent,
                errors, blanks, logged, ledgerRows, serverPort == 0 ? std::to_string(stored).c_str() : "not counted");
    const bool accounted = sent + errors + blanks == count && logged == errors && stored == sent && ledgerRows == count;
    std::printf("accounted for            %s\n", accounted ? "every record" : "NOT every record");
    std::printf("wizard window     %6d messages  %8.1f msg/s  %7.3f CPU s per 1000 messages\n", sent, sent / seconds,
                cpu * 1000.0 / std::max(sent, 1));
    std::printf("memory                   %ld kB resident at record %d, %ld kB at the end, peak %ld kB\n", rssEarly,
                sample, rssEnd, usage.ru_maxrss);
    std::printf("repaints of page 5       %d for %d records (%.2f per record)\n", paints.Paints, count,
                static_cast<double>(paints.Paints) / count);
    form.SettingsChanged = false;
    return sent + errors + blanks == count ? 0 : 2;
}
