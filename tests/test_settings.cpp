// The data folder and the tagged settings file, on real files in a private
// data home.
#include "platform/cp1250.h"
#include "shell/datafolder.h"
#include "shell/eventlog.h"
#include "shell/settings.h"
#include "support/consolefixture.h"
#include "support/privileges.h"
#include "support/tempdata.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QTest>

#include <cerrno>
#include <optional>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray logEntryText(const QString &message)
{
    return "Info: " + cp1250::fromUnicode(message) + "\r\n----\r\n";
}

// The folder of the data home is moved below a folder that does not exist
// yet, so the data folder cannot be made until the test makes that folder.
struct UnreachableDataHome
{
    explicit UnreachableDataHome(const TempDataHome &data)
        : parent(data.root() + QStringLiteral("/later"))
    {
        qputenv("XDG_DATA_HOME", QFile::encodeName(parent));
    }
    bool makeReachable() const { return QDir().mkdir(parent); }
    QString dataFolder() const { return parent + QStringLiteral("/Mervix-Tablor"); }
    QString parent;
};

} // namespace

class SettingsTest : public QObject
{
    Q_OBJECT

    std::optional<TempDataHome> data;
    QStringList reported;

private slots:
    void init()
    {
        data.emplace();
        reported.clear();
        datafolder::setFailureReporter([this](const QString &message) { reported << message; });
    }

    void cleanup()
    {
        eventlog::setClock({});
        datafolder::setFailureReporter({});
        data.reset();
    }

    // --- Data folder ---------------------------------------------------------

    void dataFolderIsMadeUnderTheDataHome()
    {
        QVERIFY(!QFileInfo::exists(data->dataFolder()));
        const QString folder = GetDataFolder();
        QCOMPARE(folder, data->dataFolder());
        QVERIFY(QFileInfo(folder).isDir());
        // Asked again, the existing folder is simply returned.
        data->writeFile("keep.txt", "x");
        QCOMPARE(GetDataFolder(), folder);
        QCOMPARE(data->readFile("keep.txt"), QByteArray("x"));
        QVERIFY(reported.isEmpty());
    }

    void dataFolderThatCannotBeMade_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<int>("errorCode");
        QTest::newRow("parent missing (one level only)") << "parent missing" << ENOENT;
        QTest::newRow("a file in its place") << "file in place" << EEXIST;
        QTest::newRow("read-only parent") << "read-only parent" << EACCES;
    }

    void dataFolderThatCannotBeMade()
    {
        QFETCH(QString, obstacle);
        QFETCH(int, errorCode);

        std::optional<UnreachableDataHome> unreachable;
        const QString home = data->root() + "/data";
        if (obstacle == "parent missing")
            unreachable.emplace(*data);
        else if (obstacle == "file in place")
            QVERIFY(QFile(data->dataFolder()).open(QIODevice::WriteOnly));
        else
            QVERIFY(QFile::setPermissions(home, QFile::ReadOwner | QFile::ExeOwner));

        QString folder = QStringLiteral("unset");
        {
            FilePermissionsEnforced enforced;
            if (!enforced.active())
                QSKIP("file permissions cannot be made to bind this process");
            folder = GetDataFolder();
        }
        QFile::setPermissions(home, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        QCOMPARE(folder, QString());
        QCOMPARE(reported,
                 QStringList{
                         QStringLiteral("Błąd tworzenia katalagu.\nKod błędu: %1").arg(errorCode)});
        if (unreachable)
            QVERIFY(!QFileInfo::exists(unreachable->parent));
        else
            QVERIFY(!QFileInfo(data->dataFolder()).isDir());
    }

    void failureReachesStatusFieldAndLaterTheLog()
    {
        ConsoleFixture console;
        UnreachableDataHome unreachable(console.data);
        eventlog::setClock([] { return QDateTime({2026, 3, 7}, {9, 5, 3}); });

        QCOMPARE(ReadSetting(settings::FirstRunTag), QByteArray());
        const QString message
                = QStringLiteral("Błąd tworzenia katalagu.\nKod błędu: %1").arg(ENOENT);
        QCOMPARE(console.main().StatusEdit->text(), message);
        // The report waits in memory: there is no folder to write it to,
        // and it is not written anywhere else.
        QCOMPARE(eventlog::pendingEntries(), 1);
        QVERIFY(!QFileInfo::exists(unreachable.parent));

        QVERIFY(unreachable.makeReachable());
        WriteLog("SEND: OK");
        eventlog::setClock({});
        QCOMPARE(eventlog::pendingEntries(), 0);
        const QByteArray log
                = readAll(unreachable.dataFolder() + QStringLiteral("/log/ADMIN_2026-03-07.txt"));
        QCOMPARE(log, "2026-03-07 09:05:03\r\n" + logEntryText(message) + "2026-03-07 09:05:03\r\n"
                              + logEntryText("SEND: OK"));
    }

    void nothingIsWrittenAtTheRootWithoutADataFolder()
    {
        UnreachableDataHome unreachable(*data);
        const bool setBefore = QFileInfo::exists("/settings.set");
        const bool tmpBefore = QFileInfo::exists("/settings.tmp");
        QCOMPARE(ReadSetting(settings::FirstRunTag), QByteArray());
        QCOMPARE(WriteSetting(settings::FirstRunTag, "FALSE"), false);
        QCOMPARE(QFileInfo::exists("/settings.set"), setBefore);
        QCOMPARE(QFileInfo::exists("/settings.tmp"), tmpBefore);
        QVERIFY(!QFileInfo::exists(unreachable.parent));
        QVERIFY(!reported.isEmpty());
    }

    // --- Reading ---------------------------------------------------------------

    void readSetting_data()
    {
        QTest::addColumn<std::optional<QByteArray>>("file");
        QTest::addColumn<QByteArray>("tag");
        QTest::addColumn<QByteArray>("expected");

        const QByteArray firstRun = settings::FirstRunTag;
        QTest::newRow("no file") << std::optional<QByteArray>() << firstRun << QByteArray();
        QTest::newRow("empty file") << std::optional<QByteArray>("") << firstRun << QByteArray();
        QTest::newRow("CR LF") << std::optional<QByteArray>("<A>1\r\n<FIRST RUN>FALSE\r\n")
                               << firstRun << QByteArray("FALSE");
        QTest::newRow("bare LF") << std::optional<QByteArray>("<A>1\n<FIRST RUN>TRUE\n<B>2\n")
                                 << firstRun << QByteArray("TRUE");
        QTest::newRow("last line without line end")
                << std::optional<QByteArray>("<A>1\r\n<FIRST RUN>TRUE") << firstRun
                << QByteArray("TRUE");
        QTest::newRow("no line for the tag")
                << std::optional<QByteArray>("<A>1\r\n<B>2\r\n") << firstRun << QByteArray();
        QTest::newRow("two lines for one tag: the first counts")
                << std::optional<QByteArray>("<FIRST RUN>TRUE\r\n<FIRST RUN>FALSE\r\n") << firstRun
                << QByteArray("TRUE");
        QTest::newRow("a value holding >") << std::optional<QByteArray>("<FIRST RUN>a>b>c\r\n")
                                           << firstRun << QByteArray("a>b>c");
        QTest::newRow("the tag later in the line")
                << std::optional<QByteArray>("<A>x<FIRST RUN>y\r\n") << firstRun
                << QByteArray("x<FIRST RUN>y");
        QTest::newRow("empty value")
                << std::optional<QByteArray>("<FIRST RUN>\r\n<FIRST RUN>TRUE\r\n") << firstRun
                << QByteArray();
        const QByteArray polish = cp1250::fromUnicode(u"Pracownia nr 3 – łąka");
        QTest::newRow("Windows-1250 bytes") << std::optional<QByteArray>("<SALA>" + polish + "\r\n")
                                            << QByteArray("<SALA>") << polish;
    }

    void readSetting()
    {
        QFETCH(std::optional<QByteArray>, file);
        QFETCH(QByteArray, tag);
        QFETCH(QByteArray, expected);
        if (file)
            data->writeFile("settings.set", *file);
        QCOMPARE(ReadSetting(tag), expected);
    }

    // --- Writing ---------------------------------------------------------------

    void writeSetting_data()
    {
        QTest::addColumn<std::optional<QByteArray>>("before");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("after");

        QTest::newRow("first run: no file") << std::optional<QByteArray>() << QByteArray("FALSE")
                                            << QByteArray("<FIRST RUN>FALSE\r\n");
        QTest::newRow("empty file") << std::optional<QByteArray>("") << QByteArray("FALSE")
                                    << QByteArray("<FIRST RUN>FALSE\r\n");
        QTest::newRow("value replaced")
                << std::optional<QByteArray>("<FIRST RUN>TRUE\r\n") << QByteArray("FALSE")
                << QByteArray("<FIRST RUN>FALSE\r\n");
        QTest::newRow("unknown lines with LF ends kept in order")
                << std::optional<QByteArray>("<A>1\nfree text\n\n<FIRST RUN>TRUE\n<B>2\n")
                << QByteArray("FALSE")
                << QByteArray("<A>1\r\nfree text\r\n\r\n<FIRST RUN>FALSE\r\n<B>2\r\n");
        QTest::newRow("missing tag added as the last line")
                << std::optional<QByteArray>("<A>1\r\n<B>2") << QByteArray("TRUE")
                << QByteArray("<A>1\r\n<B>2\r\n<FIRST RUN>TRUE\r\n");
        QTest::newRow("two lines for one tag: both rewritten")
                << std::optional<QByteArray>("<FIRST RUN>TRUE\r\n<A>1\r\n<FIRST RUN>X\r\n")
                << QByteArray("FALSE")
                << QByteArray("<FIRST RUN>FALSE\r\n<A>1\r\n<FIRST RUN>FALSE\r\n");
        QTest::newRow("the tag later in the line")
                << std::optional<QByteArray>("old <FIRST RUN>TRUE\r\n") << QByteArray("FALSE")
                << QByteArray("<FIRST RUN>FALSE\r\n");
        const QByteArray polish = cp1250::fromUnicode(u"Zażółć gęślą jaźń");
        QTest::newRow("Windows-1250 bytes of other lines untouched")
                << std::optional<QByteArray>("<OPIS>" + polish + "\r\n") << QByteArray("FALSE")
                << QByteArray("<OPIS>" + polish + "\r\n<FIRST RUN>FALSE\r\n");
        QTest::newRow("a value holding >") << std::optional<QByteArray>() << QByteArray("a>b")
                                           << QByteArray("<FIRST RUN>a>b\r\n");
    }

    void writeSetting()
    {
        QFETCH(std::optional<QByteArray>, before);
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, after);
        if (before)
            data->writeFile("settings.set", *before);

        QVERIFY(WriteSetting(settings::FirstRunTag, value));
        QCOMPARE(data->readFile("settings.set"), after);
        // The scratch copy of the rewrite stays behind.
        QCOMPARE(data->readFile("settings.tmp"), after);
        QCOMPARE(ReadSetting(settings::FirstRunTag), value);
        QCOMPARE(QDir(data->dataFolder()).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{"settings.set", "settings.tmp"}));
    }

    void settingsThatCannotBeReplaced_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::newRow("a folder named settings.set") << "folder";
        QTest::newRow("read-only data folder") << "read-only folder";
    }

    void settingsThatCannotBeReplaced()
    {
        QFETCH(QString, obstacle);
        ConsoleFixture console;
        const TempDataHome &home = console.data;
        const QString folder = home.dataFolder();
        const QString readPath = folder + "/settings.set";
        const QString writePath = folder + "/settings.tmp";
        const QByteArray old = "<A>1\r\n<FIRST RUN>TRUE\r\n";
        const QByteArray fresh = "<A>1\r\n<FIRST RUN>FALSE\r\n";
        home.writeFile("log/.keep", {});
        if (obstacle == "folder") {
            QVERIFY(QDir().mkpath(readPath + "/inside"));
        } else {
            home.writeFile("settings.set", old);
            home.writeFile("settings.tmp", "stale\r\n");
            QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
        }
        QStringList entriesExpected
                = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        if (!entriesExpected.contains("settings.tmp"))
            entriesExpected.append("settings.tmp");
        entriesExpected.sort();

        bool written = true;
        {
            FilePermissionsEnforced enforced;
            if (!enforced.active())
                QSKIP("file permissions cannot be made to bind this process");
            written = WriteSetting(settings::FirstRunTag, "FALSE");
        }
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        QCOMPARE(written, false);
        if (obstacle == "folder") {
            QVERIFY(QFileInfo(readPath + "/inside").isDir());
            QCOMPARE(readAll(writePath), QByteArray("<FIRST RUN>FALSE\r\n"));
        } else {
            QCOMPARE(readAll(readPath), old);
            QCOMPARE(readAll(writePath), fresh);
        }
        // No half-written file is left beside them.
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 entriesExpected);

        // The failure goes to the log only, never to the window.
        const QByteArray log = home.readLog();
        const QByteArray prefix = cp1250::fromUnicode(
                QStringLiteral("Info: Błąd zamiany pliku ustawień, rPath: %1, wPath: %2, Error: ")
                        .arg(readPath, writePath));
        const qsizetype at = log.indexOf(prefix);
        QVERIFY2(at >= 0, log.constData());
        const QByteArray rest = log.mid(at + prefix.size());
        bool isNumber = false;
        const uint code = rest.left(rest.indexOf("\r\n")).toUInt(&isNumber);
        QVERIFY(isNumber);
        QVERIFY(code != 0);
        QCOMPARE(log.count("----\r\n"), 1);
        QCOMPARE(console.main().StatusEdit->text(), QString());
        QVERIFY(console.dialogs.shown.isEmpty());
    }
};

QTEST_MAIN(SettingsTest)
#include "test_settings.moc"
