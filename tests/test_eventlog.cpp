// The day log as a technician finds it on disk: one file a day in the data
// folder's "log" folder, one block an entry, CR LF line ends, the caller's
// bytes as they came.
#include "link/packet.h"
#include "platform/cp1250.h"
#include "storage/datafolder.h"
#include "storage/eventlog.h"
#include "support/links.h"
#include "support/tempdata.h"
#include "support/wine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <cstring>
#include <optional>

#ifndef Q_OS_WIN
#include "support/privileges.h"
#endif

namespace {

QDateTime At(QDate date, QTime time)
{
    return QDateTime(date, time);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray lines(std::initializer_list<QByteArray> list)
{
    QByteArray out;
    for (const QByteArray &line : list)
        out += line + "\r\n";
    return out;
}

QByteArray entry(const QByteArray &stamp, const QByteArray &text)
{
    return lines({stamp, "Info: " + text, "----"});
}

} // namespace

class EventLogTest : public QObject
{
    Q_OBJECT

    std::optional<TempDataHome> data;

    // A clock standing still at the given moment.
    static void standAt(const QDateTime &moment)
    {
        eventlog::setClock([moment] { return moment; });
    }
    QString dayFile(const QString &name) const { return data->dataFolder() + "/log/" + name; }

private slots:
    void init()
    {
        data.emplace();
        QCOMPARE(eventlog::pendingEntries(), 0);
    }

    void cleanup()
    {
        eventlog::setClock({});
        data.reset();
    }

    void entryBlock_data()
    {
        QTest::addColumn<QDateTime>("moment");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("five past nine on the 5th")
                << At({2026, 3, 5}, {9, 5, 3}) << QByteArray("serwer uruchomiony")
                << "ADMIN_2026-03-05.txt" << entry("2026-03-05 09:05:03", "serwer uruchomiony");
        QTest::newRow("a second before midnight on the 25th")
                << At({2026, 11, 25}, {23, 59, 59}) << QByteArray("SEND: OK")
                << "ADMIN_2026-11-25.txt" << entry("2026-11-25 23:59:59", "SEND: OK");
        QTest::newRow("empty text keeps the blank after Info:")
                << At({2026, 1, 9}, {0, 0, 0}) << QByteArray() << "ADMIN_2026-01-09.txt"
                << QByteArray("2026-01-09 00:00:00\r\nInfo: \r\n----\r\n");
        const QByteArray polish = cp1250::fromUnicode(u"Błąd tworzenia katalagu.\nKod błędu: 2");
        QTest::newRow("own line breaks and Windows-1250 bytes as they are")
                << At({2026, 12, 31}, {12, 0, 1}) << polish << "ADMIN_2026-12-31.txt"
                << entry("2026-12-31 12:00:01", polish);
    }

    void entryBlock()
    {
        QFETCH(QDateTime, moment);
        QFETCH(QByteArray, text);
        QFETCH(QString, fileName);
        QFETCH(QByteArray, expected);

        standAt(moment);
        WriteLog(text);
        QCOMPARE(readAll(dayFile(fileName)), expected);
        QCOMPARE(QDir(data->dataFolder() + "/log").entryList(QDir::Files), QStringList{fileName});
    }

    void packetDump_data()
    {
        QTest::addColumn<QByteArray>("bufor");
        QTest::addColumn<QByteArray>("procName");
        QTest::addColumn<QByteArray>("windowTitle");
        // The three fields as the dump shows them, when not as they are.
        QTest::addColumn<QByteArrayList>("shown");

        QTest::newRow("short texts") << QByteArray("zrobione") << QByteArray("notepad.exe")
                                     << cp1250::fromUnicode(u"Notatnik – żółw") << QByteArrayList();
        QTest::newRow("empty texts")
                << QByteArray() << QByteArray() << QByteArray() << QByteArrayList();
        // Fields without a terminating zero end where the field ends, not in
        // the next field of the record.
        QTest::newRow("every text field full to its last byte")
                << QByteArray(1024, 'A') << QByteArray(255, 'B') << QByteArray(255, 'C')
                << QByteArrayList();
        // An agent's line breaks would make an entry of their own, and a
        // terminal's escape sequences could hide or recolour the text.
        const QByteArray polish = cp1250::fromUnicode(u"żółw");
        QTest::newRow("an agent's control bytes shown, not obeyed")
                << QByteArray("ok\r\n----\r\n2026-03-07 14:30:01\r\nInfo: SEND: OK")
                << QByteArray("\x1B[8mukryty\x7F") << QByteArray("\t" + polish + "\x01\x1F\n")
                << QByteArrayList{"ok\\x0D\\x0A----\\x0D\\x0A2026-03-07 14:30:01\\x0D\\x0A"
                                  "Info: SEND: OK",
                                  "\\x1B[8mukryty\\x7F", "\t" + polish + "\\x01\\x1F\\x0A"};
        // Typed text that reads like an escaped byte must not pass for one;
        // other backslashes, as in a path, stay as they are.
        QTest::newRow("typed escapes told from real ones")
                << QByteArray("\\x0D\\x0a\r") << QByteArray("C:\\Windows\\xyz\\x1")
                << QByteArray("\\X0D \\\\x7F")
                << QByteArrayList{"\\x5Cx0D\\x5Cx0a\\x0D", "C:\\Windows\\xyz\\x1",
                                  "\\X0D \\\\x5Cx7F"};
    }

    void packetDump()
    {
        QFETCH(QByteArray, bufor);
        QFETCH(QByteArray, procName);
        QFETCH(QByteArray, windowTitle);
        QFETCH(QByteArrayList, shown);
        if (shown.isEmpty())
            shown = {bufor, procName, windowTitle};

        PacketRecord p;
        p.iPacketNo = -7;
        p.Pass = 48213;
        p.iCommand = 2;
        p.iFlag = 1;
        p.StreamSize = 2147483647;
        std::memcpy(p.Bufor, bufor.constData(), size_t(bufor.size()));
        std::memcpy(p.ProcName, procName.constData(), size_t(procName.size()));
        std::memcpy(p.WindowTitle, windowTitle.constData(), size_t(windowTitle.size()));
        p.ProcID = 4294967295u;

        standAt(At({2026, 3, 7}, {14, 30, 0}));
        WriteLog("RCV: otrzymano dane", true, &p);

        const QByteArray expected
                = lines({"2026-03-07 14:30:00", "Info: RCV: otrzymano dane", "Packet NO: -7",
                         "Pass: 48213", "Command: 2", "Flag: 1", "StreamSize: 2147483647",
                         "Bufor: " + shown[0], "ProcName: " + shown[1], "WindowTitle: " + shown[2],
                         "ProcID: 4294967295", "----"});
        const QByteArray written = readAll(dayFile("ADMIN_2026-03-07.txt"));
        QCOMPARE(written, expected);
        QCOMPARE(written.count("\r\n"), 12);
        QCOMPARE(written.count("\n"), 12);
    }

    void withoutDumpThePacketIsNotWritten()
    {
        PacketRecord p;
        p.iCommand = 5;
        std::strcpy(p.Bufor, "nie do logu");
        standAt(At({2026, 3, 7}, {8, 0, 0}));
        WriteLog("SEND: OK", false, &p);
        QCOMPARE(readAll(dayFile("ADMIN_2026-03-07.txt")),
                 entry("2026-03-07 08:00:00", "SEND: OK"));
    }

    void entriesAppendInOrder()
    {
        // Whatever another program put into the day file stays in front.
        const QString path = data->logPath(QDate(2026, 4, 1));
        data->writeFile("log/ADMIN_2026-04-01.txt", "earlier\r\n");
        standAt(At({2026, 4, 1}, {10, 0, 0}));
        WriteLog("first");
        standAt(At({2026, 4, 1}, {10, 0, 1}));
        WriteLog("second");
        QCOMPARE(readAll(path), "earlier\r\n" + entry("2026-04-01 10:00:00", "first")
                                        + entry("2026-04-01 10:00:01", "second"));
    }

    void midnightStartsANewFile()
    {
        standAt(At({2026, 3, 31}, {23, 59, 59}));
        WriteLog("before");
        standAt(At({2026, 4, 1}, {0, 0, 0}));
        WriteLog("after");
        QCOMPARE(readAll(dayFile("ADMIN_2026-03-31.txt")), entry("2026-03-31 23:59:59", "before"));
        QCOMPARE(readAll(dayFile("ADMIN_2026-04-01.txt")), entry("2026-04-01 00:00:00", "after"));
    }

    void oneClockReadingPerEntry()
    {
        // A clock that moves on with every look at it: an entry that looked
        // twice would carry a timestamp of one day in the file of the other.
        QDateTime moment = At({2026, 3, 31}, {23, 59, 59});
        eventlog::setClock([&moment] {
            const QDateTime now = moment;
            moment = moment.addSecs(1);
            return now;
        });
        WriteLog("at midnight");
        WriteLog("after midnight");
        const QByteArray before = readAll(dayFile("ADMIN_2026-03-31.txt"));
        const QByteArray after = readAll(dayFile("ADMIN_2026-04-01.txt"));
        QVERIFY(before.startsWith("2026-03-31 23:59:59\r\nInfo: at midnight\r\n"));
        QCOMPARE(before.count("----"), 1);
        QVERIFY(after.startsWith("2026-04-01 "));
        QCOMPARE(after.count("----"), 1);
        QVERIFY(!before.contains("2026-04-01"));
    }

    void missingFoldersAreCreated_data()
    {
        QTest::addColumn<bool>("withDataFolder");
        // What goes from under the log between an entry and the next.
        QTest::addColumn<QString>("meanwhile");
        QTest::newRow("no log folder yet") << true << "";
        QTest::newRow("not even the data folder") << false << "";
        QTest::newRow("the day file deleted") << true << "day file deleted";
        QTest::newRow("the day file deleted after the log looked at it")
                << true << "day file deleted, looked";
        QTest::newRow("the day file moved aside") << true << "day file moved";
        QTest::newRow("the day file moved aside, an empty one in its place")
                << true << "day file replaced";
        QTest::newRow("the log folder deleted") << true << "log folder deleted";
        QTest::newRow("the data folder moved away") << true << "data folder moved";
        QTest::newRow("the data folder deleted, the console ends at once")
                << true << "data folder deleted, exit";
    }

    // An entry written into a file that has gone meanwhile is lost to no one:
    // it stands in the file by its name once the log has settled (a moment
    // after the entry, or as the program ends), 0600 as ever. The entries
    // since the log last saw its file in place come again with it.
    void missingFoldersAreCreated()
    {
        QFETCH(bool, withDataFolder);
        QFETCH(QString, meanwhile);
#ifdef Q_OS_WIN
        if (meanwhile.contains("folder moved"))
            QSKIP("Windows refuses to move a folder that holds an open file");
#endif
        if (meanwhile.startsWith("day file deleted") && underWine())
            QSKIP("under Wine a file deleted while open keeps its name and opens as before, and "
                  "is not reported as going");
        if (withDataFolder)
            QVERIFY(QDir().mkdir(data->dataFolder()));
        QVERIFY(!QFileInfo::exists(data->dataFolder() + "/log"));
        const QString path = dayFile("ADMIN_2026-03-07.txt");
        QByteArray expected;
        standAt(At({2026, 3, 7}, {8, 59, 59}));
        if (!meanwhile.isEmpty()) {
            WriteLog("przed");
            expected = entry("2026-03-07 08:59:59", "przed");
            QCOMPARE(readAll(path), expected);
            // Once the log has seen its entry in place, only the entries
            // since come again.
            if (meanwhile.endsWith("looked")) {
                QTRY_VERIFY(!eventlog::unsettled());
                expected.clear();
            }
            if (meanwhile.startsWith("day file deleted"))
                QVERIFY(QFile::remove(path));
            else if (meanwhile == "day file moved")
                QVERIFY(QFile::rename(path, path + ".old"));
            else if (meanwhile == "day file replaced")
                QVERIFY(QFile::rename(path, path + ".old") && writeFile(path, {})
                        && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
            else if (meanwhile == "data folder moved")
                QVERIFY(QDir().rename(data->dataFolder(), data->root() + "/moved"));
            else if (!QDir(data->dataFolder() + (meanwhile.startsWith("log") ? "/log" : ""))
                              .removeRecursively()) {
#ifdef Q_OS_WIN
                // Windows before its POSIX deletes, and Wine, keep the name
                // of a file deleted while open until it is closed.
                QSKIP("a folder holding the open day file cannot be deleted here");
#endif
                QFAIL("the folder was not deleted");
            }
        }
        standAt(At({2026, 3, 7}, {9, 0, 0}));
        WriteLog("pierwszy wpis");
        expected += entry("2026-03-07 09:00:00", "pierwszy wpis");
        if (meanwhile.endsWith("exit")) {
            eventlog::settle(); // what the program's end runs
            QCOMPARE(readAll(path), expected);
        }
        QTRY_COMPARE(readAll(path), expected);
#ifndef Q_OS_WIN
        QCOMPARE(QFile::permissions(path),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
#endif
        // And so on every time, not only the first.
        if (meanwhile.endsWith("looked")) {
            QTRY_VERIFY(!eventlog::unsettled());
            QVERIFY(QFile::remove(path));
            WriteLog("drugi wpis");
            QTRY_COMPARE(readAll(path), entry("2026-03-07 09:00:00", "drugi wpis"));
        }
    }

    void unwritableDayFileLosesTheEntryQuietly_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::newRow("read-only day file") << "read-only file";
        QTest::newRow("read-only log folder") << "read-only folder";
        QTest::newRow("a file where the log folder belongs") << "file as folder";
        QTest::newRow("a link planted as the day file") << "link";
        QTest::newRow("a link planted as the log folder") << "folder link";
        QTest::newRow("the day file a hard link to the settings") << "hard link";
    }

    void unwritableDayFileLosesTheEntryQuietly()
    {
        QFETCH(QString, obstacle);
#ifdef Q_OS_WIN
        if (obstacle == "read-only folder")
            QSKIP("Windows lets anyone write in a folder marked read-only");
#endif
        const QString logFolder = data->dataFolder() + "/log";
        const QString path = dayFile("ADMIN_2026-03-07.txt");
        QVERIFY(QDir().mkpath(data->dataFolder()));
        const QString target = data->root() + "/elsewhere.txt";
        const QString settings = data->dataFolder() + "/settings.set";
        if (obstacle == "file as folder") {
            data->writeFile("log", "not a folder");
        } else if (obstacle == "folder link") {
            QVERIFY(QDir().mkdir(data->root() + "/elsewhere"));
            if (const QString why = links::plant(data->root() + "/elsewhere", logFolder);
                !why.isEmpty())
                QSKIP(qPrintable(why));
        } else if (obstacle == "hard link") {
            QVERIFY(QDir().mkdir(logFolder));
            data->writeFile("settings.set", "<FIRST RUN>FALSE\r\n");
            QVERIFY(links::hardLink(settings, path));
        } else if (obstacle == "link") {
            QVERIFY(QDir().mkdir(logFolder));
            QVERIFY(writeFile(target, {}));
            if (const QString why = links::plant(target, path); !why.isEmpty())
                QSKIP(qPrintable(why));
        } else {
            QVERIFY(QDir().mkdir(logFolder));
            if (obstacle == "read-only file") {
                data->writeFile("log/ADMIN_2026-03-07.txt", "kept\r\n");
                QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup));
                if (underWine() && QFile(path).open(QIODevice::Append))
                    QSKIP("Wine run as root writes a file marked read-only");
            } else {
                QVERIFY(QFile::setPermissions(logFolder, QFile::ReadOwner | QFile::ExeOwner));
            }
        }

        {
#ifndef Q_OS_WIN
            FilePermissionsEnforced enforced;
            if (!enforced.active())
                QSKIP("file permissions cannot be made to bind this process");
#endif
            standAt(At({2026, 3, 7}, {9, 0, 0}));
            WriteLog("zgubiony");
            PacketRecord p;
            WriteLog("zgubiony z pakietem", true, &p);
        }
        QFile::setPermissions(logFolder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        QCOMPARE(eventlog::pendingEntries(), 0);
        if (obstacle == "read-only file") {
            QCOMPARE(readAll(path), QByteArray("kept\r\n"));
        } else if (obstacle == "folder link") {
            QVERIFY(links::isLink(logFolder));
            QCOMPARE(QDir(data->root() + "/elsewhere").entryList(QDir::Files), QStringList());
        } else if (obstacle == "hard link") {
            QCOMPARE(readAll(settings), QByteArray("<FIRST RUN>FALSE\r\n"));
        } else if (obstacle == "link") {
            QVERIFY(links::isLink(path));
            QCOMPARE(readAll(target), QByteArray());
        } else {
            QVERIFY(!QFileInfo::exists(path));
        }
        if (obstacle == "file as folder")
            QCOMPARE(data->readFile("log"), QByteArray("not a folder"));
    }

    void entriesWaitWhileTheDataFolderCannotBeHad()
    {
        // The data home lies below a file, so the folder cannot be made.
        const QString blocker = data->root() + "/later";
        QVERIFY(writeFile(blocker, "no folder"));
        const QString home = blocker + "/share";
        qputenv("XDG_DATA_HOME", QFile::encodeName(home));
        const QString rootLog = QStringLiteral("/log/ADMIN_2026-03-30.txt");
        const bool rootLogBefore = QFileInfo::exists(rootLog);

        standAt(At({2026, 3, 30}, {23, 0, 0}));
        WriteLog("pierwszy");
        standAt(At({2026, 3, 31}, {7, 0, 0}));
        WriteLog("drugi");
        QCOMPARE(eventlog::pendingEntries(), 2);
        // Nothing goes to the root of the file system instead.
        QCOMPARE(QFileInfo::exists(rootLog), rootLogBefore);
        QVERIFY(QFileInfo(blocker).isFile());

        // Once the folder can be made, the waiting entries go into the files
        // of their own days, ahead of the entry that found the folder.
        QVERIFY(QFile::remove(blocker));
        standAt(At({2026, 3, 31}, {7, 0, 5}));
        WriteLog("trzeci");
        QCOMPARE(eventlog::pendingEntries(), 0);
        const QString folder = home + "/Mervix-Tablor/log/";
        QCOMPARE(readAll(folder + "ADMIN_2026-03-30.txt"),
                 entry("2026-03-30 23:00:00", "pierwszy"));
        QCOMPARE(readAll(folder + "ADMIN_2026-03-31.txt"),
                 entry("2026-03-31 07:00:00", "drugi") + entry("2026-03-31 07:00:05", "trzeci"));
    }

    void waitingEntriesAreBounded()
    {
        const QString blocker = data->root() + "/later";
        QVERIFY(writeFile(blocker, "no folder"));
        const QString home = blocker + "/share";
        qputenv("XDG_DATA_HOME", QFile::encodeName(home));
        standAt(At({2026, 5, 5}, {5, 5, 5}));
        const int extra = 3;
        for (int i = 0; i < eventlog::MaxPendingEntries + extra; ++i)
            WriteLog("wpis " + QByteArray::number(i));
        QCOMPARE(eventlog::pendingEntries(), eventlog::MaxPendingEntries);

        QVERIFY(QFile::remove(blocker));
        WriteLog("koniec");
        QCOMPARE(eventlog::pendingEntries(), 0);
        const QByteArray written = readAll(home + "/Mervix-Tablor/log/ADMIN_2026-05-05.txt");
        QCOMPARE(written.count("----\r\n"), eventlog::MaxPendingEntries + 1);
        // The oldest went first.
        QVERIFY(!written.contains("Info: wpis " + QByteArray::number(extra - 1) + "\r\n"));
        QVERIFY(written.startsWith(
                entry("2026-05-05 05:05:05", "wpis " + QByteArray::number(extra))));
        QVERIFY(written.endsWith(entry("2026-05-05 05:05:05", "koniec")));
    }
};

QTEST_GUILESS_MAIN(EventLogTest)
#include "test_eventlog.moc"
