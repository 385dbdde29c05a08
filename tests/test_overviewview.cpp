// The class overview: its tiles keep the computer list's places, answer the
// mouse and the keyboard with the right place, tell assistive tools what they
// show, draw pictures undistorted, repaint alone and re-flow with the width;
// in the main window the whole class fits at once, as the teacher left it.
#include "shell/overviewview.h"

#include "shell/pollpanel.h"
#include "support/consolefixture.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QOperatingSystemVersion>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QTest>

using State = commands::ClassOverview::TileState;

namespace {

QString accessibleText(QWidget *widget, QAccessible::Text text)
{
    return QAccessible::queryAccessibleInterface(widget)->text(text);
}

// A screen of one colour that no text or frame of a tile is drawn in.
QImage screen(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(QColor(40, 220, 60));
    return image;
}

bool isScreenColour(QRgb pixel)
{
    return qGreen(pixel) > qRed(pixel) + 80 && qGreen(pixel) > qBlue(pixel) + 80;
}

QRect screenBounds(QWidget *tile)
{
    const QImage shot = tile->grab().toImage();
    QRect bounds;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x)
            if (isScreenColour(shot.pixel(x, y)))
                bounds |= QRect(x, y, 1, 1);
    return bounds;
}

int columnsOf(const OverviewView &view)
{
    int columns = 0;
    while (columns < view.tileCount() && view.tileWidget(columns)->y() == view.tileWidget(0)->y())
        ++columns;
    return columns;
}

struct Room
{
    OverviewView view;
    explicit Room(int tiles, int width = 800, const QStringList &names = {})
    {
        for (int i = 0; i < tiles; ++i)
            view.insertTile(i, names.value(i, QStringLiteral("pc")), QStringLiteral("10.0.0.1"));
        view.resize(width, 600);
        view.show();
    }
};

struct PaintCounter : QObject
{
    QHash<QObject *, int> paints;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        paints[watched] += event->type() == QEvent::Paint;
        return false;
    }
};

} // namespace

class OverviewViewTest : public QObject
{
    Q_OBJECT
private slots:
    void tilesKeepTheListsPlaces_data()
    {
        QTest::addColumn<bool>("insert");
        QTest::addColumn<int>("index");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("insert at front") << true << 0 << QStringList{"x", "a", "b", "c"};
        QTest::newRow("insert in middle") << true << 2 << QStringList{"a", "b", "x", "c"};
        QTest::newRow("insert at end") << true << 3 << QStringList{"a", "b", "c", "x"};
        QTest::newRow("remove first") << false << 0 << QStringList{"b", "c"};
        QTest::newRow("remove last") << false << 2 << QStringList{"a", "b"};
    }

    void tilesKeepTheListsPlaces()
    {
        QFETCH(bool, insert);
        QFETCH(int, index);
        QFETCH(QStringList, expected);
        Room room(3, 800, {"a", "b", "c"});
        OverviewView &view = room.view;
        if (insert)
            view.insertTile(index, QStringLiteral("x"), QStringLiteral("10.0.0.9"));
        else
            view.removeTile(index);
        QVERIFY(QTest::qWaitForWindowActive(&view));
        // The grid settles a batch of changes when the event loop next runs.
        QCoreApplication::processEvents();

        QCOMPARE(view.tileCount(), expected.size());
        QSignalSpy clicked(&view, &OverviewView::tileClicked);
        view.tileWidget(0)->setFocus();
        for (int i = 0; i < view.tileCount(); ++i) {
            // Tab walks the tiles in the list's order, whatever order they came in.
            if (i > 0)
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QTRY_COMPARE(QApplication::focusWidget(), view.tileWidget(i));
            QCOMPARE(accessibleText(view.tileWidget(i), QAccessible::Name), expected[i]);
            // Each tile answers with its place now, not the one it was given.
            QTest::mouseClick(view.tileWidget(i), Qt::LeftButton);
            QCOMPARE(clicked.takeFirst().at(0).toInt(), i);
        }
        QSignalSpy doubleClicked(&view, &OverviewView::tileDoubleClicked);
        QTest::mouseDClick(view.tileWidget(1), Qt::LeftButton);
        QTest::mouseClick(view.tileWidget(0), Qt::RightButton);
        QCOMPARE(doubleClicked.size(), 1);
        QCOMPARE(doubleClicked.at(0).at(0).toInt(), 1);
        QVERIFY(clicked.isEmpty());
    }

    // The arrows walk the grid row after row; Enter clicks where they led.
    void keyboardWalksTheGrid_data()
    {
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("step");
        QTest::addColumn<int>("rowStep");
        QTest::addColumn<int>("confirm");
        const int ret = Qt::Key_Return;
        QTest::newRow("right") << 0 << int(Qt::Key_Right) << 1 << 0 << ret;
        QTest::newRow("left") << 1 << int(Qt::Key_Left) << -1 << 0 << int(Qt::Key_Enter);
        QTest::newRow("left of the first stays") << 0 << int(Qt::Key_Left) << 0 << 0 << ret;
        QTest::newRow("right of the last stays") << 6 << int(Qt::Key_Right) << 0 << 0 << ret;
        QTest::newRow("down") << 0 << int(Qt::Key_Down) << 0 << 1 << ret;
        QTest::newRow("up") << 4 << int(Qt::Key_Up) << 0 << -1 << ret;
        QTest::newRow("down from the last row stays") << 6 << int(Qt::Key_Down) << 0 << 0 << ret;
    }

    void keyboardWalksTheGrid()
    {
        QFETCH(int, start);
        QFETCH(int, key);
        QFETCH(int, step);
        QFETCH(int, rowStep);
        QFETCH(int, confirm);
        Room room(7);
        QVERIFY(QTest::qWaitForWindowActive(&room.view));
        const int columns = columnsOf(room.view);
        QVERIFY2(columns >= 2 && columns <= 4, "the rows need a tile below another");
        const int target = start + step + rowStep * columns;

        room.view.tileWidget(start)->setFocus();
        QTest::keyClick(room.view.tileWidget(start), Qt::Key(key));
        QTRY_COMPARE(QApplication::focusWidget(), room.view.tileWidget(target));
        QSignalSpy clicked(&room.view, &OverviewView::tileClicked);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(confirm));
        QCOMPARE(clicked.size(), 1);
        QCOMPARE(clicked.at(0).at(0).toInt(), target);
    }

    // Without a mouse: Enter or the press action selects, Space or the
    // picture action opens, as a double click does.
    void actionsWithoutAMouse_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("opens");
        QTest::newRow("Enter") << QStringLiteral("Enter") << false;
        QTest::newRow("Space") << QStringLiteral("Space") << true;
        QTest::newRow("press action") << QAccessibleActionInterface::pressAction() << false;
        QTest::newRow("picture action") << QStringLiteral("Pokaż obraz") << true;
    }

    void actionsWithoutAMouse()
    {
        QFETCH(QString, how);
        QFETCH(bool, opens);
        Room room(3);
        QWidget *tile = room.view.tileWidget(2);
        QSignalSpy clicked(&room.view, &OverviewView::tileClicked);
        QSignalSpy doubleClicked(&room.view, &OverviewView::tileDoubleClicked);

        if (how == QLatin1String("Enter") || how == QLatin1String("Space")) {
            QTest::keyClick(tile, how == QLatin1String("Enter") ? Qt::Key_Return : Qt::Key_Space);
        } else {
            QAccessibleInterface *face = QAccessible::queryAccessibleInterface(tile);
            QCOMPARE(face->role(), QAccessible::Button);
            QVERIFY(face->actionInterface()->actionNames().contains(how));
            face->actionInterface()->doAction(how);
        }

        QCOMPARE((opens ? doubleClicked : clicked).size(), 1);
        QCOMPARE((opens ? doubleClicked : clicked).at(0).at(0).toInt(), 2);
        QVERIFY((opens ? clicked : doubleClicked).isEmpty());
    }

    void assistiveToolsReadTheState_data()
    {
        QTest::addColumn<QString>("hostName");
        QTest::addColumn<bool>("pictureFirst");
        QTest::addColumn<State>("state");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("description");
        const QString pc = QStringLiteral("pc07");
        QTest::newRow("waiting, no picture")
                << pc << false << State::Waiting << pc << "czekam na obraz";
        QTest::newRow("current") << pc << true << State::Current << pc << "obraz z 12:03:04";
        QTest::newRow("no answer")
                << pc << true << State::NoAnswer << pc << "brak odpowiedzi, obraz z 12:03:04";
        QTest::newRow("disconnected")
                << pc << true << State::Disconnected << pc << "rozłączony, obraz z 12:03:04";
        QTest::newRow("waiting again")
                << pc << true << State::Waiting << pc << "czekam na obraz, obraz z 12:03:04";
        QTest::newRow("no name: the address") << QString() << true << State::NoAnswer << "10.0.0.7"
                                              << "brak odpowiedzi, obraz z 12:03:04";
    }

    void assistiveToolsReadTheState()
    {
        QFETCH(QString, hostName);
        QFETCH(bool, pictureFirst);
        QFETCH(State, state);
        QFETCH(QString, name);
        QFETCH(QString, description);
        OverviewView view;
        view.insertTile(0, hostName, QStringLiteral("10.0.0.7"));
        if (pictureFirst)
            view.setTile(0, State::Current, screen({160, 90}),
                         QDateTime(QDate(2024, 3, 1), QTime(12, 3, 4)));
        // The picture stays; the state that follows changes what is read.
        view.setTile(0, state, QImage(), QDateTime());
        QCOMPARE(accessibleText(view.tileWidget(0), QAccessible::Name), name);
        QCOMPARE(accessibleText(view.tileWidget(0), QAccessible::Description), description);
    }

    void picturesKeepTheirProportions_data()
    {
        QTest::addColumn<QSize>("screenSize");
        QTest::addColumn<bool>("scaledByCaller");
        QTest::addColumn<bool>("zoomedIn");
        QTest::newRow("wide screen") << QSize(1920, 1080) << true << false;
        QTest::newRow("wide screen, zoomed in") << QSize(1920, 1080) << true << true;
        QTest::newRow("tall screen") << QSize(1080, 1920) << true << false;
        QTest::newRow("old 4:3 screen") << QSize(1024, 768) << true << false;
        QTest::newRow("thumbnail from a smaller zoom") << QSize(120, 90) << false << false;
    }

    void picturesKeepTheirProportions()
    {
        QFETCH(QSize, screenSize);
        QFETCH(bool, scaledByCaller);
        QFETCH(bool, zoomedIn);
        OverviewView view;
        view.insertTile(0, QStringLiteral("pc01"), QString());
        QSignalSpy resized(&view, &OverviewView::thumbnailSizeChanged);
        if (zoomedIn)
            view.findChild<QSlider *>(QStringLiteral("OverviewZoomSlider"))->setValue(400);
        QCOMPARE(resized.size(), int(zoomedIn));
        QImage picture = screen(screenSize);
        if (scaledByCaller)
            picture = picture.scaled(view.thumbnailSize(), Qt::KeepAspectRatio);
        view.setTile(0, State::Current, picture, QDateTime::currentDateTime());

        const QRect drawn = screenBounds(view.tileWidget(0));
        const double wanted = double(screenSize.width()) / screenSize.height();
        // As large as the tile allows, and no larger; the other side in
        // proportion to the pixel.
        const QSize room = view.thumbnailSize();
        const double error = drawn.height() == room.height()
                                     ? std::abs(drawn.width() - drawn.height() * wanted)
                                     : std::abs(drawn.height() - drawn.width() / wanted);
        QVERIFY2(error < 1.0,
                 qPrintable(QStringLiteral("drawn %1x%2").arg(drawn.width()).arg(drawn.height())));
        QVERIFY(drawn.width() == room.width() || drawn.height() == room.height());
        QVERIFY(drawn.width() <= room.width() && drawn.height() <= room.height());
        QVERIFY(std::abs(drawn.center().x() - view.tileWidget(0)->rect().center().x()) <= 1);
    }

    void disconnectedKeepsItsPictureGreyed()
    {
        OverviewView view;
        view.insertTile(0, QStringLiteral("pc01"), QStringLiteral("10.0.0.1"));
        view.setTile(0, State::Current, screen(view.thumbnailSize()), QDateTime::currentDateTime());
        const QPoint middle = screenBounds(view.tileWidget(0)).center();
        view.setTile(0, State::Disconnected, QImage(), QDateTime());
        const QRgb pixel = view.tileWidget(0)->grab().toImage().pixel(middle);
        // Grey, but a picture, not the empty tile's dark background.
        QVERIFY(qAbs(qRed(pixel) - qGreen(pixel)) <= 4 && qAbs(qGreen(pixel) - qBlue(pixel)) <= 4);
        QVERIFY2(qGray(pixel) > 60, qPrintable(QString::number(qGray(pixel))));
        view.setTile(0, State::Current, QImage(), QDateTime());
        QVERIFY(isScreenColour(view.tileWidget(0)->grab().toImage().pixel(middle)));
    }

    void newPictureRepaintsOnlyItsTile()
    {
        Room room(3);
        QVERIFY(QTest::qWaitForWindowExposed(&room.view));
        PaintCounter counter;
        for (int i = 0; i < 3; ++i)
            room.view.tileWidget(i)->installEventFilter(&counter);
        // What the first settling of the grid left to paint goes first.
        QCoreApplication::processEvents();
        room.view.repaint();
        counter.paints.clear();
        // Two pictures in one pass of the event loop: one paint.
        for (int i = 0; i < 2; ++i)
            room.view.setTile(1, State::Current, screen({160, 90}), QDateTime::currentDateTime());
        QTRY_VERIFY(counter.paints.value(room.view.tileWidget(1)) > 0);
        QCOMPARE(counter.paints.value(room.view.tileWidget(1)), 1);
        QCOMPARE(counter.paints.value(room.view.tileWidget(0)), 0);
        QCOMPARE(counter.paints.value(room.view.tileWidget(2)), 0);
    }

    // Fitted, the whole class stays in sight and grows with the room; with a
    // size the teacher picked, as many tiles a row as fit and the rest scroll.
    void gridFollowsTheWidth_data()
    {
        QTest::addColumn<bool>("fit");
        QTest::newRow("zoom set by the teacher") << false;
        QTest::newRow("fitted to the window") << true;
    }

    void gridFollowsTheWidth()
    {
        QFETCH(bool, fit);
        Room room(12, 500);
        room.view.findChild<QCheckBox *>()->setChecked(fit);
        const QScrollArea *scroll = room.view.findChild<QScrollArea *>();
        const QWidget *viewport = scroll->viewport();
        // As many tiles in a row as fit, and row after row in the list's order.
        const auto rowsAreFull = [&] {
            const int columns = columnsOf(room.view);
            const QRect last = room.view.tileWidget(columns - 1)->geometry();
            const int step = columns > 1 ? last.x() - room.view.tileWidget(columns - 2)->x() : 0;
            for (int i = columns; i < room.view.tileCount(); ++i)
                if (room.view.tileWidget(i)->x() != room.view.tileWidget(i % columns)->x())
                    return false;
            return last.right() < viewport->width()
                   && (columns == 1 || last.right() + step >= viewport->width());
        };
        // Fitted: no scroll bar, so every tile is in sight.
        const auto laidOut = [&] {
            return fit ? !scroll->verticalScrollBar()->isVisible()
                                   && !scroll->horizontalScrollBar()->isVisible()
                       : rowsAreFull();
        };
        int previous = 0;
        for (const int width : {500, 900, 1400}) {
            room.view.resize(width, 600);
            QTRY_VERIFY(columnsOf(room.view) > previous && laidOut());
            previous = columnsOf(room.view);
        }
        const int widest = room.view.thumbnailSize().width();
        room.view.resize(500, 600);
        QTRY_VERIFY(columnsOf(room.view) < previous && laidOut());
        QCOMPARE(room.view.thumbnailSize().width() < widest, fit);
    }

    void wholeClassAtTheDesignSize_data()
    {
        QTest::addColumn<int>("tiles");
        QTest::addColumn<bool>("pollShown");
        QTest::addColumn<bool>("zoomed");
        QTest::addColumn<bool>("scrolls");
        QTest::newRow("30 computers at once") << 30 << false << false << false;
        QTest::newRow("question beside them: smallest tiles, then scrolling")
                << 30 << true << false << true;
        QTest::newRow("60 computers: smallest tiles, then scrolling")
                << 60 << false << false << true;
        QTest::newRow("the teacher's zoom overrides") << 30 << false << true << true;
    }

    // At the main window's design size; what the teacher left, the next
    // window reads back from the settings.
    void wholeClassAtTheDesignSize()
    {
        QFETCH(int, tiles);
        QFETCH(bool, pollShown);
        QFETCH(bool, zoomed);
        QFETCH(bool, scrolls);
        ConsoleFixture console;
        QList<bool> atSmallest;
        for (const bool restarted : {false, true}) {
            if (restarted) {
                destroyWindows(console.windows);
                console.windows = createWindows();
            }
            TFMain &main = console.main();
            OverviewView *view = main.ClassOverviewView;
            for (int i = 0; i < tiles; ++i)
                view->insertTile(i, QStringLiteral("PRACOWNIA-PC-%1").arg(i), QString());
            main.resize(1444, 746);
            main.show();
            main.PageControl1->setCurrentWidget(main.TabSheet5);
            if (!restarted && pollShown)
                main.PollToggleButton->click();
            if (!restarted && zoomed)
                view->findChild<QSlider *>()->setValue(240);

            QCOMPARE(main.PollBox->isVisible(), pollShown);
            // The question opens within the window's width.
            QTRY_COMPARE(main.width(), 1444);
            QCOMPARE(view->findChild<QCheckBox *>()->isChecked(), !zoomed);
            const QScrollArea *scroll = view->findChild<QScrollArea *>();
            QTRY_COMPARE(scroll->verticalScrollBar()->isVisible(), scrolls);
            QVERIFY(!scroll->horizontalScrollBar()->isVisible());
            const int width = view->thumbnailSize().width();
            atSmallest << (width == view->smallestPictureWidth());
            QVERIFY(width >= view->smallestPictureWidth() && (width == 240 || !zoomed));
        }
        const QByteArray settings = console.data.readFile(QStringLiteral("settings.set"));
        QCOMPARE(settings.contains("<OVERVIEW POLL>TRUE"), pollShown);
        QCOMPARE(settings.contains("<OVERVIEW FIT>FALSE"), zoomed);
        // The smallest pictures only where the class does not fit otherwise.
        if (QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows && !scrolls
            && atSmallest.contains(true))
            QSKIP("the names are wider in this font (\"PRACOWNIA-PC-15\": 123 px under Wine), and "
                  "the smallest picture that shows a whole name is the one the class fits at");
        for (const bool smallest : atSmallest)
            QCOMPARE(smallest, scrolls && !zoomed);
    }

    void intervalIsClampedAndAnnounced()
    {
        OverviewView view;
        QSignalSpy changed(&view, &OverviewView::intervalChanged);
        view.setIntervalSeconds(99);
        QTest::keyClick(view.findChild<QSpinBox *>(QStringLiteral("OverviewIntervalSpinBox")),
                        Qt::Key_Down);
        view.setIntervalSeconds(0);
        QCOMPARE(view.intervalSeconds(), 1);
        QCOMPARE(changed.size(), 3);
        for (const int seconds : {60, 59, 1})
            QCOMPARE(changed.takeFirst().at(0).toInt(), seconds);
    }
};

QTEST_MAIN(OverviewViewTest)
#include "test_overviewview.moc"
