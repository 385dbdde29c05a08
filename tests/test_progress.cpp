// The wait window: its countdown, its hold on the main window, and how the
// other parts of the console show and close it.
#include "shell/tfprogress.h"
#include "support/consolefixture.h"

#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {

const QString DesignCaption = QStringLiteral("Proszę czekać (10s)...");

QString caption(int seconds)
{
    return QStringLiteral("Proszę czekać (%1s)...").arg(seconds);
}

// Counts the times a window is shown and hidden.
class VisibilityCounter : public QObject
{
public:
    explicit VisibilityCounter(QWidget *window) { window->installEventFilter(this); }
    int shown = 0;
    int hidden = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            ++shown;
        else if (event->type() == QEvent::Hide)
            ++hidden;
        return false;
    }
};

// Counts the changes of a widget's enabled state.
class EnabledChanges : public QObject
{
public:
    explicit EnabledChanges(QWidget *widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::EnabledChange)
            ++count;
        return false;
    }
};

} // namespace

class ProgressTest : public QObject
{
    Q_OBJECT
private slots:
    void designSettings()
    {
        ConsoleFixture console;
        TFProgress *w = console.main().waitWindow();
        QVERIFY(w);
        QVERIFY(!w->isVisible());
        QCOMPARE(w->windowTitle(), DesignCaption);
        QCOMPARE(w->size(), QSize(480, 34));
        QCOMPARE(w->minimumSize(), QSize(480, 34));
        QCOMPARE(w->maximumSize(), QSize(480, 34));

        // Always on top, and nothing on the title bar to close it by hand.
        const Qt::WindowFlags flags = w->windowFlags();
        QVERIFY(flags.testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(flags.testFlag(Qt::CustomizeWindowHint));
        for (Qt::WindowType button :
             {Qt::WindowCloseButtonHint, Qt::WindowSystemMenuHint, Qt::WindowMinimizeButtonHint,
              Qt::WindowMaximizeButtonHint, Qt::WindowContextHelpButtonHint})
            QVERIFY(!flags.testFlag(button));

        QCOMPARE(w->ProgressBar->geometry(), QRect(8, 8, 465, 17));
        QCOMPARE(w->ProgressBar->minimum(), 0);
        QCOMPARE(w->ProgressBar->maximum(), 100);
        QVERIFY(!w->ProgressBar->accessibleName().isEmpty());
        QCOMPARE(w->Timer1->interval(), 1000);
        QVERIFY(!w->Timer1->isActive());
        QVERIFY(console.main().isEnabled());
    }

    void unattendedWindowClosesOnTheTenthTick()
    {
        ConsoleFixture console;
        TFProgress *w = console.main().waitWindow();
        w->ProgressBar->setValue(30);
        w->Show();
        QVERIFY(w->isVisible());
        QVERIFY(!console.main().isEnabled());
        QVERIFY(w->Timer1->isActive());
        QCOMPARE(w->SecondsLeft, 10);
        QCOMPARE(w->ProgressBar->value(), 0);

        QSignalSpy captions(w, &QWidget::windowTitleChanged);
        for (int tick = 1; tick <= 9; ++tick) {
            w->Timer1Timer();
            QCOMPARE(w->SecondsLeft, 10 - tick);
            QVERIFY(w->isVisible());
            QVERIFY(!console.main().isEnabled());
            QCOMPARE(w->windowTitle(), DesignCaption);
        }
        w->Timer1Timer();
        QVERIFY(!w->isVisible());
        QVERIFY(console.main().isEnabled());
        QVERIFY(!w->Timer1->isActive());
        // Each tick showed the seconds as they stood before it; the last one
        // stays up since the window closed in that tick.
        QCOMPARE(w->windowTitle(), caption(1));
        QStringList expected;
        for (int before = 9; before >= 2; --before)
            expected << caption(before) << DesignCaption;
        expected << caption(1);
        QStringList seen;
        for (const QList<QVariant> &change : captions)
            seen << change.first().toString();
        QCOMPARE(seen, expected);
    }

    // A walk over the class holds the thread from showing the window to
    // closing it: the main window takes no input meanwhile without being
    // disabled widget by widget; should the thread be let go while the
    // window stands, it is disabled then.
    void heldThreadDisablesOnlyWhenLetGo_data()
    {
        QTest::addColumn<bool>("letGo");
        QTest::newRow("closed before the thread is let go") << false;
        QTest::newRow("the thread let go while it stands") << true;
    }
    void heldThreadDisablesOnlyWhenLetGo()
    {
        QFETCH(bool, letGo);
        ConsoleFixture console;
        TFProgress *w = console.main().waitWindow();
        EnabledChanges changes(&console.main());
        w->showWhileHeld();
        QVERIFY(w->isVisible());
        QVERIFY(w->Timer1->isActive());
        QCOMPARE(changes.count, 0);
        if (letGo) {
            QCoreApplication::processEvents();
            QVERIFY(!console.main().isEnabled());
        }
        w->Close();
        QVERIFY(console.main().isEnabled());
        QVERIFY(!w->Timer1->isActive());
        QCoreApplication::processEvents();
        QVERIFY(console.main().isEnabled());
        QCOMPARE(changes.count, letGo ? 2 : 0);
    }

    void closedByItsUserStopsTicking()
    {
        ConsoleFixture console;
        TFProgress *w = console.main().waitWindow();
        w->Show();
        for (int tick = 0; tick < 3; ++tick)
            w->Timer1Timer();
        w->ProgressBar->setMaximum(80);
        w->ProgressBar->setValue(40);
        w->Close();
        QVERIFY(!w->isVisible());
        QVERIFY(!w->Timer1->isActive());
        QVERIFY(console.main().isEnabled());
        QCOMPARE(w->windowTitle(), DesignCaption);
        QCOMPARE(w->SecondsLeft, 7);

        // Shown again, it counts from 10 with the bar at 0; the range of its
        // last user stays.
        w->Show();
        QVERIFY(w->isVisible());
        QCOMPARE(w->SecondsLeft, 10);
        QCOMPARE(w->ProgressBar->value(), 0);
        QCOMPARE(w->ProgressBar->minimum(), 0);
        QCOMPARE(w->ProgressBar->maximum(), 80);
        QVERIFY(!console.main().isEnabled());
        QVERIFY(w->Timer1->isActive());
        w->Close();
    }

    void showingAgainRestartsTheCountdown()
    {
        ConsoleFixture console;
        TFProgress *w = console.main().waitWindow();
        w->Show();
        for (int tick = 0; tick < 6; ++tick)
            w->Timer1Timer();
        w->ProgressBar->setValue(50);
        w->Show();
        QCOMPARE(w->SecondsLeft, 10);
        QCOMPARE(w->ProgressBar->value(), 0);
        for (int tick = 0; tick < 9; ++tick)
            w->Timer1Timer();
        QVERIFY(w->isVisible());
        w->Timer1Timer();
        QVERIFY(!w->isVisible());
    }

    void closingAHiddenWindowEnablesTheMainWindow()
    {
        // A bulk receiver still at work after the countdown closes the
        // window once more when it ends.
        ConsoleFixture console;
        TFProgress *w = console.main().waitWindow();
        w->Show();
        for (int tick = 0; tick < 10; ++tick)
            w->Timer1Timer();
        QVERIFY(!w->isVisible());
        console.main().setEnabled(false);
        w->Close();
        QVERIFY(!w->isVisible());
        QVERIFY(!w->Timer1->isActive());
        QVERIFY(console.main().isEnabled());
        QCOMPARE(w->windowTitle(), caption(1));
    }

    void realTimerClosesTheWindow()
    {
        ConsoleFixture console;
        TFProgress *w = console.main().waitWindow();
        QSignalSpy ticks(w->Timer1, &QTimer::timeout);
        w->Show();
        QVERIFY(!console.main().isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!w->isVisible(), 30000);
        QCOMPARE(ticks.count(), 10);
        QVERIFY(console.main().isEnabled());
        QVERIFY(!w->Timer1->isActive());
    }

    void groupCommandOverAnEmptyList()
    {
        ConsoleFixture console;
        console.start();
        TFProgress *w = console.main().waitWindow();
        VisibilityCounter seen(w);
        console.main().GroupPowerOffMonitorButton->click();
        QCOMPARE(seen.shown, 1);
        QCOMPARE(seen.hidden, 1);
        QVERIFY(!w->isVisible());
        QCOMPARE(w->ProgressBar->maximum(), 0);
        QVERIFY(!w->Timer1->isActive());
        QVERIFY(console.main().isEnabled());
    }
};

QTEST_MAIN(ProgressTest)
#include "test_progress.moc"
