// The pictures of the class without any window, each computer on its own
// channel: the teacher's picture, the overview's glances and what nobody
// asked for, from scripted students on real loopback connections.
#include "commands/commander.h"
#include "link/classroom.h"
#include "link/jpegimage.h"
#include "support/samples.h"
#include "support/studentroom.h"

#include <QSignalSpy>
#include <QTest>

using namespace scripted;

namespace {

// The last digit of the computer's address; a closed connection has no
// address any more.
QString from(const platform::ConnectionPtr &connection)
{
    const QByteArray address = connection->peerAddress();
    return address.isEmpty() ? QStringLiteral("gone") : QString::fromLatin1(address.right(1));
}

// What a computer sends in a step of eachComputerItsOwnChannel's script.
QByteArray bytesOf(const QByteArray &picture, const QString &what, qint32 number)
{
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
}

} // namespace

class ClassChannelsTest : public QObject
{
    Q_OBJECT
private slots:
    void streamRightBehindItsAnnouncement_data();
    void streamRightBehindItsAnnouncement();
    void glancesLeaveNoTrace();
    void eachComputerItsOwnChannel_data();
    void eachComputerItsOwnChannel();
};

void ClassChannelsTest::streamRightBehindItsAnnouncement_data()
{
    QTest::addColumn<bool>("glance");
    // A fill byte before the picture's end marker, and bytes after it.
    QTest::addColumn<bool>("fill");
    // The screen tab's bound for the teacher's picture (none: full size).
    QTest::addColumn<QSize>("tab");
    QTest::newRow("the teacher's picture") << false << false << QSize();
    QTest::newRow("a glance") << true << false << QSize();
    QTest::newRow("the teacher's picture with a fill byte") << false << true << QSize();
    QTest::newRow("a glance with a fill byte") << true << true << QSize();
    QTest::newRow("the teacher's picture fitted to the tab") << false << false << QSize(320, 320);
    QTest::newRow("the teacher's picture in a tab smaller than a tile")
            << false << false << QSize(16, 16);
}

// An agent that sends its picture in the same burst as the announcement:
// the bytes after the announcement's text are the picture's first. The
// tile shows the teacher's picture as it would show a glance's.
void ClassChannelsTest::streamRightBehindItsAnnouncement()
{
    QFETCH(bool, glance);
    QFETCH(bool, fill);
    QFETCH(QSize, tab);
    Room room;
    Classroom &c = room.classroom;
    const QSize tileBound(160, 160);
    c.setTileBound(tileBound);
    c.setScreenBound(tab);
    QByteArray kept = room.picture;
    if (fill) {
        kept.insert(kept.size() - 2, '\xFF');
        room.picture = kept + QByteArray("\x00tail\xFF\xD9more", 11);
    }
    Student &student = room.join(QStringLiteral("127.0.0.1"), Student::Picture);
    student.glued = true;
    QSignalSpy teacher(&c, &Classroom::streamReceived);
    QSignalSpy glances(&c, &Classroom::glanceReceived);
    QSignalSpy fitted(&c, &Classroom::teacherPictureFitted);

    if (glance) {
        QVERIFY(c.requestGlance(room.connectionOf(student), tileBound));
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
    const QSize full(640, 360);
    QCOMPARE(result.picture.size(),
             glance ? QSize(160, 90)
                    : (tab.isEmpty() ? full : full.scaled(tab, Qt::KeepAspectRatio)));
    QCOMPARE(c.CurrentPacket.StreamSize, glance ? 0 : qint32(room.picture.size()));
    if (!glance)
        QVERIFY(fitted.wait(5000));
    // Within a few steps of the picture decoded to the tile's size: a
    // picture enlarged from a smaller one is blurred across its quarters.
    const QImage tile = c.computers()[0]->state.thumbnail;
    const QImage expected = jpegimage::decodeWithin(kept, tileBound);
    QCOMPARE(tile.size(), QSize(160, 90));
    int far = 0;
    for (int y = 0; y < tile.height(); ++y) {
        for (int x = 0; x < tile.width(); ++x) {
            const QRgb a = tile.pixel(x, y), b = expected.pixel(x, y);
            far += std::max({qAbs(qRed(a) - qRed(b)), qAbs(qGreen(a) - qGreen(b)),
                             qAbs(qBlue(a) - qBlue(b))})
                   > 48;
        }
    }
    QVERIFY2(far < tile.width() * tile.height() / 25, qPrintable(QString::number(far)));
}

// Glances and then a teacher's request: the glances' answers are fitted to
// their bound, with no report, no log
// entry and the working record untouched but for its number; the third is
// the teacher's, shown as always.
void ClassChannelsTest::glancesLeaveNoTrace()
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

void ClassChannelsTest::eachComputerItsOwnChannel_data()
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
void ClassChannelsTest::eachComputerItsOwnChannel()
{
    QFETCH(QString, script);
    QFETCH(QString, expected);
    Room room;
    Classroom &c = room.classroom;
    c.environment.streamTimings.idleLimit = 3000; // far longer than the test waits
    room.join(QStringLiteral("127.0.0.1"), Student::Silent);
    room.join(QStringLiteral("127.0.0.2"), Student::Silent);
    // A closed connection has no address any more.
    QStringList seen;
    const platform::ConnectionPtr one = c.computers()[0]->connection;
    // Only the teacher's stream tells that its reading is over, and before
    // its outcome.
    int teacherReads = 0;
    connect(&c, &Classroom::teacherStreamRead, &c, [&] { ++teacherReads; });
    connect(&c, &Classroom::streamReceived, &c, [&](const StreamReception::Result &r) {
        const QString unread = teacherReads-- > 0 ? QString() : QStringLiteral(" unread");
        seen << (r.complete ? "teacher " + r.peerAddress.right(1) : QStringLiteral("teacher cut"))
                        + unread;
        if (r.complete)
            QCOMPARE(r.picture.size(), QSize(640, 360));
    });
    connect(&c, &Classroom::glanceReceived, &c,
            [&](const platform::ConnectionPtr &s) { seen << "glance " + from(s); });
    connect(&c, &Classroom::answerReceived, &c,
            [&](Computer *computer) { seen << "answer " + from(computer->connection); });
    connect(&c, &Classroom::waitEnded, &c, [&] { seen << QStringLiteral("wait"); });
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
            room.students[size_t(computer)]->agent.send(
                    bytesOf(room.picture, step.section(u' ', 1), ++number));
            QTRY_COMPARE(connection->bytesWaiting(), 0);
        }
    }
    // Streams end in their own time: the order among them is theirs.
    auto outcome = [&] {
        QStringList all = seen;
        all.sort();
        if (teacherReads != 0)
            all << QStringLiteral("reads %1").arg(teacherReads);
        return all + (c.glancesAwaited(one) ? QStringList{"awaited"} : QStringList{});
    };
    QStringList wanted = expected.split(QStringLiteral(", "));
    wanted.sort();
    if (wanted.removeAll(QStringLiteral("awaited")))
        wanted << QStringLiteral("awaited");
    QTRY_COMPARE(outcome(), wanted);
}

QTEST_GUILESS_MAIN(ClassChannelsTest)
#include "test_classchannels.moc"
