// Messages per second and CPU seconds per 1,000 messages from TSmtpClient to a local SMTP server, one connection.
// Usage: bench_smtp PORT [COUNT [CAFILE [MODE]]]; with CAFILE (not "-") the connection to localhost is secured
// with STARTTLS and the server's certificate checked against CAFILE. With MODE (lockstep, pipelining, chunking)
// the client greets with EHLO and sends the messages as one queue, using no more of the server's offers than
// the mode names; without it, one Mail after another. Prints one line of figures for the runner to set beside
// its peer's.
#include "framework/widgets/Wait.h"
#include "bench/CpuTime.h"
#include "smtp/BodyLines.h"
#include "smtp/SmtpClient.h"

#include <QApplication>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

// The body every message carries: 16 lines of 62 characters, 1 KB with their line ends.
std::vector<std::string> BodyLines() {
    std::vector<std::string> lines;
    for (int i = 0; i < 16; ++i)
        lines.push_back(std::string(2, static_cast<char>('a' + i)) + std::string(60, 'x'));
    return lines;
}

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_smtp PORT [COUNT [CAFILE|- [MODE]]]\n");
        return 2;
    }
    const int count = argc > 2 ? std::stoi(argv[2]) : 2000;
    const std::vector<std::string> body = BodyLines();

    // As on the wizard's window: the wait control sits at the top right of a shown form and appears for waits.
    QWidget form;
    form.resize(394, 281);
    TWait wait(&form);
    wait.setGeometry(356, 6, 32, 32);
    wait.setVisible(false);
    form.show();
    TSmtpClient client;
    client.SetWait(&wait);
    client.SetHost("127.0.0.1");
    client.SetPort(argv[1]);
    const std::string mode = argc > 4 ? argv[4] : "";
    if (argc > 3 && std::string(argv[3]) != "-") {
        client.SetHost("localhost");
        client.SetSecurity(TSmtpSecurity::StartTls);
        client.SetTrustedCertificate(argv[3]);
    }
    client.SetSignOn("bench.localhost");
    client.SetFromName("sender@example.org");
    client.RcptName() = {"rcpt@example.org"};
    client.SetHdrFrom("Sender <sender@example.org>");
    client.SetHdrTo("Rcpt <rcpt@example.org>");
    client.SetHdrSubject("Benchmark");
    size_t next = 0;
    client.OnGetData = [&](TSmtpClient*, int, char* line, int maxLen, bool& more) {
        if (next == body.size()) {
            more = false;
            return;
        }
        const std::string& text = body[next++];
        text.copy(line, static_cast<size_t>(maxLen));
        line[std::min(text.size(), static_cast<size_t>(maxLen))] = '\0';
    };

    if (!mode.empty()) {
        client.SetExtended(true);
        client.SetPipelining(mode != "lockstep");
        client.SetChunking(mode == "chunking");
    }
    if (!client.Open()) {
        std::fprintf(stderr, "cannot open: %s\n", client.ErrorMessage().c_str());
        return 1;
    }
    const auto started = std::chrono::steady_clock::now();
    const double cpuStarted = CpuSeconds();
    if (mode.empty()) {
        for (int i = 0; i < count; ++i) {
            next = 0;
            if (!client.Mail()) {
                std::fprintf(stderr, "message %d failed: %s\n", i + 1, client.ErrorMessage().c_str());
                return 1;
            }
        }
    } else {
        const TMailMessage::TBodySource lines = BodyLines(body);
        int handed = 0;
        int failed = 0;
        client.MailQueue(
            [&](TMailMessage& message, int& id) {
                if (handed == count)
                    return false;
                id = ++handed;
                message = client.PropertyMessage();
                message.Body = lines;
                return true;
            },
            [&](int id, bool accepted) {
                if (!accepted && failed++ == 0)
                    std::fprintf(stderr, "message %d failed: %s\n", id, client.ErrorMessage().c_str());
            });
        if (failed > 0 || handed < count)
            return 1;
    }
    const double cpu = CpuSeconds() - cpuStarted;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const bool encrypted = client.Encrypted();
    client.Quit();
    std::printf("%s%s %6d messages  %8.1f msg/s  %7.3f CPU s per 1000 messages\n",
                encrypted ? "TSmtpClient TLS  " : "TSmtpClient      ", mode.c_str(), count, count / seconds, cpu * 1000.0 / count);
    return 0;
}
