// Packets from the agents without any window: how one read event is read,
// decoded, checked, reported and acted on, over real loopback connections.
#include "platform/cp1250.h"
#include "support/coreroom.h"
#include "support/packetsteps.h"

#include <QSignalSpy>
#include <QTest>

namespace {

struct Room : CoreRoom
{
    Room()
        : CoreRoom({{"127.0.0.1", "SALA-1"}})
    {
        // Every packet of a burst is to be found in the log, past the bound
        // a flood meets.
        classroom.environment.loggedPacketsPerSecond = 1000000;
        classroom.environment.loggedPacketsPerSecondInAll = 1000000;
    }
    // Forgets what was reported before the packets under test come, once
    // the agents' connections have been reported.
    void markFields()
    {
        statusLines.clear();
        receiveLines.clear();
        answers.clear();
    }
    // What the status line and the answer field would show: the latest
    // report since markFields, or what they showed before.
    QString status() const
    {
        return statusLines.isEmpty() ? QStringLiteral("przed") : statusLines.last();
    }
    QString memo(const QString &before = QStringLiteral("poprzednia odpowiedź")) const
    {
        return answers.isEmpty() ? before : answers.last();
    }
    QString rcvStatus() const { return receiveLines.isEmpty() ? QString() : receiveLines.last(); }
    // The teacher's command to the agent: a status it sends answers it.
    bool command(TestAgent &agent)
    {
        PacketRecord command{};
        command.iCommand = packet::CloseProcess;
        return classroom.SendPacket(connectionOf(agent), command);
    }
    bool waitForRcvEntries(qsizetype count)
    {
        return QTest::qWaitFor([&] { return rcvEntries().size() >= count; }, 5000);
    }
};

// An answer as the agent writes it: Bufor is everything after the eighth
// separator, whatever it holds.
QByteArray answerText(qint32 number, qint32 flag, const QByteArray &rest)
{
    return QByteArray("48213|") + QByteArray::number(number) + '|' + QByteArray::number(flag)
           + "|6|0|0|||" + rest;
}

} // namespace

class ReceiveCoreTest : public QObject
{
    Q_OBJECT
private slots:
    void numberAndPassChecks_data()
    {
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QString>("rcvStatus");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("lastPacketNo");
        QTest::addColumn<QList<QByteArray>>("log");

        const QByteArray accepted = "RCV: otrzymano dane";
        const QByteArray copy = "RCV: kopia pakietu";
        const QByteArray unknown = "RCV: nieznany pakiet";
        const QString copyOf7 = QStringLiteral("kopia pakietu: iCommand: ") + numbers(1, 0, 7);

        QTest::newRow("first packet numbered 0 is a copy")
                << Steps{{0, Pass, 0, "zero"}}
                << QStringLiteral("kopia pakietu: iCommand: ") + numbers(1, 0, 0) << "przed" << 0
                << QList<QByteArray>{copy};
        QTest::newRow("repeated number") << Steps{{0, Pass, 7, "a"}, {0, Pass, 7, "b"}} << copyOf7
                                         << "a|" << 7 << QList<QByteArray>{accepted, copy};
        QTest::newRow("two computers, one number")
                << Steps{{0, Pass, 7, "a"}, {1, Pass, 7, "b"}}
                << QStringLiteral("otrzymano dane: iCommand: ") + numbers(1, 0, 7) << "b|" << 7
                << QList<QByteArray>{accepted, accepted};
        QTest::newRow("wrong pass") << Steps{{0, 1234, 7, "a"}}
                                    << QStringLiteral("nieznany pakiet: ") + numbers(1, 0, 7)
                                    << "przed" << 0 << QList<QByteArray>{unknown};
        QTest::newRow("wrong pass and a repeated number: unknown, not a copy")
                << Steps{{0, Pass, 7, "a"}, {1, -48213, 7, "b"}}
                << QStringLiteral("nieznany pakiet: ") + numbers(1, 0, 7) << "a|" << 7
                << QList<QByteArray>{accepted, unknown};
        QTest::newRow("numbers need not grow")
                << Steps{{0, Pass, 9, "a"}, {0, Pass, 3, "b"}, {0, Pass, 9, "c"}}
                << QStringLiteral("otrzymano dane: iCommand: ") + numbers(1, 0, 9) << "c|" << 9
                << QList<QByteArray>{accepted, accepted, accepted};
        QTest::newRow("only the last accepted number counts")
                << Steps{{0, Pass, 5, "a"}, {0, Pass, 5, "b"}, {0, Pass, 6, "c"}, {1, Pass, 5, "d"}}
                << QStringLiteral("otrzymano dane: iCommand: ") + numbers(1, 0, 5) << "d|" << 5
                << QList<QByteArray>{accepted, copy, accepted, accepted};
        QTest::newRow("negative number")
                << Steps{{0, Pass, -4, "a"}}
                << QStringLiteral("otrzymano dane: iCommand: ") + numbers(1, 0, -4) << "a|" << -4
                << QList<QByteArray>{accepted};
    }

    void numberAndPassChecks()
    {
        QFETCH(Steps, steps);
        QFETCH(QString, rcvStatus);
        QFETCH(QString, status);
        QFETCH(int, lastPacketNo);
        QFETCH(QList<QByteArray>, log);

        Room room;
        TestAgent *agents[] = {&room.connectAgent(), &room.connectAgent()};
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

        QCOMPARE(room.rcvStatus(), rcvStatus);
        QCOMPARE(room.status(), status);
        QCOMPARE(room.classroom.LastPacketNo, lastPacketNo);
        QCOMPARE(room.rcvEntries(), log);
    }

    // What one read event brings is one packet: the second text ends up in
    // Bufor of the first.
    void twoPacketsInOneRead()
    {
        Room room;
        TestAgent &agent = room.connectAgent();
        const QByteArray second = TestAgent::packetText(12, 6, 1);
        QVERIFY(room.command(agent));
        room.markFields();

        agent.send(TestAgent::packetText(11, 1, 0, 0, "pierwszy") + second);
        QVERIFY(room.waitForRcvEntries(1));

        QCOMPARE(room.rcvStatus(),
                 QStringLiteral("otrzymano dane: iCommand: ") + numbers(1, 0, 11));
        QCOMPARE(room.status(), QStringLiteral("pierwszy|") + second);
        QCOMPARE(room.memo(), QStringLiteral("poprzednia odpowiedź"));
        QCOMPARE(room.classroom.LastPacketNo, 11);
        QCOMPARE(room.rcvEntries().size(), 1);
    }

    // Split after its sixth field: the head is a packet of its own, the tail
    // fails the pass check.
    void packetSplitOverTwoReads()
    {
        Room room;
        TestAgent &agent = room.connectAgent();
        const QByteArray text = TestAgent::packetText(21, 6, 2, 0, "odpowiedz");
        const qsizetype cut = text.indexOf("|0|0|") + 5;

        agent.send(text.left(cut));
        QVERIFY(room.waitForRcvEntries(1));
        QCOMPARE(room.rcvStatus(),
                 QStringLiteral("otrzymano dane: iCommand: ") + numbers(6, 2, 21));
        QCOMPARE(room.memo(), QString());

        agent.send(text.mid(cut));
        QVERIFY(room.waitForRcvEntries(2));
        QVERIFY(room.rcvStatus().startsWith(QStringLiteral("nieznany pakiet: ")));
        QCOMPARE(room.rcvEntries(),
                 (QList<QByteArray>{"RCV: otrzymano dane", "RCV: nieznany pakiet"}));
        QCOMPARE(room.classroom.LastPacketNo, 21);
    }

    // While a computer's stream is received that connection is not read:
    // no text, no entry; every other connection is read as ever. Once the
    // stream has ended, what waits is read without anything new arriving.
    void standsAsideOnlyForTheStreamingConnection()
    {
        Room room;
        TestAgent &first = room.connectAgent();
        TestAgent &second = room.connectAgent();
        const platform::ConnectionPtr firstConnection = room.connectionOf(first);
        platform::TcpServer *server = room.classroom.MyServer;
        QVERIFY(room.command(first));
        room.markFields();
        QSet<platform::Connection *> notified;
        connect(server, &platform::TcpServer::clientRead, server,
                [&](const platform::ConnectionPtr &c) { notified.insert(c.get()); });
        // As a stream reception does.
        server->holdReads(firstConnection);

        first.sendPacket(5, 1, 0, 0, "pierwszy");
        QVERIFY(QTest::qWaitFor([&] { return firstConnection->bytesWaiting() > 0; }, 5000));
        second.sendPacket(6, 6, 1);
        QTRY_COMPARE(room.memo(), QStringLiteral("odpowiedź brzmi: TAK"));
        const qint64 firstWaiting = firstConnection->bytesWaiting();
        for (int i = 0; i < 10; ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents);

        QVERIFY(!notified.contains(firstConnection.get()));
        QCOMPARE(firstConnection->bytesWaiting(), firstWaiting);
        QCOMPARE(room.status(), QStringLiteral("przed"));
        QCOMPARE(room.rcvEntries(), QList<QByteArray>{"RCV: otrzymano dane"});

        server->resumeReads(firstConnection);
        QVERIFY(room.waitForRcvEntries(2));
        QCOMPARE(room.status(), QStringLiteral("pierwszy|"));
    }

    // The agent sends its last packet and closes at once: the read stops at
    // the closed connection and the packet is handled.
    void lastPacketBeforeClose()
    {
        Room room;
        TestAgent &agent = room.connectAgent();
        agent.sendPacket(8, 6, 2, 0, "do widzenia");
        agent.close();

        QTRY_COMPARE(room.classroom.roster().rowCount(), 0);
        QCOMPARE(room.rcvEntries(), QList<QByteArray>{"RCV: otrzymano dane"});
        QCOMPARE(room.memo(), QStringLiteral("do widzenia|"));
    }

    // A read event with nothing to read is no packet: it would otherwise be
    // taken for an empty text with the previous packet's pass and number.
    void readEventWithoutBytes()
    {
        Room room;
        TestAgent &agent = room.connectAgent();
        room.markFields();
        PacketRecord &current = room.classroom.CurrentPacket;
        current.Pass = packet::PassValue;
        current.iPacketNo = 9;
        current.iCommand = 1;
        packet::setFieldText(current.Bufor, "stare");

        room.classroom.MyServerClientRead(room.connectionOf(agent));

        QCOMPARE(packet::fieldText(current.Bufor).toByteArray(), QByteArray("stare"));
        QCOMPARE(room.rcvStatus(), QString());
        QCOMPARE(room.status(), QStringLiteral("przed"));
        QCOMPARE(room.classroom.LastPacketNo, 0);
        QVERIFY(room.rcvEntries().isEmpty());
    }

    // An agent sending megabytes at once: each read event takes a bounded
    // share, so the window goes on between them, and all is read in the end.
    // The junk is numbered: each 12-byte unit holds its own offset, so the
    // packet number reported for an event tells where its text began, within
    // a unit.
    void floodIsReadInBoundedShares()
    {
        Room room;
        TestAgent &flooder = room.connectAgent();
        TestAgent &other = room.connectAgent();
        constexpr int Unit = 12;
        constexpr qsizetype Share = 64 * 1024;
        QByteArray junk;
        for (int offset = 0; offset < 3 * 1024 * 1024; offset += Unit)
            junk += QByteArray::number(offset).rightJustified(Unit - 1, '0') + '|';
        // Seen in the reports, of which the day log takes only a share.
        QSignalSpy reports(&room.classroom, &Classroom::receiveReport);
        auto eventStarts = [&] {
            QList<qint64> starts;
            for (const QList<QVariant> &report : reports) {
                const QString text = report[0].toString();
                if (text.startsWith(QStringLiteral("nieznany pakiet")))
                    starts << text.section(QStringLiteral("iPacketNo: "), 1).toLongLong();
            }
            return starts;
        };

        flooder.socket().write(junk);
        other.sendPacket(5, 6, 1);
        QVERIFY(QTest::qWaitFor(
                [&] {
                    const QList<qint64> starts = eventStarts();
                    return !starts.isEmpty() && starts.last() >= junk.size() - Share - 2 * Unit;
                },
                60000));

        const QList<qint64> starts = eventStarts();
        for (qsizetype i = 1; i < starts.size(); ++i) {
            const qint64 taken = starts[i] - starts[i - 1];
            QVERIFY2(taken > 0 && taken <= Share + 100 + Unit,
                     qPrintable(QStringLiteral("event %1 took %2 bytes").arg(i).arg(taken)));
        }
        QVERIFY(starts.size() >= junk.size() / (Share + 100 + Unit));
        QTRY_COMPARE(room.memo(), QStringLiteral("odpowiedź brzmi: TAK"));
    }

    void answer_data()
    {
        QTest::addColumn<QString>("memoBefore");
        QTest::addColumn<int>("flag");
        QTest::addColumn<QByteArray>("rest");
        QTest::addColumn<QString>("memoAfter");

        const QString yes = QStringLiteral("odpowiedź brzmi: TAK");
        QTest::newRow("no") << "" << 0 << QByteArray("|") << "odpowiedź brzmi: NIE";
        QTest::newRow("yes") << "" << 1 << QByteArray("|") << yes;
        QTest::newRow("typed, closing separator kept")
                << "" << 2 << QByteArray("Jan Kowalski|") << "Jan Kowalski|";
        QTest::newRow("typed, Polish letters")
                << "" << 2 << cp1250::fromUnicode(u"Zażółć gęślą jaźń|") << "Zażółć gęślą jaźń|";
        QTest::newRow("typed, no closing separator")
                << "" << 2 << QByteArray("bez kreski") << "bez kreski";
        QTest::newRow("typed, separators inside") << "" << 2 << QByteArray("a|b|") << "a|b|";
        QTest::newRow("typed, nothing") << "" << 2 << QByteArray("|") << "|";
        QTest::newRow("typed, up to a zero byte") << "" << 2 << QByteArray("ab\0cd|", 6) << "ab";
        QTest::newRow("typed replaces yes") << yes << 2 << QByteArray("Nie wiem|") << "Nie wiem|";
        QTest::newRow("yes replaces typed") << "Nie wiem|" << 1 << QByteArray("|") << yes;
        QTest::newRow("other flag ignored") << yes << 3 << QByteArray("x|") << yes;
        QTest::newRow("negative flag ignored") << yes << -1 << QByteArray("x|") << yes;
    }

    // The answer as the answer field shows it; a packet that is no answer
    // leaves what it showed before.
    void answer()
    {
        QFETCH(QString, memoBefore);
        QFETCH(int, flag);
        QFETCH(QByteArray, rest);
        QFETCH(QString, memoAfter);

        Room room;
        TestAgent &agent = room.connectAgent();
        room.markFields();

        agent.send(answerText(5, flag, rest));
        QVERIFY(room.waitForRcvEntries(1));

        QCOMPARE(room.memo(memoBefore), memoAfter);
    }

    // Answers are not matched to questions: the latest answer accepted
    // counts, from whichever computer, after whatever kind of message.
    void lastAnswerWins()
    {
        Room room;
        TestAgent &first = room.connectAgent(QStringLiteral("127.0.0.1"));
        TestAgent &second = room.connectAgent(QStringLiteral("127.0.0.2"));
        room.select(first);
        room.commander.run(commands::Message, 0); // a plain message, no answer asked
        PacketRecord sent;
        QVERIFY(first.waitForPacket(sent));

        first.send(answerText(5, 1, "|"));
        QVERIFY(room.waitForRcvEntries(1));
        QCOMPARE(room.memo(), QStringLiteral("odpowiedź brzmi: TAK"));

        second.send(answerText(6, 2, "Druga|"));
        QVERIFY(room.waitForRcvEntries(2));
        QCOMPARE(room.memo(), QStringLiteral("Druga|"));

        // A copy of the last packet accepted from the same computer does not
        // count.
        first.send(answerText(5, 0, "|"));
        QVERIFY(room.waitForRcvEntries(3));
        QCOMPARE(room.memo(), QStringLiteral("Druga|"));

        first.send(answerText(7, 0, "|"));
        QVERIFY(room.waitForRcvEntries(4));
        QCOMPARE(room.memo(), QStringLiteral("odpowiedź brzmi: NIE"));
        QCOMPARE(room.rcvEntries(),
                 (QList<QByteArray>{"RCV: otrzymano dane", "RCV: otrzymano dane",
                                    "RCV: kopia pakietu", "RCV: otrzymano dane"}));
    }
};

QTEST_GUILESS_MAIN(ReceiveCoreTest)
#include "test_receive_core.moc"
