// Writes the program icon as PNG files for the desktop's icon theme: quorvel-icon-png FOLDER SIZE...
// writes FOLDER/SIZE.png for each size, drawn by the same code as the window's icon.
#include "framework/widgets/ProgramIcon.h"

#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <cstdio>

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: quorvel-icon-png FOLDER SIZE...\n");
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "quorvel-icon-png: cannot create %s\n", argv[1]);
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        bool ok = false;
        const int size = QString::fromLatin1(argv[i]).toInt(&ok);
        const QString path = folder.filePath(QString::number(size) + QStringLiteral(".png"));
        if (!ok || size <= 0 || size > 1024 || !ProgramIcon::Pixmap(size).save(path, "PNG")) {
            std::fprintf(stderr, "quorvel-icon-png: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
