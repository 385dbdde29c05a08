// The console's life: the start-up steps, the first-run mark, the refusal of
// a second copy and of a taken port (with the real program), the question
// before closing, errors raised by event handlers, and the command line that
// answers without starting.
#include "platform/cp1250.h"
#include "platform/singleinstance.h"
#include "shell/tfprogress.h"
#include "storage/eventlog.h"
#include "storage/settings.h"
#include "support/consolefixture.h"
#include "update/tfupdate.h"
#include "update/version.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTreeWidget>

#include <cerrno>
#include <functional>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString consoleBinary()
{
    const QString dir = qEnvironmentVariable("DOCENTOR_BINARY_DIR");
    return (dir.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/..") : dir)
           + QStringLiteral("/docentor");
}

// A port no one listens on at the moment.
quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 0))
        qFatal("no free port");
    return probe.serverPort();
}

int countOf(const QByteArray &haystack, const QByteArray &needle)
{
    return int(haystack.count(needle));
}

const QByteArray ServerStarted
        = cp1250::fromUnicode(u"serwer uruchomiony, oczekiwanie na połączenia");

// The real program, started unattended: each message box it would show is
// written to its stderr and answered.
class ConsoleProcess
{
public:
    ConsoleProcess(const TempDataHome &data, quint16 port)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_DATA_HOME"), data.root() + QStringLiteral("/data"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), data.root() + QStringLiteral("/run"));
        env.insert(QStringLiteral("DOCENTOR_PORT"), QString::number(port));
        env.insert(QStringLiteral("DOCENTOR_UPDATE_HOST"), QStringLiteral("http://127.0.0.1:1"));
        env.insert(QStringLiteral("DOCENTOR_NONINTERACTIVE"), QStringLiteral("1"));
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        m_process.setProcessEnvironment(env);
        m_process.setProgram(consoleBinary());
    }

    ~ConsoleProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(30000);
        }
    }

    bool start()
    {
        m_process.start();
        return m_process.waitForStarted(30000);
    }
    bool waitForEnd() { return m_process.waitForFinished(120000); }
    bool running() const { return m_process.state() == QProcess::Running; }
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(30000);
    }
    int exitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }
    QString boxes()
    {
        m_stderr += m_process.readAllStandardError();
        QStringList lines;
        for (const QString &line : QString::fromUtf8(m_stderr).split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1String("message "))
                || line.startsWith(QLatin1String("question "))
                || line.startsWith(QLatin1String("input ")))
                lines << line;
        }
        return lines.join(QLatin1Char('\n'));
    }

private:
    QProcess m_process;
    QByteArray m_stderr;
};

} // namespace

Q_DECLARE_METATYPE(std::function<void()>)
Q_DECLARE_METATYPE(SingleInstance::Unsafe)

class StartupTest : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { eventlog::setClock({}); }

    void windowsAreMadeHidden()
    {
        ConsoleFixture console;
        QVERIFY(!console.windows.main->isVisible());
        QVERIFY(console.main().waitWindow());
        QVERIFY(!console.main().waitWindow()->isVisible());
        QVERIFY(!console.windows.update->isVisible());
        QCOMPARE(console.main().updateWindow(), console.windows.update);
        QCOMPARE(console.main().closeWithoutAsking, false);
        QCOMPARE(console.main().classroom().CurrentPacket.iPacketNo, 0);
        QCOMPARE(console.main().classroom().LastPacketNo, 0);
        QCOMPARE(console.main().classroom().StreamInProgress.load(), false);
        // Nothing is on disk before start-up runs.
        QVERIFY(!QFileInfo::exists(console.data.dataFolder()));
    }

    void startUpSteps()
    {
        ConsoleFixture console;
        // The version check asks a server of this test.
        QTcpServer web;
        QVERIFY(web.listen(QHostAddress::LocalHost, 0));
        qputenv("DOCENTOR_UPDATE_HOST", "http://127.0.0.1:" + QByteArray::number(web.serverPort()));
        TFMain &main = console.main();
        for (QComboBox *list :
             {main.MessageTypeComboBox, main.PowerOffPCOption, main.GroupPowerOffPCOption})
            list->setCurrentIndex(2);

        console.start();

        QVERIFY(!main.StatusBar->currentMessage().isEmpty());
        QVERIFY(console.port() != 0);
        for (QComboBox *list :
             {main.MessageTypeComboBox, main.PowerOffPCOption, main.GroupPowerOffPCOption})
            QCOMPARE(list->currentIndex(), 0);
        QCOMPARE(console.data.readFile("settings.set"), QByteArray("<FIRST RUN>FALSE\r\n"));
        // Opening the server writes the run's first entry.
        const QByteArray log = console.data.readLog();
        const qsizetype firstEnd = log.indexOf("----\r\n");
        QVERIFY(firstEnd > 0);
        QVERIFY(log.left(firstEnd).endsWith("Info: " + ServerStarted + "\r\n"));

        // The version check runs beside the console without holding it up.
        QVERIFY(web.waitForNewConnection(30000));
        QTcpSocket *request = web.nextPendingConnection();
        QTRY_VERIFY_WITH_TIMEOUT(request->canReadLine(), 30000);
        QVERIFY(request->readLine().startsWith("GET /"));
        request->write("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
        request->flush();
        console.connectAgent();
    }

    void firstRunMark_data()
    {
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");

        QTest::newRow("no file") << false << QByteArray() << QByteArray("<FIRST RUN>FALSE\r\n");
        QTest::newRow("TRUE becomes FALSE")
                << true << QByteArray("<FIRST RUN>TRUE\r\n") << QByteArray("<FIRST RUN>FALSE\r\n");
        QTest::newRow("no line gains one") << true << QByteArray("<SALA>12\n")
                                           << QByteArray("<SALA>12\r\n<FIRST RUN>FALSE\r\n");
        QTest::newRow("lower-case false is no FALSE")
                << true << QByteArray("<FIRST RUN>false\n") << QByteArray("<FIRST RUN>FALSE\r\n");
        QTest::newRow("empty value")
                << true << QByteArray("<FIRST RUN>\r\n") << QByteArray("<FIRST RUN>FALSE\r\n");
        // LF line ends would become CR LF if the file were rewritten.
        QTest::newRow("FALSE is left alone") << true << QByteArray("<A>1\n<FIRST RUN>FALSE\n")
                                             << QByteArray("<A>1\n<FIRST RUN>FALSE\n");
    }

    void firstRunMark()
    {
        QFETCH(bool, exists);
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);

        ConsoleFixture console;
        const QString path = console.data.dataFolder() + QStringLiteral("/settings.set");
        const QDateTime past = QDateTime::currentDateTime().addDays(-3);
        if (exists) {
            console.data.writeFile("settings.set", before);
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(past, QFileDevice::FileModificationTime));
        }

        console.start();

        QCOMPARE(console.data.readFile("settings.set"), after);
        const bool rewritten = !exists || before != after;
        QCOMPARE(QFileInfo::exists(console.data.dataFolder() + QStringLiteral("/settings.tmp")),
                 rewritten);
        if (!rewritten)
            QCOMPARE(QFileInfo(path).lastModified(), past);
    }

    void settingsThatCannotBeWrittenDoNotStopStartUp()
    {
        ConsoleFixture console;
        QVERIFY(QDir().mkpath(console.data.dataFolder() + QStringLiteral("/settings.set")));
        console.start();
        QVERIFY(console.data.readLog().contains(
                cp1250::fromUnicode(u"Info: Błąd zamiany pliku ustawień, rPath: ")));
        console.connectAgent();
    }

    void takenPortEndsStartUp()
    {
        ConsoleFixture console;
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        Classroom::listenPortOverride = holder.serverPort();
        TFMain &main = console.main();
        main.MessageTypeComboBox->setCurrentIndex(1);

        QString error;
        try {
            startConsole(main);
        } catch (const SocketError &e) {
            error = QString::fromLocal8Bit(e.what());
        }
        QVERIFY2(error.startsWith(QStringLiteral("Socket error: ")), qPrintable(error));
        QVERIFY2(error.endsWith(QStringLiteral(" (%1), on API 'bind'").arg(EADDRINUSE)),
                 qPrintable(error));
        // The later steps did not run, and nothing was logged.
        QCOMPARE(main.MessageTypeComboBox->currentIndex(), 1);
        QVERIFY(!QFileInfo::exists(console.data.dataFolder() + QStringLiteral("/settings.set")));
        QVERIFY(!QFileInfo::exists(console.data.dataFolder() + QStringLiteral("/log")));
    }

    void closeQuestion_data()
    {
        QTest::addColumn<bool>("withoutAsking");
        QTest::addColumn<bool>("answer");
        QTest::addColumn<bool>("closes");
        QTest::addColumn<bool>("overviewShown");
        QTest::newRow("No keeps everything") << false << false << false << false;
        QTest::newRow("Yes closes") << false << true << true << false;
        QTest::newRow("after an installer started: no question") << true << false << true << false;
        QTest::newRow("Yes closes the class overview too") << false << true << true << true;
    }

    void closeQuestion()
    {
        QFETCH(bool, withoutAsking);
        QFETCH(bool, answer);
        QFETCH(bool, closes);
        QFETCH(bool, overviewShown);

        ConsoleFixture console;
        console.start();
        TestAgent &agent = console.connectAgent();
        TFMain &main = console.main();
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        if (overviewShown)
            main.PageControl1->setCurrentWidget(main.TabSheet5);
        main.StatusEdit->setText(QStringLiteral("bez zmian"));
        main.closeWithoutAsking = withoutAsking;
        console.dialogs.questionAnswers = {answer};
        QSignalSpy closed(&main, &TFMain::closed);
        const QByteArray logBefore = console.data.readLog();
        const QByteArray settingsBefore = console.data.readFile("settings.set");

        QCOMPARE(main.close(), closes);

        if (withoutAsking) {
            QVERIFY(console.dialogs.shown.isEmpty());
        } else {
            QCOMPARE(console.dialogs.shown.size(), 1);
            const FakeDialogs::Shown &box = console.dialogs.shown.first();
            QCOMPARE(box.kind, FakeDialogs::Kind::Question);
            QCOMPARE(box.caption, QStringLiteral("Zamykanie"));
            QCOMPARE(box.text, QStringLiteral("Czy na pewno chcesz zamknąć program ?"));
        }
        QCOMPARE(closed.count(), closes ? 1 : 0);
        QCOMPARE(main.isVisible(), !closes);

        if (!closes) {
            // Every view as it was, and the connection still carries commands.
            QCOMPARE(main.StatusEdit->text(), QStringLiteral("bez zmian"));
            QCOMPARE(main.RemoteComputersListView->model()->rowCount(), 1);
            console.select(agent);
            main.PowerOffMonitorButtonClick();
            PacketRecord p;
            QVERIFY(agent.waitForPacket(p));
            QCOMPARE(p.iCommand, 4);
            return;
        }
        // Closing the main window ends the program: the connections and the
        // wait window go with it, and nothing is written on the way out.
        const QPointer<TFProgress> wait = main.waitWindow();
        destroyWindows(console.windows);
        QVERIFY(wait.isNull());
        QTRY_COMPARE_WITH_TIMEOUT(agent.socket().state(), QAbstractSocket::UnconnectedState, 10000);
        QCOMPARE(console.data.readLog(), logBefore);
        QCOMPARE(console.data.readFile("settings.set"), settingsBefore);
    }

    void handlerErrorShowsTheStandardBox()
    {
        ConsoleFixture console;
        console.start();
        TFMain &main = console.main();
        auto *row = new QTreeWidgetItem(QStringList{
                QStringLiteral("notepad.exe"), QStringLiteral("Notatnik"), QStringLiteral("abc")});
        main.ProcessListView->addTopLevelItem(row);
        main.ProcessListView->setCurrentItem(row);

        main.CloseProgramButton->click();
        QCOMPARE(console.dialogs.shown.size(), 1);
        const FakeDialogs::Shown &box = console.dialogs.shown.first();
        QCOMPARE(box.kind, FakeDialogs::Kind::Message);
        QCOMPARE(box.icon, Dialogs::Icon::Critical);
        QCOMPARE(box.caption, QApplication::applicationName());
        QCOMPARE(box.text, QStringLiteral("'abc' is not a valid integer value"));

        // The console goes on: the next click is handled, and so are the
        // server's notifications.
        row->setText(2, QStringLiteral("1234"));
        main.CloseProgramButton->click();
        QCOMPARE(main.StatusEdit->text(), QStringLiteral("nie znaleziono połączenia na liście"));
        QCOMPARE(console.dialogs.shown.size(), 1);
        console.connectAgent();
    }

    void startUpErrorOfAnyTypeIsShown_data()
    {
        QTest::addColumn<std::function<void()>>("step");
        QTest::addColumn<QStringList>("boxes");
        QTest::newRow("no error") << std::function<void()>([] {}) << QStringList();
        QTest::newRow("a standard exception")
                << std::function<void()>([] { throw std::bad_alloc(); })
                << QStringList{std::bad_alloc().what()};
        // What is no exception class at all shows an empty box.
        QTest::newRow("a number") << std::function<void()>([] { throw 42; })
                                  << QStringList{QString()};
    }

    void startUpErrorOfAnyTypeIsShown()
    {
        QFETCH(std::function<void()>, step);
        QFETCH(QStringList, boxes);
        FakeDialogs dialogs;
        QCOMPARE(runStartupStep(step), boxes.isEmpty());
        QCOMPARE(dialogs.texts(), boxes);
    }

    void missingCodePageRefusesTheRun_data()
    {
        QTest::addColumn<QByteArray>("codec");
        QTest::newRow("Windows-1250 converts") << QByteArray(cp1250::DefaultCodecName);
        // What a Qt built without ICU answers for every name it lacks.
        QTest::newRow("a Qt without the code page") << QByteArray("x-no-such-codec");
        // A codec that converts, but not as Windows-1250 does.
        QTest::newRow("another code page under its name") << QByteArray("ISO-8859-1");
    }

    void missingCodePageRefusesTheRun()
    {
        QFETCH(QByteArray, codec);
        const bool refused = codec != cp1250::DefaultCodecName;
        FakeDialogs dialogs;
        cp1250::setCodecName(codec.constData());
        const bool answer = refusedWithoutCodec();
        const bool converts = cp1250::fromUnicode(u"łąka") == "\xB3\xB9ka";
        cp1250::setCodecName(nullptr);

        QCOMPARE(answer, refused);
        QCOMPARE(converts, !refused);
        QCOMPARE(dialogs.texts(),
                 refused ? QStringList{QStringLiteral(
                         "Nie można uruchomić programu: brak obsługi kodowania znaków "
                         "Windows-1250.\nBez niej teksty od uczniów, dziennik i "
                         "ustawienia straciłyby polskie litery. Potrzebna jest biblioteka "
                         "Qt z obsługą ICU.")}
                         : QStringList());
    }

    void unsafeMarkerRefusesTheRun_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<SingleInstance::Unsafe>("unsafe");
        QTest::newRow("private folder") << "none" << SingleInstance::Unsafe::No;
        QTest::newRow("folder owned by someone else")
                << "foreign" << SingleInstance::Unsafe::Folder;
        QTest::newRow("folder open to others") << "mode 0777" << SingleInstance::Unsafe::Folder;
        QTest::newRow("a link planted as the lock file")
                << "link" << SingleInstance::Unsafe::LockFile;
    }

    void unsafeMarkerRefusesTheRun()
    {
        QFETCH(QString, obstacle);
        QFETCH(SingleInstance::Unsafe, unsafe);
        TempDataHome data;
        const QString name = QStringLiteral("Mervix-Tablor(Admin)");
        const QByteArray folder = QFile::encodeName(data.root() + QStringLiteral("/run"));
        const QString planted = data.root() + QStringLiteral("/planted");
        if (obstacle == "foreign" && ::chown(folder.constData(), 65534, 65534) != 0)
            QSKIP("this process cannot hand a folder to another user");
        if (obstacle == "mode 0777")
            QVERIFY(::chmod(folder.constData(), 0777) == 0);
        if (obstacle == "link")
            QVERIFY(QFile::link(planted, QFile::decodeName(folder) + '/' + name + ".lock"));

        FakeDialogs dialogs;
        const SingleInstance marker(name);
        QCOMPARE(refusedUnsafeMarker(marker), unsafe != SingleInstance::Unsafe::No);
        QCOMPARE(marker.unsafe(), unsafe);
        QCOMPARE(dialogs.shown.size(), unsafe == SingleInstance::Unsafe::No ? 0 : 1);
        // Nothing is made through the link, and the marker holds only when
        // it is safe: a second copy then sees it.
        QVERIFY(!QFileInfo::exists(planted));
        QCOMPARE(SingleInstance(name).alreadyExists(), unsafe == SingleInstance::Unsafe::No);
        if (unsafe == SingleInstance::Unsafe::LockFile)
            QCOMPARE(dialogs.texts().value(0),
                     QStringLiteral("Nie można uruchomić programu: plik „%1” nie jest zwykłym "
                                    "plikiem bieżącego użytkownika.")
                             .arg(marker.lockPath()));
    }

    // --- The real program ------------------------------------------------------

    void secondCopyIsRefused()
    {
        QVERIFY2(QFileInfo(consoleBinary()).isExecutable(), qPrintable(consoleBinary()));
        TempDataHome data;
        const quint16 port = freePort();
        ConsoleProcess first(data, port);
        QVERIFY(first.start());
        QTRY_COMPARE_WITH_TIMEOUT(data.readFile("settings.set"), QByteArray("<FIRST RUN>FALSE\r\n"),
                                  60000);

        TestAgent agent;
        QVERIFY(agent.connectTo(port));
        // The connection's entry is in the log before we look.
        QTRY_COMPARE_WITH_TIMEOUT(countOf(data.readLog(), "----\r\n"), 2, 30000);
        const QByteArray logBefore = data.readLog();
        const QByteArray settingsBefore = data.readFile("settings.set");
        const QDateTime settingsTime
                = QFileInfo(data.dataFolder() + QStringLiteral("/settings.set")).lastModified();

        ConsoleProcess second(data, port);
        QVERIFY(second.start());
        QVERIFY(second.waitForEnd());
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(second.boxes(),
                 QStringLiteral("message [Docentor] Ten program jest już uruchomiony !"));

        QCOMPARE(data.readLog(), logBefore);
        QCOMPARE(data.readFile("settings.set"), settingsBefore);
        QCOMPARE(QFileInfo(data.dataFolder() + QStringLiteral("/settings.set")).lastModified(),
                 settingsTime);

        // The first copy runs on with its connection.
        QVERIFY(first.running());
        QVERIFY(agent.isConnected());
        agent.sendPacket(1, 1, 0, 0, "zrobione");
        QTRY_VERIFY_WITH_TIMEOUT(countOf(data.readLog(), "----\r\n") > 2, 30000);
        QVERIFY(data.readLog().contains("zrobione"));
        QVERIFY(first.boxes().isEmpty());
    }

    void refusalEndsTheProgram_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("box");
        QTest::newRow("taken port") << "port" << 1
                                    << "message [Docentor] Socket error: Address already in use "
                                       "(98), on API 'bind'";
        QTest::newRow("marker folder open to others")
                << "open folder" << 1
                << "message [Docentor] Nie można uruchomić programu: katalog „%1” musi należeć do "
                   "bieżącego użytkownika i nie może być dostępny dla innych użytkowników.";
    }

    void refusalEndsTheProgram()
    {
        QFETCH(QString, obstacle);
        QFETCH(int, exitCode);
        QFETCH(QString, box);
        QVERIFY2(QFileInfo(consoleBinary()).isExecutable(), qPrintable(consoleBinary()));
        TempDataHome data;
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        const QString runFolder = data.root() + QStringLiteral("/run");
        if (obstacle == "open folder")
            QVERIFY(::chmod(QFile::encodeName(runFolder).constData(), 0777) == 0);

        // The marker is judged before the port is opened.
        ConsoleProcess console(data, holder.serverPort());
        QVERIFY(console.start());
        QVERIFY(console.waitForEnd());
        QCOMPARE(console.exitStatus(), QProcess::NormalExit);
        QCOMPARE(console.exitCode(), exitCode);
        QCOMPARE(console.boxes(), obstacle == "port" ? box : box.arg(runFolder));
        QVERIFY(!QFileInfo::exists(data.dataFolder() + QStringLiteral("/log")));
        QVERIFY(!QFileInfo::exists(data.dataFolder() + QStringLiteral("/settings.set")));
        if (obstacle == "open folder")
            QVERIFY(QDir(runFolder).isEmpty());
    }

    void markerGoesWithAKilledCopy()
    {
        QVERIFY2(QFileInfo(consoleBinary()).isExecutable(), qPrintable(consoleBinary()));
        TempDataHome data;
        const quint16 port = freePort();
        {
            ConsoleProcess first(data, port);
            QVERIFY(first.start());
            QTRY_COMPARE_WITH_TIMEOUT(countOf(data.readLog(), ServerStarted), 1, 60000);
            first.kill();
        }

        ConsoleProcess next(data, port);
        QVERIFY(next.start());
        QTRY_COMPARE_WITH_TIMEOUT(countOf(data.readLog(), ServerStarted), 2, 60000);
        QVERIFY(next.running());
        TestAgent agent;
        QVERIFY(agent.connectTo(port));
        QVERIFY(next.boxes().isEmpty());
    }
    void commandLineAnswersWithoutAWindow_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("whole"); // the whole output, when it is known
        QTest::addColumn<QStringList>("parts");
        const QString version = update::ProgramVersion.text();
        const QString versionLine = QStringLiteral("docentor %1\n").arg(version);
        const QStringList help{
                QStringLiteral("Docentor ") + version, QStringLiteral("DOCENTOR_PORT=<port>"),
                QStringLiteral("DOCENTOR_UPDATE_HOST=<adres>"),
                QStringLiteral("DOCENTOR_NONINTERACTIVE=1"), QStringLiteral("DOCENTOR_ANSWER=yes")};
        const auto refused = [&help](const QString &argument) {
            return QStringList{QStringLiteral("docentor: nieznana opcja „%1”\n\nUżycie: docentor")
                                       .arg(argument)}
                   + help;
        };
        QTest::newRow("--version")
                << QStringList{QStringLiteral("--version")} << 0 << versionLine << QStringList();
        QTest::newRow("-v") << QStringList{QStringLiteral("-v")} << 0 << versionLine
                            << QStringList();
        QTest::newRow("--help") << QStringList{QStringLiteral("--help")} << 0 << QString() << help;
        QTest::newRow("-h after a Qt option")
                << QStringList{QStringLiteral("-platform"), QStringLiteral("xcb"),
                               QStringLiteral("-h")}
                << 0 << QString() << help;
        QTest::newRow("Qt's options in their other forms")
                << QStringList{QStringLiteral("--platform"), QStringLiteral("xcb"),
                               QStringLiteral("-style=Fusion"), QStringLiteral("-reverse"),
                               QStringLiteral("-v")}
                << 0 << versionLine << QStringList();
        QTest::newRow("first of the two wins")
                << QStringList{QStringLiteral("--version"), QStringLiteral("--help")} << 0
                << versionLine << QStringList();
        QTest::newRow("unknown option with a value")
                << QStringList{QStringLiteral("--port"), QStringLiteral("7000")} << 2 << QString()
                << refused(QStringLiteral("--port"));
        QTest::newRow("unknown option after Qt's")
                << QStringList{QStringLiteral("-platform"), QStringLiteral("xcb"),
                               QStringLiteral("-p")}
                << 2 << QString() << refused(QStringLiteral("-p"));
        QTest::newRow("refused before the help")
                << QStringList{QStringLiteral("--help"), QStringLiteral("--verbose")} << 2
                << QString() << refused(QStringLiteral("--verbose"));
        QTest::newRow("a bare word") << QStringList{QStringLiteral("7000")} << 2 << QString()
                                     << refused(QStringLiteral("7000"));
    }

    void commandLineAnswersWithoutAWindow()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, whole);
        QFETCH(QStringList, parts);
        QVERIFY2(QFileInfo(consoleBinary()).isExecutable(), qPrintable(consoleBinary()));
        TempDataHome data;
        // No display at all: a program that made a window here would abort.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("XDG_DATA_HOME"), data.root() + QStringLiteral("/data"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), data.root() + QStringLiteral("/run"));
        QProcess program;
        program.setProcessEnvironment(env);
        program.start(consoleBinary(), arguments);
        QVERIFY(program.waitForFinished(60000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), exitCode);
        // An answer goes to standard output, a refusal to standard error.
        const QString output = QString::fromUtf8(exitCode == 0 ? program.readAllStandardOutput()
                                                               : program.readAllStandardError());
        const QByteArray other
                = exitCode == 0 ? program.readAllStandardError() : program.readAllStandardOutput();
        if (exitCode != 0)
            QVERIFY2(other.isEmpty(), other.constData());
        if (!whole.isEmpty())
            QCOMPARE(output, whole);
        for (const QString &part : parts)
            QVERIFY2(output.contains(part), qPrintable(part + QStringLiteral(" in:\n") + output));
        QVERIFY(!QFileInfo::exists(data.dataFolder()));
    }
};

QTEST_MAIN(StartupTest)
#include "test_startup.moc"
