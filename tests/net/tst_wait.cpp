// The countdown control: ticks, timeout, stop, the count read from Caption, the input filter and the paint.
#include "framework/widgets/Wait.h"

#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <stdexcept>
#include <vector>

namespace {

// Records every event that reaches the application, to prove a filter installed before a wait still works after.
class TRecorder : public QObject {
public:
    int KeyPresses = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress)
            ++KeyPresses;
        return false;
    }
};

// Counts how often a widget is shown and hidden.
class TShowCounter : public QObject {
public:
    int Shows = 0;
    int Hides = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show)
            ++Shows;
        else if (event->type() == QEvent::Hide)
            ++Hides;
        return false;
    }
};

} // namespace

class TestWait : public QObject {
    Q_OBJECT
private slots:
    void countdownTimesOut();
    void countFromCaption_data();
    void countFromCaption();
    void stopFromHandlerEndsRun();
    void stopWhileIdleIsHarmless();
    void inputIsDroppedOnlyDuringRun();
    void passedWidgetTakesInputDuringRun();
    void filterIsRemovedWhenAnExceptionLeavesRun();
    void paintShowsShrinkingBar();
    void seriesOfWaitsShowsTheControlOnce();
};

void TestWait::countdownTimesOut() {
    TWait wait;
    wait.SetInterval(20);
    wait.Caption = "3";
    std::vector<int> counts;
    int timeouts = 0;
    int stops = 0;
    int waiting = 0;
    wait.OnWait = [&](TCustomWait*, int count) { counts.push_back(count); };
    wait.OnTimeout = [&](TCustomWait*) { ++timeouts; };
    wait.OnWaitStop = [&](TCustomWait*) { ++stops; };
    wait.OnWaiting = [&](TCustomWait*) { ++waiting; };
    QElapsedTimer clock;
    clock.start();
    wait.Run();
    QVERIFY(clock.elapsed() >= 55);
    QCOMPARE(wait.ModalResult, 2);
    QCOMPARE(counts, (std::vector<int>{2, 1, 0}));
    QCOMPARE(timeouts, 1);
    QCOMPARE(stops, 0);
    QCOMPARE(wait.Caption, std::string("3"));
    QVERIFY(!wait.Running());
    // The loop blocks between events: a handful of passes per tick, not thousands.
    QVERIFY2(waiting < 200, qPrintable(QString::number(waiting)));
}

void TestWait::countFromCaption_data() {
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("ticks");
    QTest::addColumn<QString>("shownAfterStart");
    QTest::newRow("empty") << "" << 15 << "15";
    QTest::newRow("zero") << "0" << 15 << "15";
    QTest::newRow("letter") << "x5" << 15 << "15";
    QTest::newRow("minus") << "-5" << 15 << "15";
    QTest::newRow("blanks and trailing letter") << "  7a" << 7 << "  7a";
    QTest::newRow("one") << "1" << 1 << "1";
}

void TestWait::countFromCaption() {
    QFETCH(QString, caption);
    QFETCH(int, ticks);
    QFETCH(QString, shownAfterStart);
    TWait wait;
    wait.SetInterval(1);
    wait.Caption = caption.toStdString();
    std::string shown;
    std::vector<int> counts;
    wait.OnWaitStart = [&](TCustomWait* sender) { shown = static_cast<TWait*>(sender)->Caption; };
    wait.OnWait = [&](TCustomWait*, int count) { counts.push_back(count); };
    wait.Run();
    QCOMPARE(QString::fromStdString(shown), shownAfterStart);
    QCOMPARE(static_cast<int>(counts.size()), ticks);
    QCOMPARE(counts.back(), 0);
    QCOMPARE(wait.StartCount, ticks);
    QCOMPARE(wait.ModalResult, 2);
}

void TestWait::stopFromHandlerEndsRun() {
    TWait wait;
    wait.SetInterval(10);
    wait.Caption = "50";
    int timeouts = 0;
    int stops = 0;
    wait.OnTimeout = [&](TCustomWait*) { ++timeouts; };
    wait.OnWaitStop = [&](TCustomWait*) { ++stops; };
    wait.OnWait = [&](TCustomWait* sender, int count) {
        if (count == 47)
            sender->Stop();
    };
    wait.Run();
    QCOMPARE(wait.ModalResult, 1);
    QCOMPARE(stops, 1);
    QCOMPARE(timeouts, 0);
    QCOMPARE(wait.Caption, std::string("50"));
    QVERIFY(!wait.Running());
}

void TestWait::stopWhileIdleIsHarmless() {
    TWait wait;
    int stops = 0;
    wait.OnWaitStop = [&](TCustomWait*) { ++stops; };
    wait.Caption = "9";
    wait.Stop();
    QCOMPARE(wait.ModalResult, 1);
    QCOMPARE(wait.Caption, std::string("60"));
    QCOMPARE(stops, 1);
    wait.Caption = "5";
    wait.Reset();
    QCOMPARE(wait.Caption, std::string("60"));
}

void TestWait::inputIsDroppedOnlyDuringRun() {
    QWidget window;
    auto* edit = new QLineEdit(&window);
    auto* button = new QPushButton(QStringLiteral("&Next"), &window);
    button->move(0, 40);
    int clicks = 0;
    connect(button, &QPushButton::clicked, [&] { ++clicks; });
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    edit->setFocus();
    TRecorder recorder;
    qApp->installEventFilter(&recorder);

    TWait wait;
    wait.SetInterval(30);
    wait.Caption = "3";
    int moves = 0;
    struct TMoveCounter : QObject {
        int* Moves;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::MouseMove)
                ++*Moves;
            return false;
        }
    } moveCounter;
    moveCounter.Moves = &moves;
    button->installEventFilter(&moveCounter);
    QTimer::singleShot(5, [&] {
        QTest::keyClick(edit, Qt::Key_A);
        QTest::keyClick(&window, Qt::Key_N, Qt::AltModifier);
        QTest::mouseClick(button, Qt::LeftButton);
        QTest::mouseClick(button, Qt::RightButton);
        QTest::mouseDClick(button, Qt::LeftButton);
        QTest::mouseMove(button, QPoint(3, 3));
    });
    wait.Run();
    QCOMPARE(edit->text(), QString());
    QCOMPARE(clicks, 0);
    QVERIFY(moves >= 1);
    QCOMPARE(wait.ModalResult, 2);

    // Afterwards the same input works again and the filter installed before the wait still sees it.
    const int keysBefore = recorder.KeyPresses;
    QTest::keyClick(edit, Qt::Key_B);
    QCOMPARE(edit->text(), QStringLiteral("b"));
    QVERIFY(recorder.KeyPresses > keysBefore);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(clicks, 1);
    qApp->removeEventFilter(&recorder);
}

// The control that interrupts a task takes clicks and keys while the task waits, and its key (Escape) from
// anywhere; the control beside it still takes nothing.
void TestWait::passedWidgetTakesInputDuringRun() {
    QWidget window;
    QPushButton stop(QStringLiteral("&Stop"), &window), other(QStringLiteral("&Next"), &window);
    other.move(0, 40);
    QStringList clicks;
    connect(&stop, &QPushButton::clicked, [&] { clicks << "stop"; });
    connect(&other, &QPushButton::clicked, [&] { clicks << "other"; });
    window.show();
    QApplication::setActiveWindow(&window); // mnemonics work in the active window only
    QVERIFY(QTest::qWaitForWindowActive(&window));
    TRecorder recorder;
    qApp->installEventFilter(&recorder);
    TWait wait;
    wait.SetInterval(30);
    wait.Caption = "3";
    wait.PassInput(&stop, Qt::Key_Escape);
    QTimer::singleShot(5, [&] {
        for (QPushButton* button : {&stop, &other}) {
            QTest::mouseClick(button, Qt::LeftButton);
            button->setFocus();
            QTest::keyClick(button, Qt::Key_Space);
        }
        const int before = recorder.KeyPresses;
        QTest::keyClick(&other, Qt::Key_Escape);
        clicks << (recorder.KeyPresses > before ? "escape" : "no escape");
    });
    wait.Run();
    QCOMPARE(clicks.join(' '), "stop stop escape");
}

void TestWait::filterIsRemovedWhenAnExceptionLeavesRun() {
    QLineEdit edit;
    edit.show();
    QVERIFY(QTest::qWaitForWindowExposed(&edit));
    TWait wait;
    wait.SetInterval(10);
    wait.Caption = "20";
    wait.OnWaiting = [](TCustomWait*) { throw std::runtime_error("handler failed"); };
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, wait.Run());
    wait.Stop();
    QTest::keyClick(&edit, Qt::Key_C);
    QCOMPARE(edit.text(), QStringLiteral("c"));
}

void TestWait::paintShowsShrinkingBar() {
    TWait wait;
    wait.Caption = "10";
    wait.StartCount = 10;
    const QColor highlight = wait.palette().color(QPalette::Highlight);
    QImage full(wait.size(), QImage::Format_RGB32);
    wait.render(&full);
    wait.Caption = "5";
    QImage half(wait.size(), QImage::Format_RGB32);
    wait.render(&half);
    // Bar width = count * (192 - 7) / StartCount, drawn from x = 3; sample right of the caption text.
    const int y = wait.height() - 6;
    QCOMPARE(full.pixelColor(0, 0), QColor(Qt::black));
    QCOMPARE(full.pixelColor(170, y), highlight);
    QCOMPARE(half.pixelColor(80, y), highlight);
    QCOMPARE(half.pixelColor(170, y), QColor(Qt::white));
}

void TestWait::seriesOfWaitsShowsTheControlOnce() {
    QWidget form;
    form.resize(394, 281);
    TWait wait(&form);
    wait.setGeometry(356, 6, 32, 32);
    wait.setVisible(false);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    TShowCounter counter;
    wait.installEventFilter(&counter);
    // Back-to-back waits, as a dialogue makes them: shown for the first, kept for the others.
    for (int i = 0; i < 20; ++i) {
        wait.ShowForWait();
        QVERIFY(wait.isVisible());
        wait.HideAfterWait();
        QCoreApplication::processEvents();
    }
    QVERIFY(wait.isVisible());
    QCOMPARE(counter.Shows, 1);
    QCOMPARE(counter.Hides, 0);
    QTRY_VERIFY_WITH_TIMEOUT(!wait.isVisible(), 5000);
    QCOMPARE(counter.Hides, 1);
    // A wait that began before the pause ran out is never hidden under it.
    wait.ShowForWait();
    wait.HideAfterWait();
    wait.ShowForWait();
    QTest::qWait(TWait::LingerMs * 2);
    QVERIFY(wait.isVisible());
    wait.HideAfterWait();
    QTRY_VERIFY_WITH_TIMEOUT(!wait.isVisible(), 5000);
    QCOMPARE(counter.Shows, 2);
    QCOMPARE(counter.Hides, 2);
}

QTEST_MAIN(TestWait)
#include "tst_wait.moc"
