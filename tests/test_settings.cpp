// The data folder and the tagged settings file, on real files in a private
// data home.
#include "platform/cp1250.h"
#include "storage/datafolder.h"
#include "storage/eventlog.h"
#include "storage/settings.h"
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

#include <sys/stat.h>
#include <unistd.h>

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

// The data home is moved below a file, so neither it nor the data folder can
// be made until the test puts a folder in the file's place.
struct UnreachableDataHome
{
    explicit UnreachableDataHome(const TempDataHome &data)
        : blocker(data.root() + QStringLiteral("/later"))
    {
        QFile file(blocker);
        if (file.open(QIODevice::WriteOnly))
            file.write("no folder");
        qputenv("XDG_DATA_HOME", QFile::encodeName(blocker + QStringLiteral("/share")));
    }
    bool blocked() const { return QFileInfo(blocker).isFile(); }
    bool makeReachable() const { return QFile::remove(blocker) && QDir().mkdir(blocker); }
    QString dataFolder() const { return blocker + QStringLiteral("/share/Mervix-Tablor"); }
    QString blocker;
};

int modeOf(const QString &path)
{
    struct stat st = {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

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

    void dataFolderIsMadeUnderTheDataHome_data()
    {
        QTest::addColumn<QString>("home");
        QTest::newRow("the data home exists") << "data";
        // A new account has no ~/.local/share yet.
        QTest::newRow("fresh account: HOME without .local/share") << "home/.local/share";
        QTest::newRow("XDG_DATA_HOME and its parent missing") << "new/share";
        QTest::newRow("an older folder open to others is closed") << "older";
    }

    void dataFolderIsMadeUnderTheDataHome()
    {
        QFETCH(QString, home);
        const QString base = data->root() + '/' + home;
        const QString expected = base + "/Mervix-Tablor";
        const QByteArray oldHome = qgetenv("HOME");
        if (home.startsWith("home/")) {
            QVERIFY(QDir().mkdir(data->root() + "/home"));
            qunsetenv("XDG_DATA_HOME");
            qputenv("HOME", QFile::encodeName(data->root() + "/home"));
        } else {
            qputenv("XDG_DATA_HOME", QFile::encodeName(base));
        }
        if (home == "older")
            QVERIFY(QDir().mkpath(expected) && ::chmod(QFile::encodeName(expected), 0755) == 0);

        const QString folder = GetDataFolder();
        // Asked again, the existing folder is simply returned.
        QCOMPARE(GetDataFolder(), folder);
        QVERIFY(WriteSetting(settings::FirstRunTag, "FALSE"));
        WriteLog("pierwszy wpis");
        qputenv("HOME", oldHome);

        QCOMPARE(folder, expected);
        QVERIFY(reported.isEmpty());
        QCOMPARE(readAll(folder + "/settings.set"), QByteArray("<FIRST RUN>FALSE\r\n"));
        const QString log = folder + "/log/" + eventlog::fileNameFor(QDate::currentDate());
        QVERIFY(readAll(log).contains("Info: pierwszy wpis\r\n"));
        // What the console makes is the user's alone, and so are the folders
        // it had to make above its own.
        QStringList folders{folder, folder + "/log"};
        if (home.contains('/'))
            folders << base << QFileInfo(base).path();
        for (const QString &made : folders)
            QCOMPARE(modeOf(made), 0700);
        for (const QString &made : {folder + "/settings.set", folder + "/settings.tmp", log})
            QCOMPARE(modeOf(made), 0600);
    }

    void dataFolderThatCannotBeMade_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<int>("errorCode");
        QTest::newRow("data home cannot be made: a file in its path")
                << "parent blocked" << ENOTDIR;
        QTest::newRow("a file in its place") << "file in place" << EEXIST;
        QTest::newRow("read-only parent") << "read-only parent" << EACCES;
        // Someone else's folder may hold their links; it is not made ours.
        QTest::newRow("owned by someone else") << "foreign" << EPERM;
    }

    void dataFolderThatCannotBeMade()
    {
        QFETCH(QString, obstacle);
        QFETCH(int, errorCode);

        std::optional<UnreachableDataHome> unreachable;
        const QString home = data->root() + "/data";
        if (obstacle == "parent blocked") {
            unreachable.emplace(*data);
        } else if (obstacle == "file in place") {
            QVERIFY(QFile(data->dataFolder()).open(QIODevice::WriteOnly));
        } else if (obstacle == "foreign") {
            const QByteArray folder = QFile::encodeName(data->dataFolder());
            QVERIFY(QDir().mkdir(data->dataFolder()) && ::chmod(folder, 0755) == 0);
            if (::chown(folder, 65534, 65534) != 0)
                QSKIP("this process cannot hand a folder to another user");
        } else {
            QVERIFY(QFile::setPermissions(home, QFile::ReadOwner | QFile::ExeOwner));
        }

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
            QVERIFY(unreachable->blocked());
        else if (obstacle == "foreign")
            QCOMPARE(modeOf(data->dataFolder()), 0755);
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
                = QStringLiteral("Błąd tworzenia katalagu.\nKod błędu: %1").arg(ENOTDIR);
        QCOMPARE(console.main().StatusEdit->text(), message);
        // The report waits in memory: there is no folder to write it to,
        // and it is not written anywhere else.
        QCOMPARE(eventlog::pendingEntries(), 1);
        QVERIFY(unreachable.blocked());

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
        QVERIFY(unreachable.blocked());
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

    void plantedLinksAreReplacedNotFollowed_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("settings.tmp") << "settings.tmp";
        QTest::newRow("settings.set") << "settings.set";
    }

    void plantedLinksAreReplacedNotFollowed()
    {
        QFETCH(QString, name);
        const QString target = data->root() + "/data/someone-elses.txt";
        QVERIFY(QDir().mkpath(data->dataFolder()));
        data->writeFile("../someone-elses.txt", "<FIRST RUN>TRUE\r\nsecret\r\n");
        QVERIFY(QFile::link(target, data->dataFolder() + '/' + name));

        QVERIFY(WriteSetting(settings::FirstRunTag, "FALSE"));

        QCOMPARE(readAll(target), QByteArray("<FIRST RUN>TRUE\r\nsecret\r\n"));
        for (const char *written : {"settings.set", "settings.tmp"}) {
            const QString path = data->dataFolder() + '/' + written;
            QVERIFY(!QFileInfo(path).isSymLink());
            QCOMPARE(readAll(path), QByteArray("<FIRST RUN>FALSE\r\n"));
            QCOMPARE(modeOf(path), 0600);
        }
    }

    void settingsThatCannotBeReplaced_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<QString>("homeName");
        QTest::newRow("a folder named settings.set") << "folder"
                                                     << "data";
        QTest::newRow("read-only data folder") << "read-only folder"
                                               << "data";
        // The paths go into the message as they are, not as placeholders.
        QTest::newRow("a data home whose path holds %1") << "read-only folder"
                                                         << "dane %1 %2";
    }

    void settingsThatCannotBeReplaced()
    {
        QFETCH(QString, obstacle);
        QFETCH(QString, homeName);
        ConsoleFixture console;
        if (homeName != "data")
            console.data.moveDataHome(homeName);
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
