// The paint pace of a window: a burst of changes costs few paints, the last
// change is always painted, and a change after a quiet spell is painted at
// once.
#include "shell/paintpace.h"

#include <QElapsedTimer>
#include <QOperatingSystemVersion>
#include <QPainter>
#include <QTest>
#include <QWidget>

namespace {

// A view whose paint takes a millisecond of work, like a status line whose
// text is laid out and drawn, and which remembers what it painted last.
class SlowView : public QWidget
{
public:
    using QWidget::QWidget;
    int state = 0;
    int paintedState = -1;
    int paints = 0;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QElapsedTimer busy;
        busy.start();
        while (busy.nsecsElapsed() < 1'000'000) {
        }
        QPainter(this).fillRect(rect(), QColor::fromHsv(state % 360, 200, 200));
        paintedState = state;
        ++paints;
    }
};

struct PacedWindow
{
    QWidget window;
    SlowView *view = new SlowView(&window);
    explicit PacedWindow(bool oncePerFrame = false)
    {
        new PaintPace(&window, oncePerFrame);
        window.resize(200, 40);
        view->setGeometry(0, 0, 200, 40);
        window.show();
    }
    // One change, handled the way a packet's status text is: in a pass of
    // the event loop of its own.
    void change()
    {
        ++view->state;
        view->update();
        QCoreApplication::processEvents();
    }
};

} // namespace

class PaintPaceTest : public QObject
{
    Q_OBJECT
private slots:
    void burstCostsFewPaintsAndEndsPainted_data()
    {
        QTest::addColumn<int>("changes");
        QTest::addColumn<bool>("oncePerFrame");
        QTest::newRow("a hundred") << 100 << false;
        QTest::newRow("a thousand") << 1000 << false;
        QTest::newRow("a thousand, once a frame") << 1000 << true;
    }

    void burstCostsFewPaintsAndEndsPainted()
    {
        QFETCH(int, changes);
        QFETCH(bool, oncePerFrame);
        PacedWindow paced(oncePerFrame);
        QVERIFY(QTest::qWaitForWindowExposed(&paced.window));
        QTRY_VERIFY(paced.view->paints > 0);

        const int before = paced.view->paints;
        QElapsedTimer burst;
        burst.start();
        for (int i = 0; i < changes; ++i)
            paced.change();
        if (oncePerFrame) {
            const qint64 frames = burst.nsecsElapsed() / PaintPace::FrameNs;
            QVERIFY2(paced.view->paints - before <= frames + 1,
                     qPrintable(QStringLiteral("%1 paints in %2 frames")
                                        .arg(paced.view->paints - before)
                                        .arg(frames)));
        }
        const int burstPaints = paced.view->paints - before;
        // The last change is painted all the same, without a further one.
        QTRY_COMPARE(paced.view->paintedState, paced.view->state);
        if (QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows)
            QSKIP("under Wine a change's pass of the event loop takes about 4 ms and its paint "
                  "2 ms, so a burst lasts long enough to earn most changes a paint");
        // Painting takes a fifth of the time at most, so most changes are
        // never painted on their own.
        QVERIFY2(burstPaints < changes / 4,
                 qPrintable(
                         QStringLiteral("%1 paints for %2 changes").arg(burstPaints).arg(changes)));
    }

    void changeAfterQuietSpellPaintsAtOnce()
    {
        PacedWindow paced;
        QVERIFY(QTest::qWaitForWindowExposed(&paced.window));
        for (int i = 0; i < 50; ++i)
            paced.change();
        QTRY_COMPARE(paced.view->paintedState, paced.view->state);

        // A screen frame and more of quiet earns the window its paint back.
        QTest::qWait(100);
        paced.change();
        QCOMPARE(paced.view->paintedState, paced.view->state);
    }
};

QTEST_MAIN(PaintPaceTest)
#include "test_paintpace.moc"
