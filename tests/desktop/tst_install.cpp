// `cmake --install` into a temporary prefix: the programs, the menu entry, the icons and the manual pages land
// where desktops and man look for them, and the installed programs answer from there.
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

struct TRun {
    int ExitCode = -1;
    QByteArray Out;
};

TRun Run(const QString& program, const QStringList& args) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    if (!process.waitForFinished(60000))
        return {-1, "did not finish: " + process.errorString().toUtf8()};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAll()};
}

} // namespace

class TestInstall : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FPrefix;

    QString Installed(const QString& path) const { return FPrefix.filePath(path); }

private slots:
    void initTestCase() {
        QVERIFY(FPrefix.isValid());
        const TRun install = Run(QUORVEL_CMAKE, {"--install", QUORVEL_BUILD_DIR, "--prefix", FPrefix.path()});
        QVERIFY2(install.ExitCode == 0, install.Out.constData());
    }

    void programsAnswerFromThePrefix_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("answer");
        const QString version = QStringLiteral(QUORVEL_VERSION);
        QTest::newRow("dbf version") << "quorvel-dbf"
                                     << "--version"
                                     << "quorvel-dbf " + version + "\n";
        QTest::newRow("wizard version") << "quorvel-mailer"
                                        << "--version"
                                        << "quorvel-mailer " + version + "\n";
        QTest::newRow("dbf help") << "quorvel-dbf"
                                  << "--help"
                                  << "usage: quorvel-dbf fields FILE\n";
        QTest::newRow("wizard help") << "quorvel-mailer"
                                     << "--help"
                                     << "Usage: quorvel-mailer [--help]";
    }

    // Answered without a display: the wizard opens no window for them.
    void programsAnswerFromThePrefix() {
        QFETCH(QString, program);
        QFETCH(QString, option);
        QFETCH(QString, answer);
        qputenv("QT_QPA_PLATFORM", "no-such-platform");
        const TRun run = Run(Installed("bin/" + program), {option});
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QCOMPARE(run.ExitCode, 0);
        QVERIFY2(run.Out.startsWith(answer.toUtf8()), run.Out.constData());
    }

    void desktopEntryIsValidAndPointsAtWhatWasInstalled() {
        const QString entry = Installed("share/applications/quorvel-mailer.desktop");
        const TRun validate = Run("desktop-file-validate", {entry});
        QVERIFY2(validate.ExitCode == 0 && !validate.Out.contains("error"), validate.Out.constData());
        QFile file(entry);
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
        QVERIFY(lines.contains("Exec=quorvel-mailer"));
        QVERIFY(QFileInfo(Installed("bin/quorvel-mailer")).isExecutable());
        QVERIFY(lines.contains("Icon=quorvel-mailer"));
        QVERIFY(lines.contains("Categories=Office;Network;Email;"));
    }

    void iconsInTheUsualSizes() {
        for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
            const QString path =
                Installed(QStringLiteral("share/icons/hicolor/%1x%1/apps/quorvel-mailer.png").arg(size));
            const QImage icon(path);
            QVERIFY2(!icon.isNull(), qPrintable(path));
            QCOMPARE(icon.size(), QSize(size, size));
            QVERIFY(icon.hasAlphaChannel());
            QCOMPARE(qAlpha(icon.pixel(0, 0)), 0);                 // the corner above the envelope stays clear
            QCOMPARE(qAlpha(icon.pixel(size / 4, size / 2)), 255); // the envelope is drawn
        }
        QFile svg(Installed("share/icons/hicolor/scalable/apps/quorvel-mailer.svg"));
        QVERIFY(svg.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&svg);
        QVERIFY(xml.readNextStartElement());
        QCOMPARE(xml.name(), QStringLiteral("svg"));
        QCOMPARE(xml.attributes().value("viewBox"), QStringLiteral("0 0 32 32"));
        while (!xml.atEnd())
            xml.readNext();
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    }

    void manualPages() {
        for (const char* page : {"quorvel-mailer", "quorvel-dbf", "quorvel-send"}) {
            const QString path = Installed(QStringLiteral("share/man/man1/%1.1.gz").arg(page));
            const TRun unpacked = Run("gzip", {"-dc", path});
            QCOMPARE(unpacked.ExitCode, 0);
            QVERIFY2(unpacked.Out.startsWith(".TH " + QByteArray(page).toUpper() + " 1 "), unpacked.Out.left(80));
        }
    }

    // The command-line tools depend on neither Qt Widgets nor Qt Gui; the wizard of course needs Widgets.
    void dbfToolLinksNoWidgets() {
        for (const char* program : {"bin/quorvel-dbf", "bin/quorvel-send"}) {
            const TRun tool = Run("readelf", {"-d", Installed(program)});
            QCOMPARE(tool.ExitCode, 0);
            QVERIFY(tool.Out.contains("libQt6Core.so"));
            QVERIFY2(!tool.Out.contains("libQt6Widgets") && !tool.Out.contains("libQt6Gui"), tool.Out.constData());
        }
        const TRun wizard = Run("readelf", {"-d", Installed("bin/quorvel-mailer")});
        QVERIFY(wizard.Out.contains("libQt6Widgets.so"));
    }
};

QTEST_MAIN(TestInstall)
#include "tst_install.moc"
