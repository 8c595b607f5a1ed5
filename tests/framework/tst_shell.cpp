// Shell open: the result codes for missing files and folders, links handed to the desktop's handler.
#include "framework/core/Shell.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

class TestShell : public QObject {
    Q_OBJECT

public slots:
    void Handle(const QUrl& url) { FOpened << url; }

private:
    QList<QUrl> FOpened;

private slots:
    void cleanup() {
        QDesktopServices::unsetUrlHandler("mailto");
        QDesktopServices::unsetUrlHandler("https");
        FOpened.clear();
    }

    void missingFileAndFolder() {
        QTemporaryDir dir;
        QCOMPARE(Shell::Open(dir.filePath("absent.txt"), QString()), Shell::FileNotFound);
        QCOMPARE(Shell::Open(dir.filePath("absent/absent.txt"), QString()), Shell::PathNotFound);
        QCOMPARE(Shell::Open(QString(), QString()), Shell::FileNotFound);
    }

    // "URL:" marks a web address; a scheme of its own ("mailto:") is a link as it stands.
    void linksReachTheHandlerOfTheirScheme() {
        QDesktopServices::setUrlHandler("mailto", this, "Handle");
        QDesktopServices::setUrlHandler("https", this, "Handle");
        QVERIFY(Shell::Open("URL:https://quorvel.example/mailer", QString()) > 32);
        QVERIFY(Shell::Open("mailto:mailer@quorvel.example", QString()) > 32);
        QCOMPARE(FOpened, (QList<QUrl>{QUrl("https://quorvel.example/mailer"), QUrl("mailto:mailer@quorvel.example")}));
    }

    void aDriveLetterIsNotAScheme() {
        // Reads as a relative path on this system, so it is a missing file rather than a link.
        QCOMPARE(Shell::Open("C:\\nothing\\here.txt", QString()), Shell::FileNotFound);
    }
};

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
