// Test helper: creates mail_log.dbf in a folder when asked (or when missing) and appends rows to it the way
// the wizard does, printing "posted N" after each row is posted, so a test can kill it mid-burst.
#include "table/DatabaseError.h"
#include "table/Table.h"
#include "table/XbaseEngine.h"

#include <QFile>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: logappender FOLDER COUNT TAG [--reset]\n");
        return 2;
    }
    const std::string folder = std::string(argv[1]) + "/";
    const long count = std::stol(argv[2]);
    const std::string tag = argv[3];
    const bool reset = argc > 4 && std::string(argv[4]) == "--reset";
    try {
        TXbaseEngine engine;
        if (reset || !QFile::exists(QString::fromStdString(folder + "mail_log.dbf"))) {
            if (!engine.CreateNew(folder + "mail_log.dbf", 2, 3))
                return 3;
            engine.CreateField("ERR_TEXT", "C", 50, 0);
            engine.CreateField("NAME", "C", 10, 0);
            engine.CreateField("E_MAIL", "C", 50, 0);
            if (!engine.CreateExec())
                return 3;
        }
        TTable log;
        log.SetDatabaseName(folder);
        log.SetTableName("mail_log.dbf");
        log.SetTableType(ttXbFOX);
        log.SetActive(true);
        for (long i = 1; i <= count; ++i) {
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
