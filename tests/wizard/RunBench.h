// A mailing run without a window for tests and the crash child: a client with its wait control, a recipient
// table, mail_log.dbf and the ledger in one folder, and a view that keeps what the run reported.
#pragma once

#include "mailing/DeliveryLedger.h"
#include "mailing/MailingRun.h"
#include "mailing/MailingRunView.h"
#include "framework/widgets/Wait.h"
#include "smtp/SmtpClient.h"
#include "table/Table.h"
#include "table/XbaseEngine.h"
#include "table/XbaseEnv.h"

#include <QDir>
#include <QStringList>
#include <QWidget>
#include <algorithm>
#include <functional>

struct TRecordingView : TMailingRunView {
    QStringList Lines;
    int StopQuestions = 0;
    int MostConnections = 0;
    std::function<void(const QString&)> OnStatus;

    void RunStatus(const QString& status) override {
        if (OnStatus)
            OnStatus(status);
    }
    void RunRecipient(const QString&) override {}
    void RunProgress(int, int) override {}
    void RunCounts(const TRunCounts&) override {}
    void RunExpectedEnd(const QDateTime&) override {}
    void RunLine(const QString& line) override { Lines << line; }
    void RunConnections(int open, int) override { MostConnections = std::max(MostConnections, open); }
    void RunAborted() override {}
    // The answer to the stop question: Yes (stop) unless set.
    std::function<bool()> OnConfirmStop;
    bool RunConfirmStop() override {
        ++StopQuestions;
        return !OnConfirmStop || OnConfirmStop();
    }
};

struct TRunBench {
    TXbaseEnv Env;
    QWidget Window;
    TWait Wait{&Window};
    TSmtpClient Client;
    TXbaseEngine Engine;
    TTable Recipients;
    TTable Log;
    TDeliveryLedger Ledger;
    TRecordingView View;

    // Opens table (fields NAME and EMAIL) and creates the log and the ledger in folder, for a server on port.
    TRunBench(const QString& table, const QString& folder, quint16 port) {
        Wait.SetInterval(100);
        Client.SetWait(&Wait);
        Client.SetHost("127.0.0.1");
        Client.SetPort(std::to_string(port));
        Client.SetSignOn("tests.localhost");
        Client.SetFromName("sender@example.org");
        Client.SetHdrFrom("Sender <sender@example.org>");
        Client.SetHdrSubject("Ledger news");
        Recipients.SetTableName(table.toStdString());
        Recipients.SetTableType(ttXbFOX);
        Recipients.SetReadOnly(true);
        Recipients.Open();
        const std::string log = QDir(folder).filePath("mail_log.dbf").toStdString();
        Engine.CreateNew(log, 2, 3);
        Engine.CreateField("ERR_TEXT", "C", 50, 0);
        Engine.CreateField("NAME", "C", 10, 0);
        Engine.CreateField("E_MAIL", "C", 50, 0);
        Engine.CreateExec();
        Log.SetTableName(log);
        Log.SetTableType(ttXbFOX);
        Log.Open();
        Ledger.Open(Engine, folder);
    }

    // Settings for every record of the table, retries after the given pauses.
    TMailingRunSettings Settings(std::vector<std::chrono::milliseconds> retries = {}) {
        TMailingRunSettings settings;
        settings.NameField = "NAME";
        settings.EmailField = "EMAIL";
        settings.Body = "Dear %N,\r\nnews.";
        settings.TimeOut = 20;
        settings.Maximum = Recipients.RecordCount();
        settings.RetryDelays = std::move(retries);
        settings.MessageKey = TDeliveryLedger::MessageKey("Ledger news", settings.Body);
        return settings;
    }

    TMailingRun Run(TMailingRunSettings settings) {
        return TMailingRun(Client, Recipients, Log, Ledger, View, std::move(settings));
    }
};
