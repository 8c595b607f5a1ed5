// The About box: its texts, the links through the desktop, a failed open explained, Enter and Escape.
#include "about/About.h"
#include "framework/core/Application.h"
#include "framework/core/Maker.h"
#include "tests/framework/ModalAnswer.h"

#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

class TestAbout : public QObject {
    Q_OBJECT

public slots:
    void Handle(const QUrl& url) { FOpened << url; }

private:
    QList<QUrl> FOpened;

    static QLabel* Label(QWidget& dlg, const char* name) { return dlg.findChild<QLabel*>(QString::fromLatin1(name)); }

private slots:
    void initTestCase() { Application::SetTitle("Quorvel Mailer 1.2"); }

    void cleanup() {
        QDesktopServices::unsetUrlHandler("mailto");
        QDesktopServices::unsetUrlHandler("https");
        FOpened.clear();
    }

    void showsTitleAndLinks() {
        TOKBottomDlg dlg;
        dlg.show();
        QCOMPARE(dlg.windowTitle(), QStringLiteral("About"));
        QCOMPARE(Label(dlg, "lblTitle")->text(), QStringLiteral("Quorvel Mailer 1.2"));
        QVERIFY(Label(dlg, "lblTitle")->font().pixelSize() > Label(dlg, "Label1")->font().pixelSize());
        QCOMPARE(Label(dlg, "lblURL")->text(), QString::fromLatin1(Maker::WebAddress));
        QCOMPARE(Label(dlg, "lblEmail")->text(), QString::fromLatin1(Maker::MailAddress));
        QCOMPARE(Label(dlg, "Label6")->text(), QStringLiteral("E-mail:"));
        QCOMPARE(Label(dlg, "Label7")->text(), QStringLiteral("WWW:"));
        QCOMPARE(dlg.size(), QSize(328, 200));
    }

    // A click reaches the desktop's handler with the whole address; nothing is shown on success.
    void linksOpenThroughTheDesktop() {
        QDesktopServices::setUrlHandler("mailto", this, "Handle");
        QDesktopServices::setUrlHandler("https", this, "Handle");
        TOKBottomDlg dlg;
        dlg.show();
        QTest::mouseClick(Label(dlg, "lblEmail"), Qt::LeftButton);
        QTest::mouseClick(Label(dlg, "lblURL"), Qt::LeftButton);
        QCOMPARE(FOpened, (QList<QUrl>{QUrl("mailto:mailer@quorvel.example"), QUrl("https://quorvel.example/mailer")}));
        QVERIFY(dlg.isVisible());
    }

    // The offscreen desktop has no program for mail links, like a machine without a mail program.
    void unhandledLinkIsExplained() {
        TOKBottomDlg dlg;
        dlg.show();
        auto seen = AnswerNextBox("OK");
        dlg.lblEmailClick(nullptr);
        QVERIFY(seen->Shown);
        QCOMPARE(seen->Title, QStringLiteral("Warning"));
        QCOMPARE(seen->Text, QStringLiteral("No association for this type of file."));
        QVERIFY(dlg.isVisible());
    }

    void missingDocumentIsExplained() {
        QTemporaryDir dir;
        auto seen = AnswerNextBox("OK");
        QCOMPARE(OpenDocument(dir.filePath("readme.txt"), QString()), 2);
        QCOMPARE(seen->Text, QStringLiteral("File not found."));
        seen = AnswerNextBox("OK");
        QCOMPARE(OpenDocument(dir.filePath("gone/readme.txt"), QString()), 3);
        QCOMPARE(seen->Text, QStringLiteral("Path not found."));
    }

    void emptyNameDoesNothing() {
        auto seen = AnswerNextBox("OK");
        QCOMPARE(OpenDocument(QString(), QString()), 0);
        QTest::qWait(50);
        QVERIFY(!seen->Shown);
    }

    void enterAndEscapeClose_data() {
        QTest::addColumn<int>("key");
        QTest::newRow("enter") << int(Qt::Key_Return);
        QTest::newRow("escape") << int(Qt::Key_Escape);
    }

    void enterAndEscapeClose() {
        QFETCH(int, key);
        TOKBottomDlg dlg;
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QTest::keyClick(&dlg, Qt::Key(key));
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
    }
};

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
