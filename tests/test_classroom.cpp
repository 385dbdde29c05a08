// The classroom without any window: real loopback connections from
// scripted students, the real day log. Its streams are in
// test_classchannels, its overview in test_classoverview.
#include "commands/classoverview.h"
#include "commands/commander.h"
#include "link/classroom.h"
#include "platform/cp1250.h"
#include "storage/eventlog.h"
#include "support/rawsocket.h"
#include "support/samples.h"
#include "support/studentroom.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QPointer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

using commands::ClassOverview;
using namespace scripted;

namespace {

// What the day log says it left out, of the given noun ("pakiet", "wpis").
qint64 countedOut(const TempDataHome &data, const char *noun)
{
    qint64 sum = 0;
    for (const QByteArray &entry : logInfos(data, "pomini\xeato w dzienniku"))
        if (entry.split(' ')[4].startsWith(noun))
            sum += entry.split(' ')[3].toLongLong();
    return sum;
}

// The received entries in the day log, and how many by the second their
// stamps show.
int loggedReceives(const TempDataHome &data, QHash<QByteArray, int> &perStamp)
{
    perStamp.clear();
    int all = 0;
    const QList<QByteArray> lines = data.readLog().split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (lines[i].startsWith("Info: RCV")) {
            ++perStamp[lines[i - 1].trimmed()];
            ++all;
        }
    }
    return all;
}

} // namespace

class ClassroomTest : public QObject
{
    Q_OBJECT
private slots:
    void eachConnectionIsOneComputer();
    void nothingOfOneStudentReachesAnother_data();
    void nothingOfOneStudentReachesAnother();
    void floodTakesABoundedShareOfTheLog_data();
    void floodTakesABoundedShareOfTheLog();
    void keptPicturesAreBounded();
    void stoppedReaderIsGivenUp();
};

// The class keeps one object per connection in the order they came; its
// signals name the computer, and what the console learnt of one stays with
// it while others come and go.
void ClassroomTest::eachConnectionIsOneComputer()
{
    Room room;
    QSignalSpy joined(&room.classroom.roster(), &Roster::joined);
    QSignalSpy left(&room.classroom.roster(), &Roster::left);
    for (const char *address : {"127.0.0.9", "127.0.0.10", "127.0.0.2"})
        room.join(QString::fromLatin1(address), Student::Silent);
    Student &nine = *room.students[0];
    Computer *nineComputer = room.computerOf(nine);
    nineComputer->state.answer = QStringLiteral("TAK");

    auto addresses = [&] {
        QList<QByteArray> list;
        for (const Computer *c : room.classroom.computers())
            list << c->address;
        return list;
    };
    QCOMPARE(addresses(), (QList<QByteArray>{"127.0.0.9", "127.0.0.10", "127.0.0.2"}));
    QCOMPARE(joined.size(), 3);
    QCOMPARE(joined[0][0].value<Computer *>(), nineComputer);
    QCOMPARE(room.classroom.roster().rowCount(), 3);
    QCOMPARE(room.classroom.roster().index(0).data(Roster::AnswerRole).toString(), u"TAK");
    // Names are looked up beside the list, not before it.
    QTRY_COMPARE(nineComputer->hostName, QByteArray("SALA-9"));
    QCOMPARE(room.classroom.roster().index(0).data(Roster::NameRole).toString(), u"SALA-9");

    Computer *leaving = room.computerOf(*room.students[2]);
    room.students[2]->agent.close(); // 127.0.0.2
    QVERIFY(left.wait(5000));
    QCOMPARE(left[0][0].value<Computer *>(), leaving);
    QCOMPARE(addresses(), (QList<QByteArray>{"127.0.0.9", "127.0.0.10"}));
    QCOMPARE(room.computerOf(nine), nineComputer);

    // A second program from the same computer and name comes and goes: its
    // own computer goes, the agent's stays with all it holds.
    Student &second = room.join(QStringLiteral("127.0.0.9"), Student::Silent);
    Computer *secondComputer = room.computerOf(second);
    QVERIFY(secondComputer != nineComputer);
    QVERIFY(secondComputer->arrival > nineComputer->arrival);
    second.agent.close();
    QVERIFY(left.wait(5000));
    QCOMPARE(left[1][0].value<Computer *>(), secondComputer);
    QCOMPARE(room.classroom.computers()[0], nineComputer);
    QCOMPARE(nineComputer->state.answer, QStringLiteral("TAK"));
    // What has left is deleted once the event loop runs.
    const QPointer<Computer> gone = secondComputer;
    QTRY_VERIFY(gone.isNull());
}

void ClassroomTest::nothingOfOneStudentReachesAnother_data()
{
    QTest::addColumn<QString>("way");
    QTest::addColumn<QByteArray>("bufor");
    QTest::addColumn<QByteArray>("pass");
    // X's packet number: after Y's accepted 77, or the console's own first
    // when Y's packet was rejected.
    QTest::addColumn<QByteArray>("number");
    QTest::newRow("the teacher's command")
            << "command" << QByteArray() << QByteArray("48213") << QByteArray("78");
    QTest::newRow("a glance") << "glance" << QByteArray() << QByteArray("48213")
                              << QByteArray("78");
    QTest::newRow("a typed-answer poll")
            << "poll" << QByteArray("Ile?") << QByteArray("48213") << QByteArray("78");
    // A rejected packet tells no other student when it came or how its
    // sender counts.
    QTest::newRow("the teacher's command after a wrong pass")
            << "command" << QByteArray() << QByteArray("1234") << QByteArray("1");
    QTest::newRow("a glance after a wrong pass")
            << "glance" << QByteArray() << QByteArray("1234") << QByteArray("1");
}

// Y's answer fills every field and holds a packet text of its own; the next
// packet to X carries none of it, only its number follows Y's when the
// console took Y's packet.
void ClassroomTest::nothingOfOneStudentReachesAnother()
{
    QFETCH(QString, way);
    QFETCH(QByteArray, bufor);
    QFETCH(QByteArray, pass);
    QFETCH(QByteArray, number);
    Room room;
    Student &x = room.join(QStringLiteral("127.0.0.1"), Student::Silent);
    Student &y = room.join(QStringLiteral("127.0.0.2"), Student::Silent);
    QSignalSpy received(&room.classroom, &Classroom::receiveReport);
    y.agent.send(pass + "|77|2|6|4096|31337|calc.exe|Okno|48213|900|0|3|0|0|calc.exe|||");
    QVERIFY(received.wait(5000));

    room.classroom.select(room.computerOf(x));
    if (way == u"command")
        room.commander.run(commands::MonitorOff, 0);
    else if (way == u"glance")
        room.classroom.requestGlance(room.connectionOf(x), QSize(160, 160));
    else
        room.commander.sendPoll(QString::fromLatin1(bufor), Poll::Typed);
    QTRY_COMPARE(x.packets.size(), 1);
    const QList<QByteArray> fields = wireFields(x.packets[0]);
    QCOMPARE(fields.mid(1),
             (QList<QByteArray>{number, fields[2], fields[3], "0", "0", "", "", bufor}));
}

void ClassroomTest::floodTakesABoundedShareOfTheLog_data()
{
    QTest::addColumn<int>("addresses");
    QTest::addColumn<int>("connections"); // of each address
    QTest::addColumn<int>("perSecond");   // of each connection; 0: as fast as it goes
    QTest::addColumn<int>("packets");     // of each connection
    QTest::addColumn<qint64>("dailyCap"); // 0: the console's own
    QTest::newRow("a burst") << 1 << 1 << 0 << 100 << qint64(0);
    QTest::newRow("25 a second for 4 s") << 1 << 1 << 25 << 100 << qint64(0);
    QTest::newRow("four connections of one address") << 1 << 4 << 0 << 40 << qint64(0);
    QTest::newRow("eight addresses") << 8 << 1 << 0 << 40 << qint64(0);
    QTest::newRow("past the day's cap") << 2 << 1 << 0 << 60 << qint64(24 * 1024);
}

// A flood is taken and acted upon whole; the day log takes a share of it in
// every second, per address and for all agents together, and counts the
// rest; past the day's cap it only counts, while the teacher's own entries
// still go in.
void ClassroomTest::floodTakesABoundedShareOfTheLog()
{
    QFETCH(int, addresses);
    QFETCH(int, connections);
    QFETCH(int, perSecond);
    QFETCH(int, packets);
    QFETCH(qint64, dailyCap);
    const int countMs = 300;
    if (dailyCap)
        eventlog::setLimits({dailyCap, countMs});
    const auto restore = qScopeGuard([] { eventlog::setLimits({}); });
    Room room;
    std::vector<Student *> flooders;
    for (int a = 1; a <= addresses; ++a)
        for (int c = 0; c < connections; ++c)
            flooders.push_back(
                    &room.join(QStringLiteral("127.0.0.%1").arg(10 + a), Student::Silent));
    QSignalSpy acted(&room.classroom, &Classroom::receiveReport);
    QElapsedTimer pace;
    pace.start();
    int sent = 0;
    for (int i = 1; i <= packets; ++i) {
        for (Student *flooder : flooders) {
            flooder->agent.sendPacket(i, packet::CloseProcess, 0, 0, QByteArray(900, '\x01'));
            ++sent;
            QVERIFY(acted.size() >= sent || QTest::qWaitFor([&] { return acted.size() >= sent; }));
        }
        if (perSecond)
            QVERIFY(QTest::qWaitFor([&] { return pace.elapsed() >= i * 1000 / perSecond; }));
    }

    QHash<QByteArray, int> perStamp;
    auto counted = [&](const char *noun) {
        return countedOut(room.data, noun);
    };
    auto logged = [&] {
        return loggedReceives(room.data, perStamp);
    };
    if (dailyCap == 0) {
        QTRY_COMPARE(logged() + counted("pakiet"), qint64(sent));
        const int share = std::min(20 * addresses, 64);
        for (auto s = perStamp.cbegin(); s != perStamp.cend(); ++s)
            QVERIFY2(s.value() <= share, s.key() + " " + QByteArray::number(s.value()));
        if (perSecond)
            QVERIFY2(perStamp.size() >= 3, QByteArray::number(perStamp.size()));
        return;
    }
    // Past the cap only the count goes in, once an interval; the teacher's
    // command goes in whatever the students did.
    QTRY_VERIFY(counted("wpis") > 0);
    room.classroom.select(room.computerOf(*flooders.front()));
    QVERIFY(room.commander.run(commands::MonitorOff, 0));
    QVERIFY(logInfos(room.data).last().startsWith("SEND: OK"));
    QVERIFY2(room.data.readLog().size() < dailyCap + 8 * 1024,
             QByteArray::number(room.data.readLog().size()));
    QVERIFY(logged() < sent);
}

// A picture's bytes are kept up to its end marker, within a limit for one
// computer and one for all, the oldest let go first.
void ClassroomTest::keptPicturesAreBounded()
{
    Room room;
    Classroom &c = room.classroom;
    const QByteArray picture = room.picture;
    room.picture += noise(1024 * 1024);
    c.environment.picturesKeptLimit = picture.size() * 5 / 2;
    for (int i = 1; i <= 3; ++i)
        room.join(QStringLiteral("127.0.0.%1").arg(i), Student::Picture);
    QSignalSpy glances(&c, &Classroom::glanceReceived);
    for (int i : {0, 1, 2, 1}) {
        if (i == 1 && glances.size() == 3)
            c.environment.pictureKeptLimit = picture.size() - 1;
        QVERIFY(c.requestGlance(c.computers()[size_t(i)]->connection, QSize(64, 64)));
        QVERIFY(glances.wait(5000));
    }
    QCOMPARE(c.computers()[0]->state.picture, QByteArray());
    QCOMPARE(c.computers()[1]->state.picture, QByteArray());
    QCOMPARE(c.computers()[2]->state.picture, picture);
}

// A computer that stops reading its socket: a glance gives up without a
// trace, a command reports the time-out and gives the connection up, and a
// walk over every computer goes on with the next at once.
void ClassroomTest::stoppedReaderIsGivenUp()
{
    Room room;
    Classroom &c = room.classroom;
    RawSocket stopped(c.MyServer->localPort(), "127.0.0.1", 2048);
    QTRY_COMPARE(c.computers().size(), size_t(1));
    const platform::ConnectionPtr sc = c.computers()[0]->connection;
    Student &next = room.join(QStringLiteral("127.0.0.2"), Student::Silent);
    const QByteArray junk(64 * 1024, 'j');
    // Full once the system takes nothing more for a while.
    for (int round = 0, idle = 0; idle < 5 && round < 500; ++round) {
        idle = sc->send(junk.constData(), junk.size()) > 0 ? 0 : idle + 1;
        if (idle)
            QTest::qWait(50);
    }
    QSignalSpy sends(&c, &Classroom::sendReport);
    QSignalSpy statuses(&c, &Classroom::statusText);
    QSignalSpy receives(&c, &Classroom::receiveReport);
    const QList<QByteArray> infosBefore = logInfos(room.data);

    // The overview's picture request: only its tile tells.
    ClassOverview overview(c, room.commander);
    overview.setActive(true);
    QCOMPARE(overview.stateOf(sc), ClassOverview::TileState::NoAnswer);
    QVERIFY(sends.isEmpty() && statuses.isEmpty() && receives.isEmpty());
    QCOMPARE(logInfos(room.data),
             infosBefore + QList<QByteArray>{cp1250::fromUnicode(u"Podgląd klasy: włączony")});
    overview.setActive(false);

    room.commander.runOnAll(commands::MonitorOff, 0);
    QCOMPARE(sends.first()[0].toString(),
             QStringLiteral("upłynął czas na wysłanie danych do: SALA-1"));
    QVERIFY(!sc->isOpen());
    QVERIFY(logInfos(room.data, "SEND: TIMEOUT").size() == 1);
    QTRY_COMPARE(next.packets.size(), 2); // the glance, the command
}

QTEST_GUILESS_MAIN(ClassroomTest)
#include "test_classroom.moc"
