// The room plan's file, on real files without a window: it reads back exactly
// what was written, a damaged or oversized file is refused and kept aside,
// never written over; computers not placed take the first free cells.
#include "storage/roomplan.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray manyPlaces(int count)
{
    QByteArray text = "ROOMPLAN 1\nGRID 50 50\n";
    for (int i = 0; i < count; ++i)
        text += "PLACE " + QByteArray::number(i % 50) + ' ' + QByteArray::number(i / 50) + " pc"
                + QByteArray::number(i) + '\n';
    return text;
}

} // namespace

class RoomPlanTest : public QObject
{
    Q_OBJECT
private slots:
    void fileIsReadOrRefused_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("sound");
        QTest::addColumn<int>("places");
        QTest::newRow("empty room") << QByteArray("ROOMPLAN 1\nGRID 6 5\n") << true << 0;
        QTest::newRow("names with spaces and Polish letters, CR LF")
                << QByteArray("ROOMPLAN 1\r\nGRID 6 5\r\nPLACE 0 0 Pracownia \xb3\xb9ka\r\n"
                              "PLACE 5 4 10.0.0.7\r\n")
                << true << 2;
        QTest::newRow("a class of 1000") << manyPlaces(1000) << true << 1000;
        QTest::newRow("1001 computers") << manyPlaces(1001) << false << 0;
        QTest::newRow("not a plan") << QByteArray("<FIRST RUN>TRUE\n") << false << 0;
        QTest::newRow("empty file") << QByteArray() << false << 0;
        QTest::newRow("cut short") << QByteArray("ROOMPLAN 1\nGRID 6") << false << 0;
        QTest::newRow("grid too large") << QByteArray("ROOMPLAN 1\nGRID 51 5\n") << false << 0;
        QTest::newRow("grid of nothing") << QByteArray("ROOMPLAN 1\nGRID 0 5\n") << false << 0;
        QTest::newRow("outside the grid")
                << QByteArray("ROOMPLAN 1\nGRID 6 5\nPLACE 6 0 pc\n") << false << 0;
        QTest::newRow("negative cell")
                << QByteArray("ROOMPLAN 1\nGRID 6 5\nPLACE -1 0 pc\n") << false << 0;
        QTest::newRow("one cell twice")
                << QByteArray("ROOMPLAN 1\nGRID 6 5\nPLACE 1 1 a\nPLACE 1 1 b\n") << false << 0;
        QTest::newRow("one computer twice")
                << QByteArray("ROOMPLAN 1\nGRID 6 5\nPLACE 1 1 a\nPLACE 2 1 a\n") << false << 0;
        QTest::newRow("name too long")
                << QByteArray("ROOMPLAN 1\nGRID 6 5\nPLACE 1 1 ") + QByteArray(65, 'x') + "\n"
                << false << 0;
        QTest::newRow("no name") << QByteArray("ROOMPLAN 1\nGRID 6 5\nPLACE 1 1 \n") << false << 0;
        QTest::newRow("binary junk") << QByteArray("\x00\xff\x01ROOMPLAN", 11) << false << 0;
        QTest::newRow("larger than any room")
                << manyPlaces(900) + QByteArray(roomplan::MaxFileBytes, '#') << false << 0;
    }

    // Through the folder, as the console reads it at start: a refused file
    // is kept aside byte for byte, a sound one stays where it is.
    void fileIsReadOrRefused()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, sound);
        QFETCH(int, places);
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(roomplan::FileName));
        writeAll(path, text);

        const roomplan::Loaded loaded = roomplan::load(dir.path());
        QCOMPARE(loaded.error.isEmpty(), sound);
        QCOMPARE(loaded.plan.places.size(), places);
        QVERIFY(loaded.writable);
        if (sound) {
            QCOMPARE(readAll(path), text);
            return;
        }
        QVERIFY(loaded.error.startsWith(QStringLiteral("Plan sali jest uszkodzony")));
        QVERIFY(loaded.error.contains(loaded.keptAs));
        QVERIFY(!QFile::exists(path));
        QCOMPARE(readAll(dir.filePath(loaded.keptAs)), text);
        // A second damaged file in the same second takes a name of its own.
        writeAll(path, text + "2");
        const roomplan::Loaded again = roomplan::load(dir.path());
        QVERIFY(again.keptAs != loaded.keptAs);
        QCOMPARE(readAll(dir.filePath(loaded.keptAs)), text);
        QCOMPARE(readAll(dir.filePath(again.keptAs)), text + "2");
        // Saving afterwards writes a new plan and leaves both alone.
        QVERIFY(roomplan::save(dir.path(), again.plan));
        QCOMPARE(readAll(dir.filePath(loaded.keptAs)), text);
    }

    void planReadsBackExactly()
    {
        QTemporaryDir dir;
        roomplan::Plan plan;
        plan.resize(8, 4);
        QVERIFY(plan.place(QStringLiteral("PRACOWNIA-PC-01"), {7, 3}));
        QVERIFY(plan.place(QStringLiteral("Łódź 2"), {0, 0}));
        QVERIFY(plan.place(QStringLiteral("127.0.0.5"), {3, 1}));
        QVERIFY(!plan.place(QStringLiteral("far"), {8, 0}));
        QVERIFY(roomplan::save(dir.path(), plan));
        const roomplan::Loaded loaded = roomplan::load(dir.path());
        QVERIFY2(loaded.error.isEmpty(), qPrintable(loaded.error));
        QCOMPARE(loaded.plan, plan);
        QVERIFY(readAll(dir.filePath(QLatin1String(roomplan::FileName)))
                        .contains("PLACE 0 0 \xa3\xf3\x64\x9f 2\n"));
        // No file: the default room, nothing placed, nothing refused.
        QTemporaryDir empty;
        const roomplan::Loaded none = roomplan::load(empty.path());
        QVERIFY(none.error.isEmpty() && none.writable);
        QCOMPARE(none.plan, roomplan::Plan());
    }

    // A drop on a taken cell swaps; the unplaced fill the first free cells,
    // rows added below when the room is full.
    void computersFindTheirCells()
    {
        roomplan::Plan plan;
        plan.resize(3, 2);
        QVERIFY(plan.place(QStringLiteral("a"), {1, 0}));
        QVERIFY(plan.place(QStringLiteral("gone"), {0, 0}));
        const QStringList keys{"x", "a", "y", "z", "v", "w"};
        QCOMPARE(roomplan::arrange(plan, keys),
                 (QList<QPoint>{{2, 0}, {1, 0}, {0, 1}, {1, 1}, {2, 1}, {0, 2}}));
        QVERIFY(plan.place(QStringLiteral("b"), {2, 1}));
        QVERIFY(plan.place(QStringLiteral("a"), {2, 1}));
        QCOMPARE(plan.places.value(QStringLiteral("a")), QPoint(2, 1));
        QCOMPARE(plan.places.value(QStringLiteral("b")), QPoint(1, 0));
        plan.resize(0, 999);
        QCOMPARE(QSize(plan.columns, plan.rows), QSize(1, roomplan::MaxSide));
    }
};

QTEST_GUILESS_MAIN(RoomPlanTest)
#include "test_roomplan.moc"
