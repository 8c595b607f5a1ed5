// Test helper: creates mail_log.dbf in a folder when asked (or when missing) and appends rows to it the way
// the wizard does, printing "posted N" after each row is posted, so a test can kill it mid-burst.
// Options: --reset replaces the log first; --fsize=N limits the files it may write to N bytes (a disk that
// fills up); --lock-timeout=N sets the engine's lock timeout; --hold stops after the rows with the log still
// open, prints "holding", and appends the same number of rows again once a line arrives on standard input.
#include "table/DatabaseError.h"
#include "table/Table.h"
#include "table/XbaseEngine.h"
#include "table/XbaseEnv.h"

#include <QFile>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <sys/resource.h>

namespace {

void Post(TTable& log, const std::string& tag, long first, long count) {
    for (long i = first; i < first + count; ++i) {
        log.Append();
        log.FieldByName("ERR_TEXT").SetValue(tag + " row " + std::to_string(i));
        log.FieldByName("NAME").SetValue("Maximilianus X");
        log.FieldByName("E_MAIL").SetValue("row" + std::to_string(i) + "@example.org");
        log.Post();
        std::printf("posted %ld\n", i);
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: logappender FOLDER COUNT TAG [--reset] [--fsize=N] [--lock-timeout=N] [--hold]\n");
        return 2;
    }
    const std::string folder = std::string(argv[1]) + "/";
    const long count = std::stol(argv[2]);
    const std::string tag = argv[3];
    bool reset = false;
    bool hold = false;
    int lockTimeout = -1;
    for (int i = 4; i < argc; ++i) {
        const std::string option = argv[i];
        reset = reset || option == "--reset";
        hold = hold || option == "--hold";
        if (option.rfind("--lock-timeout=", 0) == 0)
            lockTimeout = std::stoi(option.substr(15));
        if (option.rfind("--fsize=", 0) == 0) {
            const rlim_t limit = std::stoull(option.substr(8));
            const rlimit fsize{limit, limit};
            // Past the limit a write fails with EFBIG instead of the signal ending the process.
            std::signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &fsize);
        }
    }
    try {
        TXbaseEnv env;
        if (lockTimeout >= 0)
            env.SetLockTimeout(lockTimeout);
        TXbaseEngine engine;
        if (reset || !QFile::exists(QString::fromStdString(folder + "mail_log.dbf"))) {
            bool created = engine.CreateNew(folder + "mail_log.dbf", 2, 3);
            if (created) {
                engine.CreateField("ERR_TEXT", "C", 50, 0);
                engine.CreateField("NAME", "C", 10, 0);
                engine.CreateField("E_MAIL", "C", 50, 0);
                created = engine.CreateExec();
            }
            if (!created) {
                std::fprintf(stderr, "%s\n", engine.CreateError().c_str());
                return 3;
            }
        }
        TTable log;
        log.SetDatabaseName(folder);
        log.SetTableName("mail_log.dbf");
        log.SetTableType(ttXbFOX);
        log.SetActive(true);
        Post(log, tag, 1, count);
        if (hold) {
            std::printf("holding\n");
            std::fflush(stdout);
            std::string line;
            std::getline(std::cin, line);
            Post(log, tag, count + 1, count);
        }
    } catch (const EDatabaseError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
