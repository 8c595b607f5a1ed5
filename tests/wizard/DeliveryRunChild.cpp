// A mailing run in a process of its own, for the tests that kill it: deliveryrun_child TABLE FOLDER PORT
// [PER_MINUTE [CONNECTIONS]]. It sends to every record, by default at 600 messages per minute over one
// connection, and prints "started" once the ledger is open.
#include "tests/wizard/RunBench.h"

#include <QApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc < 4)
        return 2;
    TRunBench bench(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]),
                    static_cast<quint16>(std::stoi(argv[3])));
    TMailingRunSettings settings = bench.Settings();
    settings.MaxPerMinute = argc > 4 ? std::stoi(argv[4]) : 600;
    settings.Connections = argc > 5 ? std::stoi(argv[5]) : 1;
    // A server that holds its replies is killed along with this process, not timed out.
    settings.TimeOut = 300;
    TMailingRun run = bench.Run(settings);
    std::printf("started\n");
    std::fflush(stdout);
    run.Execute();
    return 0;
}
