// The class overview in the main window as the room stands: tiles dragged to
// their cells of the room plan, a computer that leaves kept greyed in its
// cell, the plan read back by the next window and a damaged one kept aside;
// while a poll is open, each tile shows its computer's answer.
#include "platform/cp1250.h"
#include "shell/overviewtile.h"
#include "shell/overviewview.h"
#include "shell/pollpanel.h"
#include "support/classroom.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QMouseEvent>
#include <QSpinBox>
#include <QTest>

namespace {

QString accessibleText(QWidget *widget, QAccessible::Text text)
{
    return QAccessible::queryAccessibleInterface(widget)->text(text);
}

// A drag with the left button from a tile's middle to the middle of a cell.
void dragTile(OverviewView &view, int index, QPoint cell)
{
    QWidget *tile = view.tileWidget(index);
    const QPoint from = tile->rect().center();
    const QPoint to = tile->mapFromParent(view.cellRect(cell).center());
    QTest::mousePress(tile, Qt::LeftButton, {}, from);
    for (const QPoint at : {from + QPoint(QApplication::startDragDistance() + 1, 0), to}) {
        QMouseEvent move(QEvent::MouseMove, at, tile->mapToGlobal(at), Qt::NoButton, Qt::LeftButton,
                         Qt::NoModifier);
        QApplication::sendEvent(tile, &move);
    }
    QTest::mouseRelease(tile, Qt::LeftButton, {},
                        tile->mapFromParent(view.cellRect(cell).center()));
}

} // namespace

class OverviewRoomTest : public QObject
{
    Q_OBJECT
private slots:
    // The room plan on the main window: tiles dragged to their cells, a
    // computer that leaves kept greyed in its cell, the plan read back
    // exactly by the next window; unticked, the list's order again.
    void roomPlanSurvivesARestart()
    {
        ConsoleFixture console;
        roomplan::Plan before;
        for (const bool restarted : {false, true}) {
            if (restarted) {
                destroyWindows(console.windows);
                console.windows = createWindows();
            }
            TFMain &main = console.main();
            OverviewView *view = main.ClassOverviewView;
            // The next lesson's computers come in another order.
            const QStringList names = restarted ? QStringList{"pc5", "pc2", "pc1", "pc4", "pc3"}
                                                : QStringList{"pc1", "pc2", "pc3", "pc4", "pc5"};
            for (int i = 0; i < names.size(); ++i)
                view->insertTile(i, names[i], QStringLiteral("10.0.0.%1").arg(i + 1));
            main.resize(1444, 746);
            main.show();
            main.PageControl1->setCurrentWidget(main.TabSheet5);
            auto *room = view->findChild<QCheckBox *>(QStringLiteral("RoomPlanCheckBox"));
            QCOMPARE(room->isChecked(), restarted);
            QCOMPARE(accessibleText(room, QAccessible::Name), QStringLiteral("Układ sali"));
            const auto cellOf = [&](const QString &name) {
                return view->cellOf(names.indexOf(name));
            };
            if (!restarted) {
                room->click();
                view->findChild<QSpinBox *>(QStringLiteral("RoomColumnsSpinBox"))->setValue(4);
                view->findChild<QSpinBox *>(QStringLiteral("RoomRowsSpinBox"))->setValue(3);
                QTRY_COMPARE(cellOf("pc5"), QPoint(0, 1));
                QCOMPARE(cellOf("pc1"), QPoint(0, 0));
                dragTile(*view, names.indexOf("pc5"), {3, 2});
                QCOMPARE(cellOf("pc5"), QPoint(3, 2));
                // On a taken cell: the two change places.
                dragTile(*view, names.indexOf("pc1"), {1, 0});
                QCOMPARE(cellOf("pc1"), QPoint(1, 0));
                QCOMPARE(cellOf("pc2"), QPoint(0, 0));
                QCOMPARE(view->tileWidget(names.indexOf("pc5"))->pos(),
                         view->cellRect({3, 2}).topLeft());
                const QByteArray file = console.data.readFile(QStringLiteral("roomplan.txt"));
                QVERIFY2(file.contains("GRID 4 3\n") && file.contains("PLACE 3 2 pc5\n"),
                         file.constData());
            }
            QCOMPARE(cellOf("pc5"), QPoint(3, 2));
            QCOMPARE(cellOf("pc1"), QPoint(1, 0));
            QCOMPARE(cellOf("pc2"), QPoint(0, 0));
            auto *count = view->findChild<QLabel *>(QStringLiteral("ConnectedCountLabel"));
            QTRY_COMPARE(count->text(), QStringLiteral("Połączone komputery: 5"));
            QCOMPARE(accessibleText(count, QAccessible::Description), QStringLiteral("5"));
            if (!restarted) {
                // pc3 leaves: its tile stays where it stood, greyed, saying when.
                const QPoint cell = cellOf("pc3");
                view->removeTile(names.indexOf("pc3"));
                QTRY_COMPARE(count->text(), QStringLiteral("Połączone komputery: 4"));
                QCOMPARE(view->departedTiles().size(), 1);
                QWidget *gone = view->departedTiles().first();
                QCOMPARE(gone->pos(), view->cellRect(cell).topLeft());
                QVERIFY(gone->isVisible());
                QVERIFY(accessibleText(gone, QAccessible::Description)
                                .startsWith(QStringLiteral("rozłączony o ")));
                before = view->roomPlan();
                QCOMPARE(before.places.value(QStringLiteral("pc3")), cell);
            } else {
                QCOMPARE(view->roomPlan(), before);
                QCOMPARE(cellOf("pc3"), before.places.value(QStringLiteral("pc3")));
            }
        }
        // Unticked: the list's order, and the departed gone.
        OverviewView *view = console.main().ClassOverviewView;
        view->findChild<QCheckBox *>(QStringLiteral("RoomPlanCheckBox"))->click();
        QCOMPARE(view->cellOf(0), QPoint(-1, -1));
        const auto readingOrder = [](QWidget *w) {
            return std::pair(w->y(), w->x());
        };
        for (int i = 1; i < view->tileCount(); ++i)
            QVERIFY(readingOrder(view->tileWidget(i)) > readingOrder(view->tileWidget(i - 1)));
        QVERIFY(view->departedTiles().isEmpty());
    }

    void damagedRoomPlanIsKeptAside()
    {
        ConsoleFixture console;
        const QByteArray damaged("ROOMPLAN 1\nGRID 6 5\nPLACE 9 9 pc1\n");
        console.data.writeFile(QStringLiteral("roomplan.txt"), damaged);
        TFMain &main = console.main();
        main.show();
        main.PageControl1->setCurrentWidget(main.TabSheet5);
        QCOMPARE(console.dialogs.shown.size(), 1);
        QVERIFY2(console.dialogs.shown[0].text.startsWith(
                         QStringLiteral("Plan sali jest uszkodzony")),
                 qPrintable(console.dialogs.shown[0].text));
        const QStringList aside = QDir(console.data.dataFolder())
                                          .entryList({QStringLiteral("roomplan-uszkodzony-*")});
        QCOMPARE(aside.size(), 1);
        QVERIFY(console.dialogs.shown[0].text.contains(aside[0]));
        // A new plan goes to a new file; the damaged one stays as it was.
        main.ClassOverviewView->findChild<QSpinBox *>(QStringLiteral("RoomColumnsSpinBox"))
                ->setValue(7);
        QCOMPARE(console.data.readFile(aside[0]), damaged);
        QVERIFY(console.data.readFile(QStringLiteral("roomplan.txt")).contains("GRID 7 5"));
    }

    // While a poll is open each tile shows its computer's answer, whole in
    // its tooltip, and the tally counts the same; a new poll clears them.
    void answersOnTheTiles_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("flag");
        QTest::addColumn<QByteArray>("rest");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("tally");
        QTest::newRow("yes") << int(Poll::YesNo) << 1 << QByteArray("|") << "TAK"
                             << "TAK: 1, NIE: 0, bez odpowiedzi: 1";
        QTest::newRow("no") << int(Poll::YesNo) << 0 << QByteArray("|") << "NIE"
                            << "TAK: 0, NIE: 1, bez odpowiedzi: 1";
        const QString longAnswer = QStringLiteral("Odpowiedź dłuższa niż kafelek, a nawet dwa");
        QTest::newRow("typed, longer than the tile")
                << int(Poll::Typed) << 2 << cp1250::fromUnicode(longAnswer + u'|') << longAnswer
                << "odpowiedzi: 1 z 2";
    }

    void answersOnTheTiles()
    {
        QFETCH(int, kind);
        QFETCH(int, flag);
        QFETCH(QByteArray, rest);
        QFETCH(QString, answer);
        QFETCH(QString, tally);
        ClassroomNames names{
                QHash<QByteArray, QByteArray>{{"127.0.0.1", "SALA-1"}, {"127.0.0.2", "SALA-2"}}};
        ConsoleFixture console;
        console.start();
        TFMain &main = console.main();
        TestAgent &first = connectAgentFrom(console, QStringLiteral("127.0.0.1"));
        connectAgentFrom(console, QStringLiteral("127.0.0.2"));
        main.resize(1444, 746);
        main.show();
        main.PollSendClick(QStringLiteral("Czy skończyłeś?"), Poll::Kind(kind));
        first.send(QByteArray("48213|5|") + QByteArray::number(flag) + "|6|0|0|||" + rest);

        QWidget *tile = main.ClassOverviewView->tileWidget(0);
        const QString heard = QStringLiteral("odpowiedź: %1").arg(answer);
        QTRY_VERIFY2(accessibleText(tile, QAccessible::Description).endsWith(heard),
                     qPrintable(accessibleText(tile, QAccessible::Description)));
        QVERIFY(tile->toolTip().endsWith(QStringLiteral("Odpowiedź: %1").arg(answer)));
        QVERIFY(!accessibleText(main.ClassOverviewView->tileWidget(1), QAccessible::Description)
                         .contains(QStringLiteral("odpowiedź")));
        QCOMPARE(main.PollBox->findChild<QLabel *>(QStringLiteral("PollTallyLabel"))->text(),
                 tally);
        // Drawn over the picture's foot: the band is there, the rest is not.
        const QImage shot = tile->grab().toImage();
        const QSize area
                = OverviewTile::pictureAreaSize(main.ClassOverviewView->thumbnailSize().width());
        QVERIFY(qGray(shot.pixel(area.width() / 2, area.height() - 2)) < 20);

        main.PollSendClick(QStringLiteral("Drugie?"), Poll::Kind(kind));
        QTRY_VERIFY(!accessibleText(tile, QAccessible::Description).contains(heard));
        QVERIFY(!tile->toolTip().contains(QStringLiteral("Odpowiedź")));
    }
};

QTEST_MAIN(OverviewRoomTest)
#include "test_overviewroom.moc"
