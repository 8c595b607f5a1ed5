// A mailing run in a process of its own, for the test that kills it: deliveryrun_child TABLE FOLDER PORT.
// It sends to every record at 600 messages per minute and prints "started" once the ledger is open.
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
    settings.MaxPerMinute = 600;
    TMailingRun run = bench.Run(settings);
    std::printf("started\n");
    std::fflush(stdout);
    run.Execute();
    return 0;
}
