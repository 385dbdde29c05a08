// The classroom and the class overview without any window: real loopback
// connections from scripted students, the real day log.
#include "commands/classoverview.h"
#include "commands/commander.h"
#include "link/classroom.h"
#include "platform/cp1250.h"
#include "support/rawsocket.h"
#include "support/samples.h"

#include <QElapsedTimer>
#include <QHostAddress>
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
    platform::ConnectionPtr connectionOf(const Student &student) const
    {
        for (const Computer &c : classroom.computers())
            if (c.port == student.agent.localPort())
                return c.connection;
        return {};
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
    void listKeepsAddressOrder();
    void nothingOfOneStudentReachesAnother_data();
    void nothingOfOneStudentReachesAnother();
    void floodTakesABoundedShareOfTheLog();
    void keptPicturesAreBounded();
    void streamRightBehindItsAnnouncement_data();
    void streamRightBehindItsAnnouncement();
    void glancesLeaveNoTrace();
    void overviewAsksEachOnceARoundAndLogsOnlyItsSwitching();
    void overviewYieldsToTheTeacher_data();
    void overviewYieldsToTheTeacher();
    void overviewAsksUpToItsBoundAtOnce();
    void silentComputerIsMarkedOnce();
    void overviewWaitsItsInterval_data();
    void overviewWaitsItsInterval();
    void eachComputerItsOwnChannel_data();
    void eachComputerItsOwnChannel();
    void stoppedReaderIsGivenUp();
};

// The list orders by the address text, reports each computer's place as it
// joins and leaves, and keeps what it learnt of each with it.
void ClassroomTest::listKeepsAddressOrder()
{
    Room room;
    QSignalSpy joined(&room.classroom, &Classroom::computerJoined);
    QSignalSpy left(&room.classroom, &Classroom::computerLeft);
    for (const char *address : {"127.0.0.9", "127.0.0.10", "127.0.0.2"})
        room.join(QString::fromLatin1(address), Student::Silent);
    Student &nine = *room.students[0];
    room.classroom.computerOf(room.connectionOf(nine))->state.answer = QStringLiteral("TAK");

    auto addresses = [&] {
        QList<QByteArray> list;
        for (const Computer &c : room.classroom.computers())
            list << c.address;
        return list;
    };
    QCOMPARE(addresses(), (QList<QByteArray>{"127.0.0.10", "127.0.0.2", "127.0.0.9"}));
    QCOMPARE(joined.size(), 3);
    QCOMPARE((QList<int>{joined[0][0].toInt(), joined[1][0].toInt(), joined[2][0].toInt()}),
             (QList<int>{0, 0, 1}));
    QCOMPARE(room.classroom.computers()[2].state.answer, QStringLiteral("TAK"));
    // Names are looked up beside the list, not before it.
    QTRY_COMPARE(room.classroom.computers()[2].hostName, QByteArray("SALA-9"));

    room.students[2]->agent.close(); // 127.0.0.2
    QVERIFY(left.wait(5000));
    QCOMPARE(left[0][0].toInt(), 1);
    QCOMPARE(addresses(), (QList<QByteArray>{"127.0.0.10", "127.0.0.9"}));
    QCOMPARE(room.classroom.computers()[1].state.answer, QStringLiteral("TAK"));

    // More agents from one address come after it, in the order they came.
    Student &second = room.join(QStringLiteral("127.0.0.9"), Student::Silent);
    Student &third = room.join(QStringLiteral("127.0.0.9"), Student::Silent);
    QCOMPARE(joined[3][0].toInt(), 2);
    QCOMPARE(joined[4][0].toInt(), 3);
    QList<quint16> ports;
    for (const Computer &c : room.classroom.computers())
        ports << c.port;
    QCOMPARE(ports.mid(1), (QList<quint16>{nine.agent.localPort(), second.agent.localPort(),
                                           third.agent.localPort()}));

    // A second program from the same computer and name comes and goes: its
    // own row goes, the agent's stays.
    room.join(QStringLiteral("127.0.0.9"), Student::Silent).agent.close();
    QVERIFY(left.wait(5000));
    QCOMPARE(left[1][0].toInt(), 4);
    QCOMPARE(room.classroom.computers()[1].connection, room.connectionOf(nine));
    QCOMPARE(room.classroom.computers()[1].state.answer, QStringLiteral("TAK"));

    // The middle one of an address leaves: the one after it moves up.
    second.agent.close();
    QVERIFY(left.wait(5000));
    QCOMPARE(left[2][0].toInt(), 2);
    QCOMPARE(room.classroom.indexOf(room.connectionOf(third)), 2);
}

void ClassroomTest::nothingOfOneStudentReachesAnother_data()
{
    QTest::addColumn<QString>("way");
    QTest::addColumn<QByteArray>("bufor");
    QTest::newRow("the teacher's command") << "command" << QByteArray();
    QTest::newRow("a glance") << "glance" << QByteArray();
    QTest::newRow("a typed-answer poll") << "poll" << QByteArray("Ile?");
}

// Y's answer fills every field and holds a packet text of its own; the next
// packet to X carries none of it, only its number follows Y's.
void ClassroomTest::nothingOfOneStudentReachesAnother()
{
    QFETCH(QString, way);
    QFETCH(QByteArray, bufor);
    Room room;
    Student &x = room.join(QStringLiteral("127.0.0.1"), Student::Silent);
    Student &y = room.join(QStringLiteral("127.0.0.2"), Student::Silent);
    QSignalSpy received(&room.classroom, &Classroom::receiveReport);
    y.agent.send("48213|77|2|6|4096|31337|calc.exe|Okno|48213|900|0|3|0|0|calc.exe|||");
    QVERIFY(received.wait(5000));

    room.classroom.select("127.0.0.1");
    if (way == u"command")
        room.commander.run(commands::MonitorOff, 0);
    else if (way == u"glance")
        room.classroom.requestGlance(room.connectionOf(x), QSize(160, 160));
    else
        room.commander.sendPoll(QString::fromLatin1(bufor), Poll::Typed);
    QTRY_COMPARE(x.packets.size(), 1);
    const QList<QByteArray> fields = wireFields(x.packets[0]);
    QCOMPARE(fields.mid(1),
             (QList<QByteArray>{"78", fields[2], fields[3], "0", "0", "", "", bufor}));
}

// A flood is taken and acted upon whole; the day log takes its share a
// second and counts the rest.
void ClassroomTest::floodTakesABoundedShareOfTheLog()
{
    Room room;
    Student &flooder = room.join(QStringLiteral("127.0.0.5"), Student::Silent);
    QSignalSpy acted(&room.classroom, &Classroom::statusText);
    QElapsedTimer clock;
    clock.start();
    for (int i = 1; i <= 100; ++i) {
        flooder.agent.sendPacket(i, packet::CloseProcess, 0);
        QVERIFY(acted.size() >= i || acted.wait(5000));
    }
    const int logged = int(logInfos(room.data, "RCV").size());
    QVERIFY(logged <= 20 * (clock.elapsed() / 1000 + 2));
    auto counted = [&] {
        int sum = logged;
        for (const QByteArray &entry : logInfos(room.data, "pomini\xeato"))
            sum += entry.split(' ')[3].toInt();
        return sum;
    };
    QTRY_COMPARE(counted(), 100);
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
        QVERIFY(c.requestGlance(c.computers()[size_t(i)].connection, QSize(64, 64)));
        QVERIFY(glances.wait(5000));
    }
    QCOMPARE(c.computers()[0].state.picture, QByteArray());
    QCOMPARE(c.computers()[1].state.picture, QByteArray());
    QCOMPARE(c.computers()[2].state.picture, picture);
}

void ClassroomTest::streamRightBehindItsAnnouncement_data()
{
    QTest::addColumn<bool>("glance");
    QTest::newRow("the teacher's picture") << false;
    QTest::newRow("a glance") << true;
}

// An agent that sends its picture in the same burst as the announcement:
// the bytes after the announcement's text are the picture's first.
void ClassroomTest::streamRightBehindItsAnnouncement()
{
    QFETCH(bool, glance);
    Room room;
    Classroom &c = room.classroom;
    Student &student = room.join(QStringLiteral("127.0.0.1"), Student::Picture);
    student.glued = true;
    QSignalSpy teacher(&c, &Classroom::streamReceived);
    QSignalSpy glances(&c, &Classroom::glanceReceived);

    if (glance) {
        QVERIFY(c.requestGlance(room.connectionOf(student), QSize(160, 160)));
    } else {
        c.CurrentPacket.iCommand = packet::ScreenShot;
        c.CurrentPacket.iFlag = 0;
        QVERIFY(c.SendPacket(room.connectionOf(student), c.CurrentPacket));
    }
    QSignalSpy &done = glance ? glances : teacher;
    QVERIFY(done.wait(5000));

    const auto result = done[0][glance ? 1 : 0].value<StreamReception::Result>();
    QVERIFY(result.complete);
    QCOMPARE(result.received, room.picture.size());
    QCOMPARE(result.jpeg, room.picture);
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
    const platform::ConnectionPtr one = c.computers()[0].connection;
    packet::setFieldText(c.CurrentPacket.Bufor, "tekst nauczyciela");
    c.CurrentPacket.iCommand = packet::Message;
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
    QCOMPARE(c.computers()[0].state.picture, room.picture);
    QCOMPARE(c.computers()[0].state.thumbnail.size(), QSize(64, 36));
    QCOMPARE(c.glancesAwaited(one), 0);
    QVERIFY(reports.isEmpty() && sends.isEmpty() && receives.isEmpty() && waits.isEmpty());
    QVERIFY(teacher.isEmpty());
    QCOMPARE(room.data.readLog(), logBefore);
    QCOMPARE(c.CurrentPacket.iPacketNo, before.iPacketNo + 3);
    PacketRecord expected = before;
    expected.iPacketNo = c.CurrentPacket.iPacketNo;
    QCOMPARE(FormatPacketText(c.CurrentPacket), FormatPacketText(expected));

    c.CurrentPacket.iCommand = packet::ScreenShot;
    c.CurrentPacket.iFlag = 0;
    QVERIFY(c.SendPacket(one, c.CurrentPacket));
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
    QSignalSpy tiles(&overview, &ClassOverview::tileChanged);

    overview.setActive(true);
    QTRY_VERIFY_WITH_TIMEOUT(order.size() >= 6, 10000);
    overview.setActive(false);

    // Each once a round.
    for (int round = 0; round < 2; ++round) {
        QList<int> asked = order.mid(round * 3, 3);
        std::sort(asked.begin(), asked.end());
        QCOMPARE(asked, (QList<int>{1, 2, 3}));
    }
    for (const Computer &c : room.classroom.computers()) {
        QCOMPARE(overview.stateOf(c.connection), ClassOverview::TileState::Current);
        QCOMPARE(c.state.picture, room.picture);
        QVERIFY(c.state.thumbnail.width() <= overview.thumbnailBound().width());
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
    const Computer &shown = room.classroom.computers()[0];
    QImage tilePicture;
    connect(&overview, &ClassOverview::tileChanged, &overview, [&](int index) {
        if (index == 0 && !sinceTile.isValid()
            && overview.stateOf(shown.connection) == ClassOverview::TileState::Current) {
            sinceTile.start();
            tilePicture = shown.state.thumbnail;
        }
    });

    room.classroom.select("127.0.0.1");
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
    room.classroom.select((*first)->agent.socket().localAddress().toString().toLatin1());
    QVERIFY(room.commander.run(commands::ScreenShot, 0));
    QCOMPARE(overview.outstanding(), ClassOverview::MaxOutstanding - 1);
    QCOMPARE(asked(), ClassOverview::MaxOutstanding);
    QTRY_COMPARE(asked(), ClassOverview::MaxOutstanding + 1);
    QCOMPARE(overview.outstanding(), ClassOverview::MaxOutstanding);
}

void ClassroomTest::silentComputerIsMarkedOnce()
{
    Room room;
    Student &silent = room.join(QStringLiteral("127.0.0.1"), Student::Silent);
    Student &answering = room.join(QStringLiteral("127.0.0.2"), Student::Picture);
    // One that leaves while it is asked has gone, not fallen silent.
    Student &leaving = room.join(QStringLiteral("127.0.0.3"), Student::Silent);
    leaving.onRequest = [&leaving] { leaving.agent.close(); };
    ClassOverview overview(room.classroom, room.commander);
    overview.timings.answerTimeoutMs = 5000;
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
    QTest::newRow("a picture") << int(Student::Picture);
    QTest::newRow("no picture") << int(Student::NoPicture);
    QTest::newRow("no answer") << int(Student::Silent);
}

// Each way a glance ends asks again only once the interval has passed: in
// 1.5 s a 1 s interval asks twice, or less on a loaded machine, never more.
void ClassroomTest::overviewWaitsItsInterval()
{
    QFETCH(int, answer);
    Room room;
    Student &student = room.join(QStringLiteral("127.0.0.1"), Student::Answer(answer));
    ClassOverview overview(room.classroom, room.commander);
    overview.timings.answerTimeoutMs = 100;
    overview.setIntervalSeconds(1);

    overview.setActive(true);
    QTRY_VERIFY(student.requests >= 1);
    QTest::qWait(1500);
    QVERIFY2(student.requests <= 3, qPrintable(QString::number(student.requests)));
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
    const platform::ConnectionPtr one = c.computers()[0].connection;
    connect(&c, &Classroom::streamReceived, &c, [&](const StreamReception::Result &r) {
        seen << (r.complete ? "teacher " + r.peerAddress.right(1) : QStringLiteral("teacher cut"));
        if (r.complete)
            QCOMPARE(r.picture.size(), QSize(640, 360));
    });
    connect(&c, &Classroom::glanceReceived, &c,
            [&](const platform::ConnectionPtr &s) { seen << "glance " + from(s); });
    connect(&c, &Classroom::answerReceived, &c,
            [&](const platform::ConnectionPtr &s) { seen << "answer " + from(s); });
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
                = c.computers()[size_t(std::max(0, computer))].connection;
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
    const platform::ConnectionPtr sc = c.computers()[0].connection;
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
