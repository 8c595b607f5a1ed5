// Test helper: creates mail_log.dbf in a folder when asked (or when missing) and appends rows to it the way
// the wizard does, printing "posted N" after each row is posted, so a test can kill it mid-burst.
// --fsize=N: the disk is full at N bytes; --hold: print "holding" after the rows, post as many again on input.
#include "table/DatabaseError.h"
#include "table/Table.h"
#include "table/XbaseEngine.h"
#include "table/XbaseEnv.h"

#include <QFile>
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: logappender FOLDER COUNT TAG [--reset] [--fsize=N] [--lock-timeout=N] [--hold]\n");
        return 2;
    }
    const std::string folder = std::string(argv[1]) + "/";
    const long count = std::stol(argv[2]);
    const std::string tag = argv[3];
    bool reset = false, hold = false;
    TXbaseEnv env;
    for (const std::string& option : std::vector<std::string>(argv + 4, argv + argc)) {
        reset = reset || option == "--reset";
        hold = hold || option == "--hold";
        if (option.starts_with("--lock-timeout="))
            env.SetLockTimeout(std::stoi(option.substr(15)));
        if (option.starts_with("--fsize=")) {
            const rlimit fsize{std::stoull(option.substr(8)), std::stoull(option.substr(8))};
            std::signal(SIGXFSZ, SIG_IGN); // past the limit a write fails with EFBIG instead of ending the process
            setrlimit(RLIMIT_FSIZE, &fsize);
        }
    }
    try {
        TXbaseEngine engine;
        if (reset || !QFile::exists(QString::fromStdString(folder + "mail_log.dbf"))) {
            if (!engine.CreateNew(folder + "mail_log.dbf", 2, 3))
                return 3;
            engine.CreateField("ERR_TEXT", "C", 50, 0);
            engine.CreateField("NAME", "C", 10, 0);
            engine.CreateField("E_MAIL", "C", 50, 0);
            if (!engine.CreateExec()) {
                std::fprintf(stderr, "%s\n", engine.CreateError().c_str());
                return 3;
            }
        }
        TTable log;
        log.SetDatabaseName(folder);
        log.SetTableName("mail_log.dbf");
        log.SetTableType(ttXbFOX);
        log.SetActive(true);
        for (long i = 1; i <= (hold ? 2 * count : count); ++i) {
            if (hold && i == count + 1) {
                std::printf("holding\n");
                std::fflush(stdout);
                std::getchar(); // waits for a line, or for the end of the input
            }
            log.Append();
            log.FieldByName("ERR_TEXT").SetValue(tag + " row " + std::to_string(i));
            log.FieldByName("NAME").SetValue("Maximilianus X");
            log.FieldByName("E_MAIL").SetValue("row" + std::to_string(i) + "@example.org");
            log.Post();
            std::printf("posted %ld\n", i);
            std::fflush(stdout);
        }
    } catch (const EDatabaseError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
