// A question to the whole class: the table of answers.
#include "commands/poll.h"
#include "platform/cp1250.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

const QDateTime Start(QDate(2026, 12, 8), QTime(14, 5, 3));

struct Answer
{
    int computer; // index into the class; -1 for a connection outside the poll
    qint32 command;
    qint32 flag;
    QByteArray bufor;
};

PacketRecord answerPacket(qint32 command, qint32 flag, const QByteArray &bufor)
{
    PacketRecord packet;
    packet.iCommand = command;
    packet.iFlag = flag;
    packet::setFieldText(packet.Bufor, bufor);
    return packet;
}

// Connections stand for themselves: anything a shared pointer holds.
struct Class
{
    QList<std::shared_ptr<int>> connections;
    QList<Poll::Computer> computers;
    explicit Class(int size)
    {
        for (int i = 1; i <= size; ++i) {
            connections.append(std::make_shared<int>(i));
            computers.append({connections.last(), QStringLiteral("SALA-%1").arg(i),
                              QStringLiteral("127.0.0.%1").arg(i)});
        }
    }
};

} // namespace

Q_DECLARE_METATYPE(QList<Answer>)

class PollTest : public QObject
{
    Q_OBJECT
private slots:
    void tally_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QList<Answer>>("answers");
        QTest::addColumn<QString>("tally");
        QTest::addColumn<QStringList>("column");
        auto row = [](const char *name, Poll::Kind kind, const QList<Answer> &answers,
                      const char *tally, const QStringList &column) {
            QTest::newRow(name) << int(kind) << answers << QString::fromUtf8(tally) << column;
        };

        row("yes/no, nobody yet", Poll::YesNo, {}, "TAK: 0, NIE: 0, bez odpowiedzi: 3",
            {"", "", ""});
        row("yes/no, two answers, one from outside the poll", Poll::YesNo,
            {{0, 6, 1, "|"}, {-1, 6, 1, "|"}, {2, 6, 0, "|"}}, "TAK: 1, NIE: 1, bez odpowiedzi: 1",
            {"TAK", "", "NIE"});
        row("yes/no, a second answer does not rewrite the first", Poll::YesNo,
            {{0, 6, 1, "|"}, {0, 6, 0, "|"}}, "TAK: 1, NIE: 0, bez odpowiedzi: 2", {"TAK", "", ""});
        row("yes/no, typed, other flags and commands left out", Poll::YesNo,
            {{0, 6, 2, "Tak|"}, {1, 6, 3, "|"}, {1, 1, 1, "|"}, {2, 6, 0, "|"}},
            "TAK: 0, NIE: 1, bez odpowiedzi: 2", {"", "", "NIE"});
        row("typed, closing separator dropped, the student's own kept", Poll::Typed,
            {{0, 6, 2, cp1250::fromUnicode(u"Zażółć|")}, {1, 6, 2, "a|b||"}, {2, 6, 2, "bez"}},
            "odpowiedzi: 3 z 3", {"Zażółć", "a|b|", "bez"});
        row("typed, empty answer counts, yes/no left out", Poll::Typed,
            {{0, 6, 2, "|"}, {1, 6, 1, "|"}, {-1, 6, 2, "x|"}}, "odpowiedzi: 1 z 3", {"", "", ""});
    }

    void tally()
    {
        QFETCH(int, kind);
        QFETCH(QList<Answer>, answers);
        QFETCH(QString, tally);
        QFETCH(QStringList, column);

        Class room(3);
        const auto stranger = std::make_shared<int>(0); // a connection outside the poll
        Poll poll;
        QSignalSpy changed(&poll, &Poll::changed);
        poll.start(QStringLiteral("Czy skończyłeś?"), Poll::Kind(kind), room.computers, Start);
        int filed = 0;
        for (const Answer &a : answers) {
            const Poll::Key key = a.computer < 0 ? Poll::Key(stranger)
                                                 : Poll::Key(room.connections.at(a.computer));
            filed += int(poll.record(key, answerPacket(a.command, a.flag, a.bufor)));
        }

        QCOMPARE(poll.tally(), tally);
        QCOMPARE(changed.size(), 1 + filed);
        QStringList shown;
        for (const Poll::Row &row : poll.rows())
            shown.append(row.answer);
        QCOMPARE(shown, column);
    }

    void newPollReplacesOld()
    {
        Class room(3);
        Poll poll;
        poll.start(QStringLiteral("Pierwsze?"), Poll::YesNo, room.computers, Start);
        QVERIFY(poll.record(room.connections.at(0), answerPacket(6, 1, "|"), Start.addSecs(61)));
        QCOMPARE(poll.rows().at(0).time, QStringLiteral("14:06:04"));

        // To the last two computers, one of them listed twice.
        poll.start(QStringLiteral("Drugie?"), Poll::Typed,
                   {room.computers.at(1), room.computers.at(2), room.computers.at(1)});
        QCOMPARE(poll.tally(), QStringLiteral("odpowiedzi: 0 z 2"));
        QVERIFY(!poll.record(room.connections.at(0), answerPacket(6, 2, "Stare|")));
        QVERIFY(poll.record(room.connections.at(2), answerPacket(6, 2, "Nowe|"), Start));
        // A released connection is not mistaken for a later one.
        room.connections[1].reset();
        room.computers[1].key.reset();
        QVERIFY(!poll.record(std::make_shared<int>(2), answerPacket(6, 2, "Podszyty|")));
        QVERIFY(!poll.record(Poll::Key(), answerPacket(6, 2, "Nikt|")));
        QCOMPARE(poll.tally(), QStringLiteral("odpowiedzi: 1 z 2"));
        const QList<Poll::Row> rows = poll.rows();
        QCOMPARE(rows.size(), 2);
        QCOMPARE((QStringList{rows[1].computer, rows[1].address, rows[1].answer, rows[1].time}),
                 (QStringList{"SALA-3", "127.0.0.3", "Nowe", "14:05:03"}));

        // The question goes out as a message of the poll's kind; the rest of
        // the packet is left as it was.
        PacketRecord packet = answerPacket(0, 0, "stare");
        packet.ProcID = 77;
        poll.fillPacket(packet);
        QCOMPARE((QList<qint64>{packet.iCommand, packet.iFlag, packet.ProcID}),
                 (QList<qint64>{6, 2, 77}));
        QCOMPARE(packet::fieldText(packet.Bufor), "Drugie?");
        poll.start(QStringLiteral("Gotowe?"), Poll::YesNo, {});
        poll.fillPacket(packet);
        QCOMPARE(packet.iFlag, 1);
    }
};

QTEST_MAIN(PollTest)
#include "test_poll.moc"
