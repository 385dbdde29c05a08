// The classroom and the class overview without any window: real loopback
// connections from scripted students, the real day log.
#include "commands/classoverview.h"
#include "commands/commander.h"
#include "link/classroom.h"
#include "platform/cp1250.h"
#include "storage/eventlog.h"
#include "support/rawsocket.h"
#include "support/samples.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>
#include <vector>

using commands::ClassOverview;

namespace {

// A student computer that answers every screen request with its picture,
// without one (the agent's "no screen" packet), or not at all.
class Student : public QObject
{
public:
    enum Answer { Picture, NoPicture, Silent };

    Student(Answer answer, const QByteArray &jpeg)
        : m_answer(answer)
        , m_jpeg(jpeg)
    {
        connect(&agent.socket(), &QTcpSocket::readyRead, this, &Student::read);
    }

    TestAgent agent;
    int requests = 0;
    QList<QByteArray> packets; // every packet text the console sent, as it came
    // The picture right behind its announcement, in one write.
    bool glued = false;
    std::function<void()> onRequest;

private:
    void read()
    {
        m_inbox += agent.socket().readAll();
        // Every packet of the console begins with the pass value; its last
        // field may hold a "|" of its own.
        const QByteArray start = QByteArray::number(packet::PassValue) + '|';
        while (m_inbox.count('|') >= 9) {
            const qsizetype next = m_inbox.indexOf(start, 1);
            const QByteArray text = next < 0 ? m_inbox : m_inbox.left(next);
            m_inbox.remove(0, text.size());
            packets << text;
            PacketRecord p{};
            ParsePacketText(text, p);
            if (p.iCommand == packet::ScreenShot)
                answer();
        }
    }

    // As an agent does: the announcement, a pause, the picture; one request
    // after another.
    void answer()
    {
        ++requests;
        if (onRequest)
            onRequest();
        if (m_answer != Silent && ++m_pending == 1)
            answerNext();
    }

    void answerNext()
    {
        const bool picture = m_answer == Picture;
        agent.socket().write(TestAgent::packetText(++m_number, packet::ScreenShot,
                                                   picture ? packet::ScreenAnnounceFlag
                                                           : packet::ScreenCloseWaitFlag,
                                                   picture ? qint32(m_jpeg.size()) : 0)
                             + (glued ? m_jpeg : QByteArray()));
        QTimer::singleShot(GapMs, this, [this, picture] {
            if (picture && !glued)
                agent.socket().write(m_jpeg);
            QTimer::singleShot(GapMs, this, [this] {
                if (--m_pending > 0)
                    answerNext();
            });
        });
    }

    static constexpr int GapMs = 20;
    int m_pending = 0;
    Answer m_answer;
    QByteArray m_jpeg;
    QByteArray m_inbox;
    qint32 m_number = 1000;
};

// A classroom listening on a free port, with its students.
struct Room
{
    Room()
    {
        Classroom::listenPortOverride = 0;
        classroom.environment.streamTimings.firstSleepMs = 0;
        classroom.ShowLocalHostInfo();
        classroom.StartServer();
    }
    ~Room() { Classroom::listenPortOverride = -1; }

    Student &join(const QString &address, Student::Answer answer)
    {
        students.push_back(std::make_unique<Student>(answer, picture));
        Student &student = *students.back();
        const size_t before = classroom.computers().size();
        if (!student.agent.socket().bind(QHostAddress(address), 0)
            || !student.agent.connectTo(classroom.MyServer->localPort()))
            qFatal("no connection from %s", qPrintable(address));
        if (!QTest::qWaitFor([&] { return classroom.computers().size() == before + 1; }))
            qFatal("%s not listed", qPrintable(address));
        return student;
    }
    Computer *computerOf(const Student &student) const
    {
        for (Computer *c : classroom.computers())
            if (c->port == student.agent.localPort())
                return c;
        return nullptr;
    }
    platform::ConnectionPtr connectionOf(const Student &student) const
    {
        const Computer *c = computerOf(student);
        return c ? c->connection : nullptr;
    }

    TempDataHome data;
    ClassroomNames names{{{"127.0.0.1", "SALA-1"},
                          {"127.0.0.2", "SALA-2"},
                          {"127.0.0.3", "SALA-3"},
                          {"127.0.0.9", "SALA-9"},
                          {"127.0.0.10", "SALA-10"}}};
    QByteArray picture = jpegBytes(quarteredPicture(640, 360));
    Classroom classroom;
    commands::Commander commander{classroom};
    std::vector<std::unique_ptr<Student>> students;
};

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
    void streamRightBehindItsAnnouncement_data();
    void streamRightBehindItsAnnouncement();
    void glancesLeaveNoTrace();
    void overviewAsksEachOnceARoundAndLogsOnlyItsSwitching();
    void overviewYieldsToTheTeacher_data();
    void overviewYieldsToTheTeacher();
    void overviewAsksUpToItsBoundAtOnce();
    void overviewAsksAnsweringComputersFirst_data();
    void overviewAsksAnsweringComputersFirst();
    void silentComputerIsMarkedOnce_data();
    void silentComputerIsMarkedOnce();
    void overviewWaitsItsInterval_data();
    void overviewWaitsItsInterval();
    void overviewLeavesTheQuestionFirst();
    void eachComputerItsOwnChannel_data();
    void eachComputerItsOwnChannel();
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

    // Received entries by the second their stamps show.
    QHash<QByteArray, int> perStamp;
    auto counted = [&](const char *noun) {
        qint64 sum = 0;
        for (const QByteArray &entry : logInfos(room.data, "pomini\xeato w dzienniku"))
            if (entry.split(' ')[4].startsWith(noun))
                sum += entry.split(' ')[3].toLongLong();
        return sum;
    };
    auto logged = [&] {
        perStamp.clear();
        int all = 0;
        const QList<QByteArray> lines = room.data.readLog().split('\n');
        for (qsizetype i = 1; i < lines.size(); ++i) {
            if (lines[i].startsWith("Info: RCV")) {
                ++perStamp[lines[i - 1].trimmed()];
                ++all;
            }
        }
        return all;
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

void ClassroomTest::streamRightBehindItsAnnouncement_data()
{
    QTest::addColumn<bool>("glance");
    // A fill byte before the picture's end marker, and bytes after it.
    QTest::addColumn<bool>("fill");
    QTest::newRow("the teacher's picture") << false << false;
    QTest::newRow("a glance") << true << false;
    QTest::newRow("the teacher's picture with a fill byte") << false << true;
    QTest::newRow("a glance with a fill byte") << true << true;
}

// An agent that sends its picture in the same burst as the announcement:
// the bytes after the announcement's text are the picture's first.
void ClassroomTest::streamRightBehindItsAnnouncement()
{
    QFETCH(bool, glance);
    QFETCH(bool, fill);
    Room room;
    Classroom &c = room.classroom;
    QByteArray kept = room.picture;
    if (fill) {
        kept.insert(kept.size() - 2, '\xFF');
        room.picture = kept + QByteArray("\x00tail\xFF\xD9more", 11);
    }
    Student &student = room.join(QStringLiteral("127.0.0.1"), Student::Picture);
    student.glued = true;
    QSignalSpy teacher(&c, &Classroom::streamReceived);
    QSignalSpy glances(&c, &Classroom::glanceReceived);

    if (glance) {
        QVERIFY(c.requestGlance(room.connectionOf(student), QSize(160, 160)));
    } else {
        QVERIFY(c.send(room.computerOf(student), commands::prepare(commands::ScreenShot, 0)));
    }
    QSignalSpy &done = glance ? glances : teacher;
    QVERIFY(done.wait(5000));

    const auto result = done[0][glance ? 1 : 0].value<StreamReception::Result>();
    QVERIFY(result.complete);
    QCOMPARE(result.received, room.picture.size());
    QCOMPARE(result.jpeg, kept);
    QCOMPARE(c.computers()[0]->state.picture, kept);
    QCOMPARE(result.picture.size(), glance ? QSize(160, 90) : QSize(640, 360));
    QCOMPARE(c.CurrentPacket.StreamSize, glance ? 0 : qint32(room.picture.size()));
}

// Glances and then a teacher's request: the glances' answers are fitted to
// their bound, with no report, no log
// entry and the working record untouched but for its number; the third is
// the teacher's, shown as always.
void ClassroomTest::glancesLeaveNoTrace()
{
    Room room;
    Classroom &c = room.classroom;
    room.join(QStringLiteral("127.0.0.1"), Student::Picture);
    Student &quiet = room.join(QStringLiteral("127.0.0.2"), Student::NoPicture);
    const platform::ConnectionPtr one = c.computers()[0]->connection;
    PacketRecord message = commands::prepare(commands::Message, 0);
    packet::setFieldText(message.Bufor, "tekst nauczyciela");
    QVERIFY(c.send(c.computers()[0], message));
    const PacketRecord before = c.CurrentPacket;
    const QByteArray logBefore = room.data.readLog();
    QSignalSpy reports(&c, &Classroom::statusText);
    QSignalSpy sends(&c, &Classroom::sendReport);
    QSignalSpy receives(&c, &Classroom::receiveReport);
    QSignalSpy waits(&c, &Classroom::waitEnded);
    QSignalSpy teacher(&c, &Classroom::streamReceived);
    QSignalSpy glances(&c, &Classroom::glanceReceived);
    QSignalSpy refused(&c, &Classroom::glanceRefused);

    QVERIFY(c.requestGlance(one, QSize(160, 160)));
    QVERIFY(c.requestGlance(room.connectionOf(quiet), QSize(160, 160)));
    QTRY_COMPARE(glances.size(), 1);
    QTRY_COMPARE(refused.size(), 1);
    QVERIFY(c.requestGlance(one, QSize(64, 36)));
    QTRY_COMPARE(glances.size(), 2);
    QCOMPARE(glances[0][1].value<StreamReception::Result>().picture.size(), QSize(160, 90));
    QCOMPARE(glances[1][1].value<StreamReception::Result>().picture.size(), QSize(64, 36));
    QCOMPARE(c.computers()[0]->state.picture, room.picture);
    QCOMPARE(c.computers()[0]->state.thumbnail.size(), QSize(64, 36));
    QCOMPARE(c.glancesAwaited(one), 0);
    QVERIFY(reports.isEmpty() && sends.isEmpty() && receives.isEmpty() && waits.isEmpty());
    QVERIFY(teacher.isEmpty());
    QCOMPARE(room.data.readLog(), logBefore);
    QCOMPARE(FormatPacketText(c.CurrentPacket), FormatPacketText(before));

    // The glances took their numbers of the one sequence.
    QVERIFY(c.send(c.computers()[0], commands::prepare(commands::ScreenShot, 0)));
    QCOMPARE(c.CurrentPacket.iPacketNo, before.iPacketNo + 4);
    QVERIFY(teacher.wait(5000));
    QCOMPARE(teacher[0][0].value<StreamReception::Result>().picture.size(), QSize(640, 360));
    QCOMPARE(glances.size(), 2);
    QVERIFY(room.data.readLog().contains("RCV: otrzymano dane"));
}

void ClassroomTest::overviewAsksEachOnceARoundAndLogsOnlyItsSwitching()
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
void ClassroomTest::overviewYieldsToTheTeacher_data()
{
    QTest::addColumn<bool>("decodable");
    QTest::newRow("the teacher's picture") << true;
    QTest::newRow("no picture in the teacher's stream") << false;
}

void ClassroomTest::overviewYieldsToTheTeacher()
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
void ClassroomTest::overviewAsksUpToItsBoundAtOnce()
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

void ClassroomTest::overviewAsksAnsweringComputersFirst_data()
{
    QTest::addColumn<bool>("answeringFirst"); // it joins before the silent ones
    QTest::addColumn<int>("answerTimeoutMs");
    QTest::addColumn<int>("leastAsked"); // in the 4.5 s after its first picture
    // The silent ones, failing, keep to their share of the places: it is
    // asked every second, or nearly so on a loaded machine; behind their
    // two seconds each it would be asked once or twice.
    QTest::newRow("once the silent ones have failed") << false << 2000 << 3;
    // As the first wave of silent ones gives up, it goes before the second
    // wave, which would hold every place until six seconds have passed.
    QTest::newRow("before silent ones not asked yet") << true << 3000 << 1;
}

// Twice as many silent computers as places, and one student who answers:
// once its first picture has come, it is asked before the others and the
// silent ones never hold every place.
void ClassroomTest::overviewAsksAnsweringComputersFirst()
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
        mostAsked = std::max(mostAsked, overview.outstanding());
    }
    QVERIFY2(student->requests - before >= leastAsked,
             qPrintable(QString::number(student->requests - before)));
    if (!answeringFirst)
        QCOMPARE(mostAsked, ClassOverview::MaxOutstandingFailing + 1);
}

void ClassroomTest::silentComputerIsMarkedOnce_data()
{
    // What a fourth computer does with its requests meanwhile.
    QTest::addColumn<QString>("beside");
    QTest::newRow("nothing more") << QString();
    QTest::newRow("beside a picture that trickles") << "trickles";
    QTest::newRow("beside a picture announced and never sent") << "announces";
}

// Each silent computer is marked when its own answer time has passed, not
// when that of a stream still coming from another has.
void ClassroomTest::silentComputerIsMarkedOnce()
{
    QFETCH(QString, beside);
    Room room;
    room.classroom.environment.streamTimings.idleLimit = 3000;
    Student &silent = room.join(QStringLiteral("127.0.0.1"), Student::Silent);
    Student &answering = room.join(QStringLiteral("127.0.0.2"), Student::Picture);
    // One that leaves while it is asked has gone, not fallen silent.
    Student &leaving = room.join(QStringLiteral("127.0.0.3"), Student::Silent);
    leaving.onRequest = [&leaving] { leaving.agent.close(); };
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

void ClassroomTest::overviewWaitsItsInterval_data()
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
void ClassroomTest::overviewWaitsItsInterval()
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
void ClassroomTest::overviewLeavesTheQuestionFirst()
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

void ClassroomTest::eachComputerItsOwnChannel_data()
{
    // Steps: "ask N" and "glance N" to computer 127.0.0.N; what computer N
    // sends: "picture" (announced, whole), "part" (announced, its first 100
    // bytes), "rest", "announce" (no bytes follow), "empty" (announced as
    // none), "noscreen", "answer";
    // "log": the entries for streams nobody asked for; "leave N" (last).
    QTest::addColumn<QString>("script");
    // In order: "teacher N" (the teacher's picture, from N; "teacher cut"
    // when it ended short), "glance N" ("gone" when it had left), "answer N",
    // "wait" (the teacher's wait ended), "log N", "left N", and last
    // "awaited" when a glance still waits for computer 1.
    QTest::addColumn<QString>("expected");
    QTest::newRow("unasked picture; the teacher's picture of another")
            << "1 empty, 1 part, ask 2, 2 picture, 1 rest, 1 answer, log"
            << "teacher 2, answer 1, log 1";
    QTest::newRow("glance announced without bytes; a glance of another")
            << "glance 1, 1 announce, glance 2, 2 picture"
            << "glance 2";
    QTest::newRow("slow glance; the teacher's picture of another")
            << "glance 1, 1 part, ask 2, 2 picture"
            << "teacher 2";
    QTest::newRow("slow glance; an answer of another") << "glance 1, 1 part, 2 answer"
                                                       << "answer 2";
    QTest::newRow("unasked picture and no screen while the teacher waits for another")
            << "ask 2, 1 picture, 1 noscreen, 2 picture"
            << "teacher 2";
    QTest::newRow("the teacher asks the computer a glance waits for")
            << "glance 1, ask 1, 1 picture"
            << "teacher 1";
    QTest::newRow("glance waits for 1, the teacher's picture of 2") << "glance 1, ask 2, 2 picture"
                                                                    << "teacher 2, awaited";
    QTest::newRow("a glance waiting leaves with its computer") << "glance 1, leave 1"
                                                               << "left 1";
    QTest::newRow("a glance's stream ends as its computer leaves") << "glance 1, 1 part, leave 1"
                                                                   << "glance gone, left 1";
    QTest::newRow("the teacher's stream ends as its computer leaves") << "ask 1, 1 part, leave 1"
                                                                      << "teacher cut, left 1";
    QTest::newRow("glance waits for 1, 2 has no screen") << "glance 1, ask 2, 2 noscreen"
                                                         << "wait, awaited";
    // "giveup N": the overview waits no longer for N's picture.
    QTest::newRow("a late announcement after the overview gave up")
            << "glance 1, giveup 1, 1 picture, glance 2, 2 picture, log"
            << "glance 2, log 1";
}

// One computer's stream, asked for or not, holds up no other computer, and
// an answer goes to the request of its own connection: only the picture
// asked of the teacher's computer reaches the teacher, only its "no screen"
// ends the teacher's wait, and the teacher goes before a glance.
void ClassroomTest::eachComputerItsOwnChannel()
{
    QFETCH(QString, script);
    QFETCH(QString, expected);
    Room room;
    Classroom &c = room.classroom;
    c.environment.streamTimings.idleLimit = 3000; // far longer than the test waits
    room.join(QStringLiteral("127.0.0.1"), Student::Silent);
    room.join(QStringLiteral("127.0.0.2"), Student::Silent);
    // A closed connection has no address any more.
    auto from = [](const platform::ConnectionPtr &connection) {
        const QByteArray address = connection->peerAddress();
        return address.isEmpty() ? QStringLiteral("gone") : QString::fromLatin1(address.right(1));
    };
    QStringList seen;
    const platform::ConnectionPtr one = c.computers()[0]->connection;
    connect(&c, &Classroom::streamReceived, &c, [&](const StreamReception::Result &r) {
        seen << (r.complete ? "teacher " + r.peerAddress.right(1) : QStringLiteral("teacher cut"));
        if (r.complete)
            QCOMPARE(r.picture.size(), QSize(640, 360));
    });
    connect(&c, &Classroom::glanceReceived, &c,
            [&](const platform::ConnectionPtr &s) { seen << "glance " + from(s); });
    connect(&c, &Classroom::answerReceived, &c,
            [&](Computer *computer) { seen << "answer " + from(computer->connection); });
    connect(&c, &Classroom::waitEnded, &c, [&] { seen << QStringLiteral("wait"); });
    const QByteArray &picture = room.picture;
    auto bytesOf = [&](const QString &what, qint32 number) {
        const QByteArray announcement = TestAgent::packetText(
                number, 2, 1, what == QLatin1String("empty") ? 0 : qint32(picture.size()));
        if (what == QLatin1String("rest"))
            return picture.mid(100);
        if (what == QLatin1String("noscreen") || what == QLatin1String("answer"))
            return TestAgent::packetText(number, what == QLatin1String("answer") ? 6 : 2,
                                         what == QLatin1String("answer") ? 1 : 2);
        return announcement
               + (what == QLatin1String("picture") ? picture
                  : what == QLatin1String("part")  ? picture.left(100)
                                                   : QByteArray());
    };

    qint32 number = 0;
    for (const QString &step : script.split(QStringLiteral(", "))) {
        const QString first = step.section(u' ', 0, 0);
        const int computer = (first.toInt() ? first : step.section(u' ', 1)).toInt() - 1;
        const platform::ConnectionPtr connection
                = c.computers()[size_t(std::max(0, computer))]->connection;
        if (first == QLatin1String("ask")) {
            PacketRecord ask{};
            ask.iCommand = packet::ScreenShot;
            QVERIFY(c.SendPacket(connection, ask));
        } else if (first == QLatin1String("glance")) {
            QVERIFY(c.requestGlance(connection, QSize(160, 160)));
        } else if (first == QLatin1String("leave")) {
            room.students[size_t(computer)]->agent.close();
            QTRY_COMPARE(c.computers().size(), size_t(1));
            seen << "left " + step.section(u' ', 1);
        } else if (first == QLatin1String("giveup")) {
            c.giveUpGlances(connection);
        } else if (first == QLatin1String("log")) {
            seen << QStringLiteral("log %1").arg(logInfos(room.data, "RCV: pomi").size());
        } else {
            room.students[size_t(computer)]->agent.send(bytesOf(step.section(u' ', 1), ++number));
            QTRY_COMPARE(connection->bytesWaiting(), 0);
        }
    }
    // Streams end in their own time: the order among them is theirs.
    auto outcome = [&] {
        QStringList all = seen;
        all.sort();
        return all + (c.glancesAwaited(one) ? QStringList{"awaited"} : QStringList{});
    };
    QStringList wanted = expected.split(QStringLiteral(", "));
    wanted.sort();
    if (wanted.removeAll(QStringLiteral("awaited")))
        wanted << QStringLiteral("awaited");
    QTRY_COMPARE(outcome(), wanted);
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
