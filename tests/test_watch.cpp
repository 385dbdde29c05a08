// One student watched, through the real window and real agents on loopback:
// "Obserwuj" asks the selected computer for its picture every interval
// without the wait window or the teacher's fields, shows it fitted to the
// tab (or at 100 %), and ends when the teacher stops it or picks another
// computer; a double-click on a tile opens the watch of that computer.
#include "shell/overviewview.h"
#include "shell/tfprogress.h"
#include "support/classroom.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>

namespace {

// Answers the watch's request with a picture; false when none came.
bool answerRequest(TestAgent &agent, const QByteArray &jpeg, qint32 number)
{
    PacketRecord request;
    if (!agent.waitForPacket(request, 5000) || request.iCommand != 2)
        return false;
    agent.sendPacket(number, 2, 1, qint32(jpeg.size()));
    agent.send(jpeg);
    return true;
}

} // namespace

class WatchTest : public QObject
{
    Q_OBJECT
private slots:
    void watchRefreshesQuietly_data()
    {
        QTest::addColumn<bool>("byDoubleClick");
        QTest::addColumn<bool>("stopBySelecting");
        QTest::newRow("Obserwuj, stopped by the button") << false << false;
        QTest::newRow("double-click on a tile, stopped by choosing another") << true << true;
    }

    void watchRefreshesQuietly()
    {
        QFETCH(bool, byDoubleClick);
        QFETCH(bool, stopBySelecting);
        ClassroomNames names{
                QHash<QByteArray, QByteArray>{{"127.0.0.1", "SALA-1"}, {"127.0.0.2", "SALA-2"}}};
        ConsoleFixture console;
        console.start();
        TFMain &main = console.main();
        main.resize(1444, 746);
        main.show();
        TestAgent &agent = connectAgentFrom(console, QStringLiteral("127.0.0.1"));
        connectAgentFrom(console, QStringLiteral("127.0.0.2"));
        main.WatchIntervalSpinBox->setValue(1);
        QCOMPARE(main.WatchButton->accessibleName(), QStringLiteral("Obserwuj"));
        QCOMPARE(main.ActualSizeCheckBox->accessibleName(), QStringLiteral("100 %"));
        const QStringList fields{main.StatusEdit->text(), main.SendStatusEdit->text(),
                                 main.RcvStatusEdit->text()};

        if (byDoubleClick) {
            main.PageControl1->setCurrentWidget(main.TabSheet5);
            // The overview's own request first: answered, the tile has a picture.
            QVERIFY(answerRequest(agent, jpegBytes(quarteredPicture(320, 180)), 1));
            QTRY_VERIFY(!main.classroom().computers().front()->state.picture.isEmpty());
            QTest::mouseDClick(main.ClassOverviewView->tileWidget(0), Qt::LeftButton);
            QCOMPARE(main.PageControl1->currentWidget(), main.TabSheet3);
        } else {
            selectAgent(console, agent);
            main.PageControl1->setCurrentWidget(main.TabSheet3);
            main.WatchButton->click();
        }
        QVERIFY(main.WatchButton->isChecked());
        QCOMPARE(main.watch().watched(), main.classroom().selected());

        // A screen larger than the tab: fitted, its proportions kept.
        const QByteArray big = jpegBytes(quarteredPicture(1920, 1080));
        for (qint32 number = 2; number <= 3; ++number) {
            QVERIFY(answerRequest(agent, big, number));
            QVERIFY(!main.waitWindow()->isVisible());
            QTRY_VERIFY(main.ScreenShootImage->width() > 100);
        }
        const QSize room = main.ScrollBox1->maximumViewportSize();
        const QSize shown = main.ScreenShootImage->size();
        QVERIFY(shown.width() <= room.width() && shown.height() <= room.height());
        QVERIFY(shown.width() == room.width() || shown.height() == room.height());
        QVERIFY(qAbs(shown.width() * 9 - shown.height() * 16) <= 16);
        main.ActualSizeCheckBox->click();
        QCOMPARE(main.ScreenShootImage->size(), QSize(1920, 1080));
        QCOMPARE(main.ActualSizeCheckBox->accessibleDescription(), QStringLiteral("100 %"));
        QVERIFY(main.ScreenStatusBar->currentMessage().startsWith(
                QStringLiteral("Obserwuję: SALA-1 (127.0.0.1), obraz z")));
        // Quietly: the teacher's fields stay as they were.
        QCOMPARE((QStringList{main.StatusEdit->text(), main.SendStatusEdit->text(),
                              main.RcvStatusEdit->text()}),
                 fields);

        if (stopBySelecting)
            console.selectRow(1);
        else
            main.WatchButton->click();
        QTRY_VERIFY(!main.watch().isWatching());
        QVERIFY(!main.WatchButton->isChecked());
        // No request after the end: over two intervals pass in silence.
        PacketRecord late;
        QVERIFY(!agent.waitForPacket(late, 2500));
    }

    // The teacher's interval is kept for the next lesson, and read only once
    // the screen's tab is opened: the window alone reads nothing from disk.
    void intervalKeptForTheNextStart()
    {
        ConsoleFixture console;
        for (const bool restarted : {false, true}) {
            if (restarted) {
                destroyWindows(console.windows);
                console.windows = createWindows();
            }
            TFMain &main = console.main();
            QCOMPARE(main.WatchIntervalSpinBox->value(), 2);
            main.PageControl1->setCurrentWidget(main.TabSheet3);
            QCOMPARE(main.WatchIntervalSpinBox->value(), restarted ? 7 : 2);
            main.WatchIntervalSpinBox->setValue(7);
        }
    }
};

QTEST_MAIN(WatchTest)
#include "test_watch.moc"
