// The teacher's commands through the commander, without any window: to the
// selected computer and in walks over the class, seen on the wire of real
// agents connected over loopback, in the status lines and in the day log.
#include "platform/cp1250.h"
#include "support/coreroom.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using commands::Commander;

namespace {

const QHash<QByteArray, QByteArray> ClassNames{
        {"127.0.0.1", "SALA-1"}, {"127.0.0.2", "SALA-2"}, {"127.0.0.3", "SALA-3"}};

QString sentLine(const QString &operation, const QString &host)
{
    return QStringLiteral("wysłano polecenie \"%1\" do: %2").arg(operation, host);
}

// The real student simulator, its students connected to the console from
// 127.0.0.21 on; what each student says it received is read from its output.
class Simulator
{
public:
    ~Simulator()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(20000)) {
            m_process.kill();
            m_process.waitForFinished(20000);
        }
    }
    bool start(quint16 port, int students)
    {
        const QString build
                = qEnvironmentVariable("DOCENTOR_BINARY_DIR", QCoreApplication::applicationDirPath()
                                                                      + QStringLiteral("/.."));
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process, [this] {
            while (m_process.canReadLine())
                m_lines << QString::fromUtf8(m_process.readLine()).trimmed();
        });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(build + QStringLiteral("/tools/agentsim/docentor-agentsim"),
                        {"--host", "127.0.0.1", "--port", QString::number(port), "--students",
                         QString::number(students), "--source-base", "127.0.0.21",
                         "--connect-interval", "0", "--answer-delay", "0"});
        return m_process.waitForStarted(20000);
    }
    // The commands each student received, as "code/flag", in order.
    QStringList received(const QString &student) const
    {
        static const QRegularExpression line(
                QStringLiteral(" received no=\\d+ code=(\\d+) flag=(\\d+) "));
        QStringList out;
        for (const QString &text : m_lines.filter(student + QStringLiteral(" received "))) {
            const QRegularExpressionMatch match = line.match(text);
            out << match.captured(1) + QLatin1Char('/') + match.captured(2);
        }
        return out;
    }

private:
    QProcess m_process;
    QStringList m_lines;
};

// The entries of packets sent with this command and flag.
int sentEntries(const QByteArray &log, int command, int flag)
{
    const QRegularExpression entry(QStringLiteral("Info: SEND: OK\r\nPacket NO: \\d+\r\nPass: "
                                                  "\\d+\r\nCommand: %1\r\nFlag: %2\r\n")
                                           .arg(command)
                                           .arg(flag));
    int count = 0;
    for (auto matches = entry.globalMatch(QString::fromLatin1(log)); matches.hasNext();
         matches.next())
        ++count;
    return count;
}

} // namespace

class CommandsCoreTest : public QObject
{
    Q_OBJECT
private slots:
    // The outcome line of a computer whose name the lookup did not find
    // names nobody.
    void outcomeWithoutHostName()
    {
        CoreRoom room;
        TestAgent &agent = room.connectAgent();
        room.select(agent);
        QCOMPARE(room.computerOf(agent)->hostName, QByteArray());

        room.commander.run(commands::MouseOn, 0);

        PacketRecord p;
        QVERIFY(agent.waitForPacket(p));
        QCOMPARE(room.statusLines.last(), sentLine(QStringLiteral("włącz mysz"), {}));
    }

    // Two agents on one computer (or a program posing as the agent): each
    // row's commands go to that row's own connection, never to the other.
    void twoConnectionsFromOneAddress()
    {
        CoreRoom room(ClassNames);
        TestAgent &first = room.connectAgent();
        TestAgent &second = room.connectAgent();

        room.select(second);
        room.commander.run(commands::MonitorOff, 0);
        room.select(first);
        room.commander.run(commands::MonitorOn, 0);

        PacketRecord p;
        QVERIFY(second.waitForPacket(p));
        QCOMPARE(p.iFlag, 0);
        QVERIFY(first.waitForPacket(p));
        QCOMPARE(p.iFlag, 1);
        QCOMPARE(first.received(), QByteArray());
        QCOMPARE(second.received(), QByteArray());

        // With the selected one gone, its commands go nowhere, not to the
        // other: the teacher picks the row again.
        first.close();
        QTRY_COMPARE(room.classroom.roster().rowCount(), 1);
        room.commander.run(commands::LockStartMenu, 0);
        QCOMPARE(room.statusLines.last(), commands::notFoundText());
        room.select(second);
        room.commander.run(commands::LockStartMenu, 0);
        QVERIFY(second.waitForPacket(p));
        QCOMPARE(p.iCommand, 7);
        QCOMPARE(p.iPacketNo, 3);
    }

    // Every command starts from a clean record: a monitor-off right after a
    // message does not carry the message text.
    void monitorOffAfterMessage()
    {
        CoreRoom room(ClassNames);
        TestAgent &agent = room.connectAgent();
        room.select(agent);
        room.commander.run(commands::Message, 0, [](PacketRecord &record) {
            packet::setFieldText(record.Bufor, cp1250::fromUnicode(u"Proszę zapisać pracę"));
        });
        PacketRecord p;
        QVERIFY(agent.waitForPacket(p));
        QCOMPARE(p.iCommand, 6);

        room.commander.run(commands::MonitorOff, 0);

        QVERIFY(agent.waitForPacket(p));
        QCOMPARE(p.iCommand, 4);
        QCOMPARE(p.iFlag, 0);
        QCOMPARE(packet::fieldText(p.Bufor).toByteArray(), QByteArray());
    }

    void messageNotSent_data()
    {
        QTest::addColumn<bool>("reset");
        QTest::addColumn<QString>("status");
        QTest::newRow("computer gone") << false << "nie znaleziono połączenia na liście";
        // The console has not heard of the reset yet; a closed connection
        // has no host name to tell.
        QTest::newRow("connection reset")
                << true << "błąd podczas próby wysłania polecenia \"pokaż komunikat\" do: ";
    }

    void messageNotSent()
    {
        QFETCH(bool, reset);
        QFETCH(QString, status);
        CoreRoom room(ClassNames);
        TestAgent &agent = room.connectAgent();
        room.select(agent);
        if (reset) {
            agent.abort();
        } else {
            agent.close();
            QTRY_COMPARE(room.classroom.roster().rowCount(), 0);
        }

        room.commander.run(commands::Message, 1, [](PacketRecord &record) {
            packet::setFieldText(record.Bufor, "Czy już?");
        });

        QCOMPARE(room.statusLines.last(), status);
        // The last packet sent: this one, when it was tried.
        QCOMPARE(room.classroom.CurrentPacket.iCommand, reset ? 6 : 0);
        QCOMPARE(room.classroom.CurrentPacket.iFlag, reset ? 1 : 0);
        QCOMPARE(logInfos(room.data, "SEND").size(), reset ? 1 : 0);
    }

    // The real simulator's students: each receives the three packets of the
    // lock, then the three of the release, and the day log has an entry for
    // each packet.
    void classLockReachesSimulatedStudents()
    {
#ifdef Q_OS_WIN
        QSKIP("the student simulator is a Linux program");
#endif
        CoreRoom room;
        Simulator simulator;
        QVERIFY(simulator.start(room.port(), 3));
        QTRY_COMPARE_WITH_TIMEOUT(room.classroom.roster().rowCount(), 3, 20000);

        room.commander.runSeriesOnAll(commands::classLock());
        const QStringList lock{"4/0", "4/2", "4/4"};
        for (const char *student : {"UCZEN-01", "UCZEN-02", "UCZEN-03"})
            QTRY_COMPARE_WITH_TIMEOUT(simulator.received(QLatin1String(student)), lock, 20000);
        room.commander.runSeriesOnAll(commands::classUnlock());
        const QStringList both = lock + QStringList{"4/1", "4/3", "4/5"};
        for (const char *student : {"UCZEN-01", "UCZEN-02", "UCZEN-03"})
            QTRY_COMPARE_WITH_TIMEOUT(simulator.received(QLatin1String(student)), both, 20000);

        const QByteArray log = room.data.readLog();
        for (int flag = 0; flag <= 5; ++flag)
            QCOMPARE(sentEntries(log, 4, flag), 3);
    }

    // The second row's computer has gone, its name no longer looking up the
    // same: its row went with its connection, and the walk sends to the rest.
    void walkAfterAComputerLeft()
    {
        CoreRoom room(ClassNames);
        TestAgent &first = room.connectAgent(QStringLiteral("127.0.0.1"));
        TestAgent &second = room.connectAgent(QStringLiteral("127.0.0.2"));
        TestAgent &third = room.connectAgent(QStringLiteral("127.0.0.3"));
        room.names.set("127.0.0.2", "INNA");
        second.close();
        QTRY_COMPARE(room.classroom.MyServer->activeConnections(), 2);
        QCOMPARE(room.classroom.roster().rowCount(), 2);
        room.statusLines.clear();
        QSignalSpy ended(&room.commander, &Commander::walkEnded);

        room.commander.runOnAll(commands::MonitorOff, 0);

        const QString operation = QStringLiteral("wyłącz monitor");
        QCOMPARE(room.statusLines,
                 (QStringList{sentLine(operation, "SALA-1"), sentLine(operation, "SALA-3")}));
        for (TestAgent *agent : {&first, &third}) {
            PacketRecord p;
            QVERIFY(agent->waitForPacket(p));
            QCOMPARE(p.iCommand, 4);
            QCOMPARE(p.iFlag, 0);
        }
        QCOMPARE(logInfos(room.data, "SEND"), (QList<QByteArray>{"SEND: OK", "SEND: OK"}));
        QCOMPARE(ended.size(), 1);
    }

    // A send that gives its connection up (as the time-out inside a packet
    // does) removes its computer during the walk, and a later computer may
    // go meanwhile too: the walk still takes every computer as listed at its
    // start, and the one that went gets the usual line.
    void rowsRemovedDuringTheWalk()
    {
        CoreRoom room(ClassNames);
        TestAgent &first = room.connectAgent(QStringLiteral("127.0.0.1"));
        TestAgent &second = room.connectAgent(QStringLiteral("127.0.0.2"));
        room.connectAgent(QStringLiteral("127.0.0.3"));
        const platform::TcpServer *server = room.classroom.MyServer;
        auto closeConsoleSide = [&](const QByteArray &address) {
            for (int i = 0; i < server->activeConnections(); ++i) {
                const platform::ConnectionPtr c = server->connection(i);
                if (c && c->peerAddress() == address)
                    return c->close();
            }
        };
        QObject::connect(&room.classroom, &Classroom::sendReport, &room.classroom, [&] {
            const Computer *selected = room.classroom.selected();
            if (selected && selected->address == "127.0.0.1") {
                closeConsoleSide("127.0.0.1");
                closeConsoleSide("127.0.0.3");
            }
        });
        room.statusLines.clear();
        QSignalSpy ended(&room.commander, &Commander::walkEnded);

        room.commander.runOnAll(commands::MouseOff, 0);

        // The first computer's line names no one: its connection had gone
        // by the time the line was written.
        const QString operation = QStringLiteral("wyłącz myszkę");
        QCOMPARE(room.statusLines,
                 (QStringList{"Rozłączono z 127.0.0.1", "Rozłączono z 127.0.0.3",
                              sentLine(operation, ""), sentLine(operation, "SALA-2"),
                              "nie znaleziono połączenia na liście"}));
        for (TestAgent *agent : {&first, &second}) {
            PacketRecord p;
            QVERIFY(agent->waitForPacket(p));
            QCOMPARE(p.iCommand, 4);
            QCOMPARE(p.iFlag, 4);
        }
        QCOMPARE(room.classroom.roster().rowCount(), 1);
        QCOMPARE(ended.size(), 1);
    }

    // After a group command the selected computer is the last one walked,
    // whichever was selected before.
    void singleCommandAfterGroup()
    {
        CoreRoom room(ClassNames);
        TestAgent &first = room.connectAgent(QStringLiteral("127.0.0.1"));
        TestAgent &last = room.connectAgent(QStringLiteral("127.0.0.3"));
        room.select(first);
        room.commander.runOnAll(commands::LockStartMenu, 0);

        room.commander.run(commands::MonitorOn, 0);

        PacketRecord p;
        QVERIFY(last.waitForPacket(p));
        QCOMPARE(p.iCommand, 7);
        QVERIFY(last.waitForPacket(p));
        QCOMPARE(p.iCommand, 4);
        QCOMPARE(p.iFlag, 1);
        QCOMPARE(room.statusLines.last(),
                 sentLine(QStringLiteral("włącz monitor"), QStringLiteral("SALA-3")));
    }
};

QTEST_GUILESS_MAIN(CommandsCoreTest)
#include "test_commands_core.moc"
