// Packets from the agents as the window shows them: the fields, the answer,
// the wait window and a stream's progress, over real loopback connections.
// How the classroom reads and checks them is tested in test_receive_core.
#include "platform/cp1250.h"
#include "shell/tfprogress.h"
#include "support/classroom.h"
#include "support/packetsteps.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTreeWidget>

namespace {

struct Room
{
    ClassroomNames names{QHash<QByteArray, QByteArray>{{"127.0.0.1", "SALA-1"}}};
    ConsoleFixture console;
    Room()
    {
        console.start();
        // Every packet of a burst is to be found in the log, past the bound
        // a flood meets.
        main().classroom().environment.loggedPacketsPerSecond = 1000000;
        main().classroom().environment.loggedPacketsPerSecondInAll = 1000000;
    }
    // What the fields show before the packets under test come, once the
    // agents' connections have been reported.
    void markFields()
    {
        main().StatusEdit->setText(QStringLiteral("przed"));
        main().MessageAnswerMemo->setPlainText(QStringLiteral("poprzednia odpowiedź"));
    }
    // The teacher's command to the agent: a status it sends answers it.
    bool command(TestAgent &agent)
    {
        PacketRecord command{};
        command.iCommand = packet::CloseProcess;
        return main().SendPacket(connectionOf(console, agent), command);
    }
    TFMain &main() { return console.main(); }
    QList<QByteArray> rcvEntries() { return logInfos(console.data, "RCV"); }
    bool waitForRcvEntries(qsizetype count)
    {
        return QTest::qWaitFor([&] { return rcvEntries().size() >= count; }, 5000);
    }
};

} // namespace

class ReceiveTest : public QObject
{
    Q_OBJECT
private slots:
    void dispatch_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("flag");
        QTest::addColumn<QByteArray>("bufor");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("memo");
        QTest::addColumn<bool>("waitStaysOpen");
        QTest::addColumn<bool>("unknownType");
        // Whom the teacher's command went to before: "this" agent, "other"
        // agent, "none".
        QTest::addColumn<QString>("commanded");

        const QString before = QStringLiteral("przed");
        const QString oldAnswer = QStringLiteral("poprzednia odpowiedź");
        // The agent's text ends with "|", and Bufor keeps it.
        QTest::newRow("status text") << 1 << 0 << cp1250::fromUnicode(u"zamknięto") << "zamknięto|"
                                     << oldAnswer << true << false << "this";
        QTest::newRow("status text, any flag")
                << 1 << 9 << cp1250::fromUnicode(u"gotowe ąę") << "gotowe ąę|" << oldAnswer << true
                << false << "this";
        QTest::newRow("process list, other flag")
                << 0 << 1 << QByteArray() << before << oldAnswer << true << false << "this";
        QTest::newRow("screen, flag 0")
                << 2 << 0 << QByteArray() << before << oldAnswer << true << false << "this";
        QTest::newRow("screen, closes the wait window")
                << 2 << 2 << QByteArray() << before << oldAnswer << false << false << "this";
        QTest::newRow("screen, other flag")
                << 2 << 3 << QByteArray() << before << oldAnswer << true << false << "this";
        QTest::newRow("answer no") << 6 << 0 << QByteArray() << before << "odpowiedź brzmi: NIE"
                                   << true << false << "this";
        QTest::newRow("answer yes") << 6 << 1 << QByteArray() << before << "odpowiedź brzmi: TAK"
                                    << true << false << "this";
        QTest::newRow("typed answer")
                << 6 << 2 << cp1250::fromUnicode(u"Nie wiem, proszę pani") << before
                << "Nie wiem, proszę pani|" << true << false << "this";
        // The agent's line breaks stay inside its entry of the day log.
        QTest::newRow("status text forging a log entry")
                << 1 << 0
                << QByteArray("ok\r\n----\r\n2026-01-01 00:00:00\r\nInfo: RCV: kopia pakietu")
                << "ok\r\n----\r\n2026-01-01 00:00:00\r\nInfo: RCV: kopia pakietu|" << oldAnswer
                << true << false << "this";
        QTest::newRow("answer, other flag")
                << 6 << 3 << QByteArray("x") << before << oldAnswer << true << false << "this";
        // A status answers the teacher: one from a computer no command went
        // to is logged and shown nowhere.
        QTest::newRow("status text, no command sent")
                << 1 << 0 << QByteArray("obcy") << before << oldAnswer << true << false << "none";
        QTest::newRow("status text, the command went to another")
                << 1 << 0 << QByteArray("obcy") << before << oldAnswer << true << false << "other";
        for (int command : {3, 4, 5, 7, 8, 9, -1, 1000}) {
            QTest::addRow("unknown type %d", command) << command << 1 << QByteArray("x") << before
                                                      << oldAnswer << true << true << "this";
        }
    }

    void dispatch()
    {
        QFETCH(int, command);
        QFETCH(int, flag);
        QFETCH(QByteArray, bufor);
        QFETCH(QString, status);
        QFETCH(QString, memo);
        QFETCH(bool, waitStaysOpen);
        QFETCH(bool, unknownType);
        QFETCH(QString, commanded);

        Room room;
        TestAgent &agent = room.console.connectAgent();
        TestAgent &other = room.console.connectAgent();
        room.markFields();
        TFMain &main = room.main();
        if (commanded != u"none")
            QVERIFY(room.command(commanded == u"this" ? agent : other));
        main.waitWindow()->Show();
        QStringList rcvTexts;
        connect(main.RcvStatusEdit, &QLineEdit::textChanged, main.RcvStatusEdit,
                [&](const QString &text) { rcvTexts << text; });

        if (command == packet::ScreenShot) {
            // The teacher asked this computer for its picture.
            PacketRecord ask{};
            ask.iCommand = packet::ScreenShot;
            QVERIFY(main.SendPacket(connectionOf(room.console, agent), ask));
        }
        agent.sendPacket(5, command, flag, 0, bufor);
        QVERIFY(room.waitForRcvEntries(1));

        QStringList expectedRcv{QStringLiteral("otrzymano dane: iCommand: ")
                                + numbers(command, flag, 5)};
        // One entry a packet, whatever its command.
        QList<QByteArray> expectedLog{"RCV: otrzymano dane"};
        if (unknownType) {
            expectedRcv << QStringLiteral("nieznany typ polecenia: iCommand: ")
                                   + numbers(command, flag, 5);
            expectedLog = {"RCV: nieznany typ polecenia"};
        }
        QCOMPARE(rcvTexts, expectedRcv);
        QCOMPARE(room.rcvEntries(), expectedLog);
        // Every entry carries the dump of the packet.
        QCOMPARE(room.console.data.readLog().count("Packet NO: 5\r\nPass: 48213\r\n"),
                 expectedLog.size());
        QCOMPARE(main.StatusEdit->text(), status);
        QCOMPARE(main.MessageAnswerMemo->toPlainText(), memo);
        QCOMPARE(main.waitWindow()->isVisible(), waitStaysOpen);
        QCOMPARE(main.classroom().LastPacketNo, 5);
        QVERIFY(!main.classroom().StreamInProgress);
    }

    // The checks of numbers and passes are the classroom's (test_receive_core);
    // here a burst far faster than a screen shows ends shown in the fields.
    void numberAndPassChecks_data()
    {
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QString>("rcvStatus");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("lastPacketNo");
        QTest::addColumn<QList<QByteArray>>("log");

        const QByteArray accepted = "RCV: otrzymano dane";
        // Far more lines than frames: each one in the log, the last one shown.
        Steps burst;
        for (int i = 0; i < 400; ++i)
            burst << Step{i % 2, Pass, 100 + i, QByteArray::number(i)};
        QTest::newRow("a burst of 400 packets")
                << burst << QStringLiteral("otrzymano dane: iCommand: ") + numbers(1, 0, 499)
                << "399|" << 499 << QList<QByteArray>(400, accepted);
    }

    void numberAndPassChecks()
    {
        QFETCH(Steps, steps);
        QFETCH(QString, rcvStatus);
        QFETCH(QString, status);
        QFETCH(int, lastPacketNo);
        QFETCH(QList<QByteArray>, log);

        Room room;
        // The burst is far faster than any agent: the log's share per
        // connection is lifted so that every line can be looked for.
        room.main().classroom().environment.loggedPacketsPerSecond = 1000000;
        room.main().classroom().environment.loggedPacketsPerSecondInAll = 1000000;
        TestAgent *agents[] = {&room.console.connectAgent(), &room.console.connectAgent()};
        // Their status texts answer a command of the teacher's.
        for (TestAgent *agent : agents)
            QVERIFY(room.command(*agent));
        room.markFields();
        for (qsizetype i = 0; i < steps.size(); ++i) {
            const Step &step = steps[i];
            agents[step.agent]->send(
                    TestAgent::packetText(step.number, 1, 0, 0, step.bufor, step.pass));
            QVERIFY(room.waitForRcvEntries(i + 1));
        }

        QCOMPARE(room.main().RcvStatusEdit->text(), rcvStatus);
        QCOMPARE(room.main().StatusEdit->text(), status);
        QCOMPARE(room.main().classroom().LastPacketNo, lastPacketNo);
        QCOMPARE(room.rcvEntries(), log);
        // What the fields show once the window has caught up.
        QTRY_COMPARE(static_cast<QLineEdit *>(room.main().RcvStatusEdit)->text(), rcvStatus);
        QTRY_COMPARE(static_cast<QLineEdit *>(room.main().StatusEdit)->text(), status);
    }

    void streamAnnouncement_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("screen");

        QTest::newRow("screen, 61440 bytes") << 2 << 61440 << true;
        QTest::newRow("screen, nothing") << 2 << 0 << true;
        QTest::newRow("process list, 1546 bytes") << 0 << 1546 << false;
        QTest::newRow("process list, nothing") << 0 << 0 << false;
    }

    // The announcement hands the connection over to a receiver; the state
    // is checked the moment the read handler returns.
    void streamAnnouncement()
    {
        QFETCH(int, command);
        QFETCH(int, size);
        QFETCH(bool, screen);

        Room room;
        TFMain &main = room.main();
        main.classroom().environment.streamTimings = {0, 10, 5};
        TestAgent &agent = room.console.connectAgent();
        const platform::ConnectionPtr connection = connectionOf(room.console, agent);
        main.waitWindow()->ProgressBar->setRange(10, 100);
        main.waitWindow()->ProgressBar->setValue(40);
        bool captured = false;
        bool inProgress = false;
        qint32 declared = -1;
        platform::ConnectionPtr current;
        int minimum = -1, maximum = -1, value = -1;
        connect(main.classroom().MyServer, &platform::TcpServer::clientRead,
                main.classroom().MyServer, [&] {
                    captured = true;
                    inProgress = main.classroom().StreamInProgress;
                    declared = main.classroom().DeclaredStreamSize;
                    current = main.classroom().CurrentSocket;
                    minimum = main.waitWindow()->ProgressBar->minimum();
                    maximum = main.waitWindow()->ProgressBar->maximum();
                    value = main.waitWindow()->ProgressBar->value();
                });
        QSignalSpy finished(&main, &TFMain::streamFinished);

        // The teacher asked: only then is a stream read.
        PacketRecord ask{};
        ask.iCommand = command;
        QVERIFY(main.SendPacket(connection, ask));
        agent.sendPacket(3, command, command == 2 ? 1 : 0, size);
        QVERIFY(QTest::qWaitFor([&] { return captured; }, 5000));

        QVERIFY(inProgress);
        QCOMPARE(declared, size);
        QCOMPARE(current, connection);
        QCOMPARE(minimum, 0);
        QCOMPARE(maximum, size);
        QCOMPARE(value, 0);
        QVERIFY(!main.waitWindow()->isVisible());

        // Nothing follows: a stream of nothing is whole, any other is not.
        QVERIFY(finished.wait(10000));
        QVERIFY(!main.classroom().StreamInProgress);
        const QString whole = QStringLiteral("%1SALA-1, otrzymano: 0, deklarowano: 0")
                                      .arg(screen ? QStringLiteral("strumień danych od: ")
                                                  : QStringLiteral("strumień danych od "));
        const QString tabStatus
                = (screen ? main.ScreenStatusBar : main.ProcessListStatusBar)->currentMessage();
        if (size == 0) {
            QCOMPARE(tabStatus, whole);
        } else {
            QCOMPARE(tabStatus, QString());
            QCOMPARE(main.StatusEdit->text(),
                     QStringLiteral("otrzymano niekompletny strumień danych, otrzymano: 0, "
                                    "deklarowano: %1")
                             .arg(size));
        }
    }
};

QTEST_MAIN(ReceiveTest)
#include "test_receive.moc"
