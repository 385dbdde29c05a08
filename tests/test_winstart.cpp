// Where the console stands on Windows before its window opens: its data
// folder in the user's local application data, and one console per teacher,
// kept so by a named semaphore. Built for Windows only (under Wine in CI);
// the lock file that does this elsewhere is tested in test_startup.
#include "platform/singleinstance.h"
#include "storage/datafolder.h"
#include "support/tempdata.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
#include <QTest>

#include <optional>

#include <windows.h>
// After windows.h, which they need.
#include <knownfolders.h>
#include <shlobj.h>

namespace {

const QString MarkerName = QStringLiteral("Mervix-Tablor(Admin)");

// The local application data as the system names it, asked without Qt.
QString localAppData()
{
    PWSTR path = nullptr;
    QString found;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &path)))
        found = QDir::fromNativeSeparators(QString::fromWCharArray(path));
    ::CoTaskMemFree(path);
    return found;
}

// The console beside the test (as the Windows run lays them out) or one
// folder up (as the build tree does).
QString consoleProgram()
{
    const QString dir = QCoreApplication::applicationDirPath();
    for (const QString &candidate : {dir + "/docentor.exe", dir + "/../docentor.exe"})
        if (QFileInfo(candidate).isFile())
            return candidate;
    return {};
}

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

} // namespace

class WinStartTest : public QObject
{
    Q_OBJECT
private slots:
    void dataFolderInTheLocalApplicationData_data()
    {
        QTest::addColumn<QByteArray>("dataHome"); // empty: not set
        QTest::newRow("no data home set") << QByteArray();
        QTest::newRow("a relative data home is not taken") << QByteArray("share");
    }

    // The teacher's files stay on this computer: a roaming profile would
    // carry the day logs and pictures to every computer the teacher logs on.
    void dataFolderInTheLocalApplicationData()
    {
        QFETCH(QByteArray, dataHome);
        const QString expected = localAppData() + "/Mervix-Tablor";
        QVERIFY(!localAppData().isEmpty());
        const bool there = QFileInfo::exists(expected);
        const QByteArray old = qgetenv("XDG_DATA_HOME");
        const bool had = qEnvironmentVariableIsSet("XDG_DATA_HOME");
        if (dataHome.isEmpty())
            qunsetenv("XDG_DATA_HOME");
        else
            qputenv("XDG_DATA_HOME", dataHome);

        const QString folder = GetDataFolder();
        const bool made = QFileInfo(expected).isDir();
        if (had)
            qputenv("XDG_DATA_HOME", old);
        else
            qunsetenv("XDG_DATA_HOME");
        if (!there)
            QDir(expected).removeRecursively();

        QCOMPARE(folder, expected);
        QVERIFY(made);
    }

    void secondConsoleRefused_data()
    {
        QTest::addColumn<QString>("second");
        QTest::addColumn<bool>("refused");
        QTest::newRow("a second marker while the first is held") << "held" << true;
        QTest::newRow("a marker after the first has gone") << "gone" << false;
        QTest::newRow("the real console started while one runs") << "program" << true;
    }

    // Start-up asks for the marker by this name; a second copy finds it held
    // and ends with its message, leaving the teacher's files alone.
    void secondConsoleRefused()
    {
        QFETCH(QString, second);
        QFETCH(bool, refused);
        TempDataHome data;
        std::optional<SingleInstance> first(std::in_place, MarkerName);
        QVERIFY(!first->alreadyExists());
        QCOMPARE(first->unsafe(), SingleInstance::Unsafe::No);
        if (second == "gone")
            first.reset();
        if (second != "program") {
            const SingleInstance next(MarkerName);
            QCOMPARE(next.alreadyExists(), refused);
            QCOMPARE(next.unsafe(), SingleInstance::Unsafe::No);
            return;
        }

        const QString program = consoleProgram();
        QVERIFY2(!program.isEmpty(), "docentor.exe is neither beside the test nor above it");
        const quint16 port = freePort();
        QVERIFY(port != 0);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", data.root() + "/data");
        env.insert("DOCENTOR_PORT", QString::number(port));
        env.insert("DOCENTOR_UPDATE_HOST", "http://127.0.0.1:1");
        env.insert("DOCENTOR_NONINTERACTIVE", "1");
        QProcess console;
        console.setProcessEnvironment(env);
        console.start(program, {"-platform", "offscreen"});
        QVERIFY(console.waitForStarted(30000));
        const bool ended = console.waitForFinished(60000);
        if (!ended) {
            console.kill();
            console.waitForFinished(30000);
        }
        QVERIFY2(ended, "the second console did not end by itself");
        QCOMPARE(console.exitStatus(), QProcess::NormalExit);
        QCOMPARE(console.exitCode(), 0);
        QVERIFY(QString::fromUtf8(console.readAllStandardError())
                        .contains("message [Docentor] Ten program jest już uruchomiony !"));
        QVERIFY(!QFileInfo::exists(data.dataFolder()));
    }
};

QTEST_GUILESS_MAIN(WinStartTest)
#include "test_winstart.moc"
