// The class overview without any window: whom it asks for a picture and
// when, what its tiles show and what it logs, with scripted students on
// real loopback connections and the real day log.
#include "commands/classoverview.h"
#include "commands/commander.h"
#include "link/classroom.h"
#include "platform/cp1250.h"
#include "support/samples.h"
#include "support/studentroom.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <algorithm>

using commands::ClassOverview;
using namespace scripted;

class ClassOverviewTest : public QObject
{
    Q_OBJECT
private slots:
    void overviewAsksEachOnceARoundAndLogsOnlyItsSwitching();
    void overviewYieldsToTheTeacher_data();
    void overviewYieldsToTheTeacher();
    void overviewAsksUpToItsBoundAtOnce();
    void overviewKeepsPlacesForAnsweringComputers_data();
    void overviewKeepsPlacesForAnsweringComputers();
    void silentComputerIsMarkedOnce_data();
    void silentComputerIsMarkedOnce();
    void overviewWaitsItsInterval_data();
    void overviewWaitsItsInterval();
    void overviewLeavesTheQuestionFirst();
};

void ClassOverviewTest::overviewAsksEachOnceARoundAndLogsOnlyItsSwitching()
{
    Room room;
    QList<int> order;
    for (int i = 1; i <= 3; ++i) {
        Student &s = room.join(QStringLiteral("127.0.0.%1").arg(i), Student::Picture);
        s.onRequest = [&order, i] {
            order << i;
        };
    }
    ClassOverview overview(room.classroom, room.commander);
    overview.setIntervalSeconds(1);
    QSignalSpy tiles(&room.classroom.roster(), &Roster::changed);

    overview.setActive(true);
    QTRY_VERIFY_WITH_TIMEOUT(order.size() >= 6, 10000);
    overview.setActive(false);

    // Each once a round.
    for (int round = 0; round < 2; ++round) {
        QList<int> asked = order.mid(round * 3, 3);
        std::sort(asked.begin(), asked.end());
        QCOMPARE(asked, (QList<int>{1, 2, 3}));
    }
    for (const Computer *c : room.classroom.computers()) {
        QCOMPARE(overview.stateOf(c->connection), ClassOverview::TileState::Current);
        QCOMPARE(c->state.picture, room.picture);
        QVERIFY(c->state.thumbnail.width() <= overview.thumbnailBound().width());
    }
    QVERIFY(tiles.size() >= 3);
    const QList<QByteArray> entries = logInfos(room.data, cp1250::fromUnicode(u"Podgląd"));
    QCOMPARE(entries, (QList<QByteArray>{cp1250::fromUnicode(u"Podgląd klasy: włączony"),
                                         cp1250::fromUnicode(u"Podgląd klasy: wyłączony")}));
    QVERIFY(logInfos(room.data, "SEND").isEmpty());
    QVERIFY(logInfos(room.data, "RCV").isEmpty());
    QCOMPARE(room.data.readFile(QStringLiteral("settings.set")).contains("<OVERVIEW INTERVAL>1"),
             true);
}

// While the teacher waits for a picture no glance goes out. The teacher's
// picture is then the tile's, asked again an interval later; a stream that
// is no picture leaves the tile, and the computer alone for the grace.
void ClassOverviewTest::overviewYieldsToTheTeacher_data()
{
    QTest::addColumn<bool>("decodable");
    QTest::newRow("the teacher's picture") << true;
    QTest::newRow("no picture in the teacher's stream") << false;
}

void ClassOverviewTest::overviewYieldsToTheTeacher()
{
    QFETCH(bool, decodable);
    Room room;
    if (!decodable)
        room.picture = QByteArray(4096, 'x');
    Student &asked = room.join(QStringLiteral("127.0.0.1"), Student::Picture);
    Student &other = room.join(QStringLiteral("127.0.0.2"), Student::Picture);
    ClassOverview overview(room.classroom, room.commander);
    overview.timings.teacherGraceMs = 60000;
    overview.setIntervalSeconds(1);
    int glancesDuringWait = -1;
    QSignalSpy teacher(&room.classroom, &Classroom::streamReceived);
    connect(&room.classroom, &Classroom::streamReceived, &overview,
            [&] { glancesDuringWait = asked.requests - 1 + other.requests; });
    QElapsedTimer sinceTile;
    qint64 askedAgainAfter = -1;
    asked.onRequest = [&] {
        if (asked.requests == 2 && sinceTile.isValid())
            askedAgainAfter = sinceTile.elapsed();
    };
    Computer *shown = room.computerOf(asked);
    QImage tilePicture;
    connect(&room.classroom.roster(), &Roster::changed, &overview, [&](Computer *computer) {
        if (computer == shown && !sinceTile.isValid()
            && overview.stateOf(shown->connection) == ClassOverview::TileState::Current) {
            sinceTile.start();
            tilePicture = shown->state.thumbnail;
        }
    });

    room.classroom.select(shown);
    QVERIFY(room.commander.run(commands::ScreenShot, 0));
    overview.setActive(true);
    QVERIFY(teacher.wait(5000));
    QTest::qWait(4000);
    QTRY_VERIFY_WITH_TIMEOUT(other.requests >= 2, 10000);

    QCOMPARE(glancesDuringWait, 0);
    QCOMPARE(sinceTile.isValid() && !tilePicture.isNull(), decodable);
    QCOMPARE(tilePicture.size().boundedTo(overview.thumbnailBound()), tilePicture.size());
    // Asked again, and only an interval after the teacher's picture.
    QTRY_COMPARE(askedAgainAfter >= 950, decodable);
    QCOMPARE(asked.requests > 1, decodable);
}

// As many computers as the bound are asked at once and no more; the
// teacher's picture request takes a glance's place, and no other is asked
// until the teacher's wait is over.
void ClassOverviewTest::overviewAsksUpToItsBoundAtOnce()
{
    Room room;
    for (int i = 1; i <= ClassOverview::MaxOutstanding + 1; ++i)
        room.join(QStringLiteral("127.0.0.%1").arg(i), Student::Silent);
    ClassOverview overview(room.classroom, room.commander);
    overview.timings.answerTimeoutMs = 60000;
    overview.timings.teacherWaitMs = 1000;
    // One round asks them all: none is left to the next.
    overview.setIntervalSeconds(ClassOverview::MaxIntervalSeconds);
    auto asked = [&room] {
        return std::count_if(room.students.begin(), room.students.end(),
                             [](const auto &s) { return s->requests > 0; });
    };

    overview.setActive(true);
    QTRY_COMPARE(asked(), ClassOverview::MaxOutstanding);
    QCOMPARE(overview.outstanding(), ClassOverview::MaxOutstanding);
    const auto first = std::find_if(room.students.begin(), room.students.end(),
                                    [](const auto &s) { return s->requests > 0; });
    room.classroom.select(room.computerOf(**first));
    QVERIFY(room.commander.run(commands::ScreenShot, 0));
    QCOMPARE(overview.outstanding(), ClassOverview::MaxOutstanding - 1);
    QCOMPARE(asked(), ClassOverview::MaxOutstanding);
    QTRY_COMPARE(asked(), ClassOverview::MaxOutstanding + 1);
    QCOMPARE(overview.outstanding(), ClassOverview::MaxOutstanding);
}

void ClassOverviewTest::overviewKeepsPlacesForAnsweringComputers_data()
{
    QTest::addColumn<bool>("answeringFirst"); // it joins before the silent ones
    QTest::addColumn<int>("answerTimeoutMs");
    QTest::addColumn<int>("leastAsked"); // in the 4.5 s after its first picture
    // The silent ones, failing, keep to their share of the places: it is
    // asked every second, or nearly so on a loaded machine; behind their
    // two seconds each it would be asked once or twice.
    QTest::newRow("once the silent ones have failed") << false << 2000 << 3;
    // As the first wave of silent ones gives up, the second wave, not known
    // to answer either, leaves it a place: all of them would hold every
    // place until six seconds have passed.
    QTest::newRow("beside silent ones not asked yet") << true << 3000 << 1;
}

// Twice as many silent computers as places, and one student who answers:
// once its first picture has come, the silent ones never hold every place,
// and it is asked again each time its interval has passed.
void ClassOverviewTest::overviewKeepsPlacesForAnsweringComputers()
{
    QFETCH(bool, answeringFirst);
    QFETCH(int, answerTimeoutMs);
    QFETCH(int, leastAsked);
    Room room;
    Student *student = nullptr;
    if (answeringFirst)
        student = &room.join(QStringLiteral("127.0.0.99"), Student::Picture);
    for (int i = 1; i <= 2 * ClassOverview::MaxOutstanding; ++i)
        room.join(QStringLiteral("127.0.0.%1").arg(i), Student::Silent);
    if (!answeringFirst)
        student = &room.join(QStringLiteral("127.0.0.99"), Student::Picture);
    ClassOverview overview(room.classroom, room.commander);
    overview.timings.answerTimeoutMs = answerTimeoutMs;
    overview.setIntervalSeconds(1);
    overview.setActive(true);
    const platform::ConnectionPtr connection = room.connectionOf(*student);
    QTRY_COMPARE_WITH_TIMEOUT(overview.stateOf(connection), ClassOverview::TileState::Current,
                              15000);

    const int before = student->requests;
    QElapsedTimer clock;
    clock.start();
    int mostAsked = 0;
    while (clock.elapsed() < 4500) {
        QTest::qWait(20);
        // Once the requests made before its first picture have ended.
        if (clock.elapsed() > answerTimeoutMs)
            mostAsked = std::max(mostAsked, overview.outstanding());
    }
    QVERIFY2(student->requests - before >= leastAsked,
             qPrintable(QString::number(student->requests - before)));
    if (!answeringFirst)
        QCOMPARE(mostAsked, ClassOverview::MaxOutstandingDoubtful + 1);
}

void ClassOverviewTest::silentComputerIsMarkedOnce_data()
{
    // What a fourth computer does with its requests meanwhile.
    QTest::addColumn<QString>("beside");
    QTest::newRow("nothing more") << QString();
    QTest::newRow("beside a picture that trickles") << "trickles";
    QTest::newRow("beside a picture announced and never sent") << "announces";
}

// Each silent computer is marked when its own answer time has passed, not
// when that of a stream still coming from another has.
void ClassOverviewTest::silentComputerIsMarkedOnce()
{
    QFETCH(QString, beside);
    Room room;
    room.classroom.environment.streamTimings.idleLimit = 3000;
    Student &silent = room.join(QStringLiteral("127.0.0.1"), Student::Silent);
    Student &answering = room.join(QStringLiteral("127.0.0.2"), Student::Picture);
    // One that leaves while it is asked has gone, not fallen silent.
    Student &leaving = room.join(QStringLiteral("127.0.0.3"), Student::Silent);
    leaving.onRequest = [&leaving] {
        leaving.agent.close();
    };
    QTimer trickle;
    if (!beside.isEmpty()) {
        Student &slow = room.join(QStringLiteral("127.0.0.9"), Student::Silent);
        slow.onRequest = [&slow, &trickle, beside] {
            slow.agent.socket().write(TestAgent::packetText(slow.requests, packet::ScreenShot,
                                                            packet::ScreenAnnounceFlag, 1 << 20));
            if (beside == u"trickles") {
                QObject::connect(&trickle, &QTimer::timeout, &slow,
                                 [&slow] { slow.agent.socket().write(QByteArray(100, 'x')); });
                trickle.start(100);
            }
        };
    }
    ClassOverview overview(room.classroom, room.commander);
    overview.timings.answerTimeoutMs = 5000;
    // Far beyond the test: only the silent computer's own time counts.
    overview.timings.streamTimeoutMs = 60000;
    overview.setIntervalSeconds(1);

    overview.setActive(true);
    // The silent computer's request holds up no other tile.
    QTRY_VERIFY_WITH_TIMEOUT(answering.requests >= 2, 10000);
    QCOMPARE(silent.requests, 1);
    QCOMPARE(overview.stateOf(room.connectionOf(silent)), ClassOverview::TileState::Waiting);
    QTRY_VERIFY_WITH_TIMEOUT(silent.requests >= 2, 10000);

    QCOMPARE(overview.stateOf(room.connectionOf(silent)), ClassOverview::TileState::NoAnswer);
    QCOMPARE(overview.stateOf(room.connectionOf(answering)), ClassOverview::TileState::Current);
    QCOMPARE(logInfos(room.data, cp1250::fromUnicode(u"Podgląd klasy: brak")),
             (QList<QByteArray>{cp1250::fromUnicode(u"Podgląd klasy: brak odpowiedzi od "
                                                    u"127.0.0.1 (SALA-1)")}));
    // A computer that leaves shows it.
    const platform::ConnectionPtr gone = room.connectionOf(silent);
    silent.agent.close();
    QTRY_COMPARE(overview.stateOf(gone), ClassOverview::TileState::Disconnected);
}

void ClassOverviewTest::overviewWaitsItsInterval_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("most"); // requests in 3.5 s
    QTest::newRow("a picture") << int(Student::Picture) << 4;
    // Backing off: asked at 0, then 2 s later, then 4 s after that.
    QTest::newRow("no picture") << int(Student::NoPicture) << 2;
    QTest::newRow("no answer") << int(Student::Silent) << 2;
}

// Each way a glance ends asks again only once the interval has passed: in
// 3.5 s a 1 s interval asks four times, or less on a loaded machine, never
// more; one that brought no picture waits twice as long each time.
void ClassOverviewTest::overviewWaitsItsInterval()
{
    QFETCH(int, answer);
    QFETCH(int, most);
    Room room;
    Student &student = room.join(QStringLiteral("127.0.0.1"), Student::Answer(answer));
    ClassOverview overview(room.classroom, room.commander);
    overview.timings.answerTimeoutMs = 100;
    overview.setIntervalSeconds(1);

    overview.setActive(true);
    QTRY_VERIFY(student.requests >= 1);
    QTest::qWait(3500);
    QVERIFY2(student.requests <= most, qPrintable(QString::number(student.requests)));
}

// A student with the teacher's question to answer is asked for no picture,
// which it would send before its answer, until it has answered.
void ClassOverviewTest::overviewLeavesTheQuestionFirst()
{
    Room room;
    Student &student = room.join(QStringLiteral("127.0.0.1"), Student::Picture);
    Student &other = room.join(QStringLiteral("127.0.0.2"), Student::Picture);
    ClassOverview overview(room.classroom, room.commander);
    overview.setIntervalSeconds(1);
    overview.setActive(true);
    QTRY_VERIFY(student.requests >= 1);

    room.commander.sendPoll(QStringLiteral("Czy skończyłeś?"), Poll::YesNo);
    QTRY_COMPARE(student.packets.last().split('|')[3], QByteArray("6"));
    const int before = student.requests;
    const int otherBefore = other.requests;
    QTest::qWait(2500);
    QCOMPARE(student.requests, before);
    // The other student has not answered either: neither is asked.
    QCOMPARE(other.requests, otherBefore);

    student.agent.sendPacket(5000, packet::Message, packet::AnswerYes);
    QTRY_VERIFY_WITH_TIMEOUT(student.requests > before, 3000);
    QCOMPARE(other.requests, otherBefore);
}

QTEST_GUILESS_MAIN(ClassOverviewTest)
#include "test_classoverview.moc"
