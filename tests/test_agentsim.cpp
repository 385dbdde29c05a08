// The student agent simulator, seen from the console's side of the wire: the
// real executable against a listening socket of this test on 127.0.0.1. How
// it connects, answers the console's commands and ends; its pictures and
// the faults it plays are in test_agentsim_faults.
#include "support/simulatorrun.h"

#include "link/processlist.h"
#include "platform/cp1250.h"
#include "platform/netbios.h"

#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>

using namespace simulated;

class AgentSimTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY2(QFile::exists(simulatorPath()), qPrintable(simulatorPath())); }

    void connectsEveryStudentAndEndsWithTheConsole()
    {
        SimulatorRun run;
        QVERIFY(run.start({}, 4));
        for (int n = 1; n <= 4; ++n) {
            Peer *peer = run.peer(QStringLiteral("UCZEN-0%1").arg(n));
            QVERIFY2(peer, qPrintable(QStringLiteral("no connection of UCZEN-0%1").arg(n)));
            for (int other = 1; other < n; ++other)
                QVERIFY(run.peer(QStringLiteral("UCZEN-0%1").arg(other)) != peer);
        }
        QCOMPARE(run.closeAllAndWait(), 0);
        QCOMPARE(run.linesMatching(QStringLiteral(" disconnected")).size(), 4);
        QCOMPARE(run.lines().constLast(), QStringLiteral("finished exit=0"));
    }

    // Each student answers the console's name query on its own address, with
    // its name, as a Windows computer does.
    void answersNameQueries()
    {
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress(QStringLiteral("127.0.0.72")), 0));
        const quint16 port = probe.localPort();
        probe.close();
        SimulatorRun run;
        QVERIFY(run.start({QStringLiteral("--source-base"), QStringLiteral("127.0.0.71"),
                           QStringLiteral("--netbios-port"), QString::number(port)},
                          2));
        QVERIFY(run.peer(QStringLiteral("UCZEN-02")));
        QCOMPARE(netbios::askWorkstationName("127.0.0.72", port, 1000, 2),
                 QStringLiteral("UCZEN-02"));
        QCOMPARE(run.closeAllAndWait(), 0);
    }

    void answersCommands_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("flag");
        QTest::addColumn<quint32>("processId");
        QTest::addColumn<QByteArray>("procName");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("answerCommand");
        QTest::addColumn<int>("answerFlag");
        QTest::addColumn<QString>("answerText");
        QTest::addColumn<QString>("what");

        const QStringList none;
        const QString noText;
        QTest::newRow("monitor off")
                << none << 4 << 0 << 0u << QByteArray() << noText << 1 << 0
                << QStringLiteral("Wyłączono monitor") << QStringLiteral("monitor off");
        QTest::newRow("keyboard off")
                << none << 4 << 2 << 0u << QByteArray() << noText << 1 << 0
                << QStringLiteral("Wyłączono klawiaturę") << QStringLiteral("keyboard off");
        QTest::newRow("mouse on") << none << 4 << 5 << 0u << QByteArray() << noText << 1 << 0
                                  << QStringLiteral("Włączono mysz") << QStringLiteral("mouse on");
        QTest::newRow("device operation nobody knows")
                << none << 4 << 9 << 0u << QByteArray() << noText << 1 << 0
                << QStringLiteral("Nieznana operacja: 9")
                << QStringLiteral("unknown device operation");
        QTest::newRow("restart") << none << 5 << 2 << 0u << QByteArray() << noText << 1 << 0
                                 << QStringLiteral("Ponowne uruchamianie komputera")
                                 << QStringLiteral("restart");
        QTest::newRow("lock start menu")
                << none << 7 << 0 << 0u << QByteArray() << noText << 1 << 0
                << QStringLiteral("Zablokowano menu Start") << QStringLiteral("lock start menu");
        QTest::newRow("unlock start menu")
                << none << 8 << 0 << 0u << QByteArray() << noText << 1 << 0
                << QStringLiteral("Odblokowano menu Start") << QStringLiteral("unlock start menu");
        QTest::newRow("run program")
                << none << 3 << 0 << 0u << QByteArray("calc") << noText << 1 << 0
                << QStringLiteral("Uruchomiono program calc") << QStringLiteral("run program");
        QTest::newRow("close a process nobody runs")
                << QStringList{QStringLiteral("--synthetic-processes")} << 1 << 0 << 99999u
                << QByteArray() << noText << 1 << 0
                << QStringLiteral("Nie znaleziono procesu 99999")
                << QStringLiteral("close process");
        QTest::newRow("plain message")
                << none << 6 << 0 << 0u << QByteArray() << QStringLiteral("Koniec lekcji") << 1 << 0
                << QStringLiteral("Komunikat potwierdzony") << QStringLiteral("message");
        QTest::newRow("question, yes")
                << none << 6 << 1 << 0u << QByteArray() << QStringLiteral("Gotowe?") << 6 << 1
                << QString() << QStringLiteral("question");
        QTest::newRow("question, no")
                << QStringList{QStringLiteral("--yes-no"), QStringLiteral("no")} << 6 << 1 << 0u
                << QByteArray() << QStringLiteral("Gotowe?") << 6 << 0 << QString()
                << QStringLiteral("question");
        QTest::newRow("typed answer")
                << QStringList{QStringLiteral("--typed-answer"), QStringLiteral("Już, %n!")} << 6
                << 2 << 0u << QByteArray() << QStringLiteral("Jak się czujesz?") << 6 << 2
                << QStringLiteral("Już, UCZEN-01!") << QStringLiteral("message with typed answer");
    }

    void answersCommands()
    {
        QFETCH(QStringList, args);
        QFETCH(int, command);
        QFETCH(int, flag);
        QFETCH(quint32, processId);
        QFETCH(QByteArray, procName);
        QFETCH(QString, message);
        QFETCH(int, answerCommand);
        QFETCH(int, answerFlag);
        QFETCH(QString, answerText);
        QFETCH(QString, what);

        SimulatorRun run;
        QVERIFY(run.start(args
                          + QStringList{QStringLiteral("--answer-delay"), QStringLiteral("0")}));
        Peer &peer = *run.peer(QStringLiteral("UCZEN-01"));
        SimulatorRun::send(peer, 7, command, flag, processId, procName,
                           cp1250::fromUnicode(message));

        PacketRecord answer;
        QVERIFY(SimulatorRun::takePacket(peer, answer));
        QCOMPARE(answer.Pass, packet::PassValue);
        QVERIFY(answer.iPacketNo != 0);
        QVERIFY(answer.iPacketNo != 7);
        QCOMPARE(answer.iCommand, answerCommand);
        QCOMPARE(answer.iFlag, answerFlag);
        if (answerFlag == packet::AnswerTyped || answerCommand == packet::CloseProcess)
            QCOMPARE(packet::fieldText(answer.Bufor), cp1250::fromUnicode(answerText));

        // The student's own account of what it was told.
        QString line;
        QVERIFY(run.waitForLine(
                QStringLiteral("UCZEN-01 received no=7 code=%1 flag=%2 ").arg(command).arg(flag),
                &line));
        QVERIFY2(line.contains(QStringLiteral(" what=\"%1\"").arg(what)), qPrintable(line));
        if (!message.isEmpty())
            QVERIFY2(line.endsWith(QStringLiteral("text=\"%1\"").arg(message)), qPrintable(line));
        QCOMPARE(run.closeAllAndWait(), 0);
    }

    void packetsTakeTurnsAndNumbersNeverRepeat()
    {
        SimulatorRun run;
        QVERIFY(run.start({QStringLiteral("--packet-gap"), QStringLiteral("0")}, 2));
        Peer *peers[]
                = {run.peer(QStringLiteral("UCZEN-01")), run.peer(QStringLiteral("UCZEN-02"))};
        // Like the console: each packet it sends carries the number after the
        // last one it received, so the agent's next number is easily taken.
        qint32 consoleNumber = 1;
        QList<qint32> numbers;
        for (int round = 0; round < 3; ++round) {
            for (Peer *peer : peers) {
                SimulatorRun::send(*peer, consoleNumber, 4, round % 2);
                PacketRecord answer;
                QVERIFY(SimulatorRun::takePacket(*peer, answer));
                QVERIFY(answer.iPacketNo != 0);
                QVERIFY2(answer.iPacketNo != consoleNumber, "the console would drop it as a copy");
                QVERIFY2(!numbers.contains(answer.iPacketNo), "a number came twice");
                numbers.append(answer.iPacketNo);
                consoleNumber = answer.iPacketNo + 1;
            }
        }
        // Two commands written in one piece are still two commands.
        peers[0]->socket->write(SimulatorRun::text(100, 7, 0) + SimulatorRun::text(101, 8, 0));
        PacketRecord first;
        PacketRecord second;
        QVERIFY(SimulatorRun::takePacket(*peers[0], first));
        QVERIFY(SimulatorRun::takePacket(*peers[0], second));
        QCOMPARE(packet::fieldText(first.Bufor), cp1250::fromUnicode(u"Zablokowano menu Start"));
        QCOMPARE(packet::fieldText(second.Bufor), cp1250::fromUnicode(u"Odblokowano menu Start"));
        QVERIFY(first.iPacketNo != second.iPacketNo);
        QCOMPARE(run.closeAllAndWait(), 0);
    }

    void syntheticProcessListFollowsTheTeachersCommands()
    {
        SimulatorRun run;
        QVERIFY(run.start({QStringLiteral("--synthetic-processes"),
                           QStringLiteral("--process-count"), QStringLiteral("20"),
                           QStringLiteral("--after-stream-gap"), QStringLiteral("0")}));
        Peer &peer = *run.peer(QStringLiteral("UCZEN-01"));

        SimulatorRun::send(peer, 1, 0, 0);
        QByteArray stream;
        QVERIFY(SimulatorRun::takeStream(peer, 0, 0, stream));
        QCOMPARE(stream.size(), processlist::HeaderSize + 20 * processlist::RecordSize);
        const QList<processlist::ProcessEntry> before = processlist::parse(stream);
        QCOMPARE(before.size(), 20);
        QVERIFY(std::any_of(before.begin(), before.end(), [](const processlist::ProcessEntry &e) {
            return e.name == "explorer.exe" && e.description == "Eksplorator";
        }));

        const quint32 victim = before[5].processId;
        SimulatorRun::send(peer, 2, 1, 0, victim);
        PacketRecord answer;
        QVERIFY(SimulatorRun::takePacket(peer, answer));
        QCOMPARE(packet::fieldText(answer.Bufor),
                 cp1250::fromUnicode(QStringLiteral("Zamknięto proces %1").arg(victim)));
        SimulatorRun::send(peer, 3, 3, 0, 0, "kalkulator");
        QVERIFY(SimulatorRun::takePacket(peer, answer));
        const quint32 started = answer.ProcID;

        SimulatorRun::send(peer, 4, 0, 0);
        QVERIFY(SimulatorRun::takeStream(peer, 0, 0, stream));
        const QList<processlist::ProcessEntry> after = processlist::parse(stream);
        QCOMPARE(after.size(), 20);
        for (const processlist::ProcessEntry &e : after)
            QVERIFY(e.processId != victim);
        QCOMPARE(after.constLast().name, QByteArray("kalkulator.exe"));
        QCOMPARE(after.constLast().processId, started);
        // The console reads the id back as a signed number when closing it.
        QVERIFY(started > 0 && started <= quint32(std::numeric_limits<qint32>::max()));
        QCOMPARE(run.closeAllAndWait(), 0);
    }

    void machineProcessListHoldsTheSimulatorItself()
    {
        SimulatorRun run;
        QVERIFY(run.start({}));
        Peer &peer = *run.peer(QStringLiteral("UCZEN-01"));
        SimulatorRun::send(peer, 1, 0, 0);
        QByteArray stream;
        QVERIFY(SimulatorRun::takeStream(peer, 0, 0, stream));
        const QList<processlist::ProcessEntry> entries = processlist::parse(stream);
        QCOMPARE(stream.size(), processlist::HeaderSize + entries.size() * processlist::RecordSize);
        const quint32 self = quint32(run.process().processId());
        const auto it = std::find_if(entries.begin(), entries.end(),
                                     [self](const auto &e) { return e.processId == self; });
        QVERIFY(it != entries.end());
        // The kernel keeps 15 characters of a process name.
        QCOMPARE(it->name, QByteArray("docentor-agents"));
        QCOMPARE(run.closeAllAndWait(), 0);
    }

    void distinctSourceAddresses()
    {
        SimulatorRun run;
        QVERIFY(run.start({QStringLiteral("--source-base"), QStringLiteral("127.0.0.2")}, 3));
        QStringList addresses;
        for (int i = 0; i < run.peerCount(); ++i)
            addresses.append(run.peerAt(i).socket->peerAddress().toString());
        addresses.sort();
        QCOMPARE(addresses, (QStringList{QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3"),
                                         QStringLiteral("127.0.0.4")}));
        QCOMPARE(run.closeAllAndWait(), 0);
    }

    void endsCleanlyOnSignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("name");
        QTest::newRow("SIGINT") << int(SIGINT) << QStringLiteral("SIGINT");
        QTest::newRow("SIGTERM") << int(SIGTERM) << QStringLiteral("SIGTERM");
    }

    void endsCleanlyOnSignal()
    {
        QFETCH(int, signal);
        QFETCH(QString, name);
        SimulatorRun run;
        QVERIFY(run.start({QStringLiteral("--reconnect")}, 3));
        ::kill(pid_t(run.process().processId()), signal);
        QCOMPARE(run.waitForExit(), 0);
        QVERIFY(run.lines().contains(QStringLiteral("stopping signal=") + name));
        for (int i = 0; i < run.peerCount(); ++i)
            QTRY_VERIFY_WITH_TIMEOUT(run.peerAt(i).closed, WaitMs);
    }

    void reconnectsAfterTheConsoleClosed()
    {
        SimulatorRun run;
        QTemporaryDir folder;
        const QString tally = folder.filePath(QStringLiteral("tally.txt"));
        QVERIFY(run.start({QStringLiteral("--reconnect"), QStringLiteral("--reconnect-delay"),
                           QStringLiteral("0"), QStringLiteral("--tally"), tally,
                           QStringLiteral("--first-number"), QStringLiteral("700")}));
        run.peerAt(0).socket->close();
        QTRY_COMPARE_WITH_TIMEOUT(run.peerCount(), 2, WaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(run.linesMatching(QStringLiteral("UCZEN-01 connected ")).size(),
                                  2, WaitMs);
        // The new connection answers as the first did.
        SimulatorRun::send(run.peerAt(1), 5, 4, 1);
        PacketRecord answer;
        QVERIFY(SimulatorRun::takePacket(run.peerAt(1), answer));
        QCOMPARE(packet::fieldText(answer.Bufor), cp1250::fromUnicode(u"Włączono monitor"));
        QCOMPARE(answer.iPacketNo, 700);
        ::kill(pid_t(run.process().processId()), SIGTERM);
        QCOMPARE(run.waitForExit(), 0);
        // What a long run compares with what the console kept.
        QFile counts(tally);
        QVERIFY(counts.open(QIODevice::ReadOnly));
        QCOMPARE(counts.readAll(), QByteArray("packets=1\n"));
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("text"); // on standard output after 0, on standard error else

        const QString delay = QStringLiteral("--capture-delay");
        QTest::newRow("help") << QStringList{QStringLiteral("--help")} << 0
                              << QStringLiteral("--capture-delay <ms>");
        QTest::newRow("capture delay below zero")
                << QStringList{delay, QStringLiteral("-1")} << 2
                << QStringLiteral("Invalid value for --capture-delay: -1");
        QTest::newRow("capture delay not whole")
                << QStringList{delay, QStringLiteral("0.5")} << 2
                << QStringLiteral("Invalid value for --capture-delay: 0.5");
        QTest::newRow("capture delay without a value") << QStringList{delay} << 2 << delay;
    }

    void commandLine()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, text);
        QProcess process;
        process.start(simulatorPath(), args);
        QVERIFY(process.waitForFinished(WaitMs));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), exitCode);
        const QString said = QString::fromUtf8(exitCode == 0 ? process.readAllStandardOutput()
                                                             : process.readAllStandardError());
        QVERIFY2(said.contains(text), qPrintable(said));
    }

    void nobodyListeningIsAFailure()
    {
        SimulatorRun run;
        QVERIFY(run.start({}, 2, false));
        QCOMPARE(run.waitForExit(), 1);
        QCOMPARE(run.linesMatching(QStringLiteral(" connect-failed ")).size(), 2);
    }
};

QTEST_MAIN(AgentSimTest)
#include "test_agentsim.moc"
