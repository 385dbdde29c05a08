// The student agent simulator, seen from the console's side of the wire: the
// real executable against a listening socket of this test on 127.0.0.1.
#include "link/jpegimage.h"
#include "link/packet.h"
#include "link/processlist.h"
#include "platform/cp1250.h"
#include "platform/netbios.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>
#include <memory>
#include <vector>

namespace {

constexpr int WaitMs = 20000;

QString simulatorPath()
{
    QString build = qEnvironmentVariable("DOCENTOR_BINARY_DIR");
    if (build.isEmpty())
        build = QCoreApplication::applicationDirPath() + QStringLiteral("/..");
    return QDir(build).filePath(QStringLiteral("tools/agentsim/docentor-agentsim"));
}

// One connection as the console sees it.
struct Peer
{
    QTcpSocket *socket = nullptr;
    QByteArray data; // received and not yet taken
    int reads = 0;   // read notifications that brought bytes
    bool closed = false;
};

// The simulator process and the console end of its connections.
class SimulatorRun
{
public:
    ~SimulatorRun()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
        // The sockets belong to the server, which outlives the peers: a
        // socket closing in its destructor must not write to a freed peer.
        for (auto &p : m_peers)
            QObject::disconnect(p->socket, nullptr, nullptr, nullptr);
    }

    // Starts the simulator with students students and waits until each has
    // connected and said so.
    bool start(const QStringList &args, int students = 1, bool listen = true)
    {
        quint16 port = 0;
        if (listen) {
            if (!m_server.listen(QHostAddress::LocalHost, 0))
                return false;
            port = m_server.serverPort();
            QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
                while (QTcpSocket *s = m_server.nextPendingConnection())
                    adopt(s);
            });
        } else {
            // A port that was free a moment ago: nobody listens there.
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHost, 0))
                return false;
            port = probe.serverPort();
        }
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_server,
                         [this] { readOutput(); });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(simulatorPath(),
                        QStringList{QStringLiteral("--port"), QString::number(port),
                                    QStringLiteral("--students"), QString::number(students),
                                    QStringLiteral("--connect-interval"), QStringLiteral("0")}
                                + args);
        if (!m_process.waitForStarted(WaitMs))
            return false;
        if (!listen)
            return true;
        return QTest::qWaitFor(
                [&] {
                    return int(m_peers.size()) == students
                           && linesMatching(QStringLiteral(" connected ")).size() == students;
                },
                WaitMs);
    }

    QStringList lines() const { return m_lines; }
    QStringList linesMatching(const QString &part) const { return m_lines.filter(part); }
    bool waitForLine(const QString &part, QString *line = nullptr)
    {
        const bool found = QTest::qWaitFor([&] { return !linesMatching(part).isEmpty(); }, WaitMs);
        if (found && line)
            *line = linesMatching(part).constFirst();
        return found;
    }

    int peerCount() const { return int(m_peers.size()); }
    Peer &peerAt(int i) { return *m_peers[size_t(i)]; }

    // The connection of the student with this name, found by the local port it printed.
    Peer *peer(const QString &name)
    {
        static const QRegularExpression portText(QStringLiteral("local-port=(\\d+)"));
        for (const QString &line : linesMatching(name + QStringLiteral(" connected "))) {
            const quint16 port = quint16(portText.match(line).captured(1).toUInt());
            for (auto &p : m_peers) {
                if (p->socket->peerPort() == port)
                    return p.get();
            }
        }
        return nullptr;
    }

    static void send(Peer &peer, qint32 number, qint32 command, qint32 flag, quint32 processId = 0,
                     const QByteArray &procName = {}, const QByteArray &bufor = {})
    {
        peer.socket->write(text(number, command, flag, processId, procName, bufor));
    }

    static QByteArray text(qint32 number, qint32 command, qint32 flag, quint32 processId = 0,
                           const QByteArray &procName = {}, const QByteArray &bufor = {})
    {
        PacketRecord p;
        p.Pass = packet::PassValue;
        p.iPacketNo = number;
        p.iCommand = command;
        p.iFlag = flag;
        p.ProcID = processId;
        packet::setFieldText(p.ProcName, procName);
        packet::setFieldText(p.Bufor, bufor);
        return FormatPacketText(p);
    }

    // One packet text of the agent (its texts hold no "|"), closing "|" dropped.
    static bool takePacket(Peer &peer, PacketRecord &p)
    {
        qsizetype end = -1;
        const bool whole = QTest::qWaitFor(
                [&] {
                    int bars = 0;
                    for (qsizetype i = 0; i < peer.data.size(); ++i) {
                        if (peer.data[i] == '|' && ++bars == 9) {
                            end = i;
                            return true;
                        }
                    }
                    return false;
                },
                WaitMs);
        if (!whole)
            return false;
        p = PacketRecord{};
        ParsePacketText(peer.data.left(end), p);
        peer.data.remove(0, end + 1);
        return true;
    }

    static bool takeBytes(Peer &peer, qsizetype count, QByteArray &bytes)
    {
        if (!QTest::qWaitFor([&] { return peer.data.size() >= count; }, WaitMs))
            return false;
        bytes = peer.data.left(count);
        peer.data.remove(0, count);
        return true;
    }

    // An announcement and the stream it announces, whole.
    static bool takeStream(Peer &peer, qint32 command, qint32 flag, QByteArray &stream)
    {
        PacketRecord p;
        if (!takePacket(peer, p) || p.iCommand != command || p.iFlag != flag || p.StreamSize < 0)
            return false;
        return takeBytes(peer, p.StreamSize, stream);
    }

    QProcess &process() { return m_process; }

    // Closes every connection, as a console that ends does, and waits for the
    // simulator to end by itself; its exit code, or -1 if it did not end well.
    int closeAllAndWait()
    {
        for (auto &p : m_peers)
            p->socket->close();
        return waitForExit();
    }

    int waitForExit()
    {
        if (m_process.state() != QProcess::NotRunning
            && !QTest::qWaitFor([&] { return m_process.state() == QProcess::NotRunning; }, WaitMs))
            return -1;
        readOutput();
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

private:
    void adopt(QTcpSocket *socket)
    {
        auto peer = std::make_unique<Peer>();
        peer->socket = socket;
        Peer *raw = peer.get();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [raw] {
            const QByteArray bytes = raw->socket->readAll();
            if (!bytes.isEmpty()) {
                raw->data += bytes;
                ++raw->reads;
            }
        });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [raw] { raw->closed = true; });
        m_peers.push_back(std::move(peer));
    }

    void readOutput()
    {
        m_partial += m_process.readAllStandardOutput();
        qsizetype nl;
        while ((nl = m_partial.indexOf('\n')) >= 0) {
            m_lines.append(QString::fromUtf8(m_partial.left(nl)));
            m_partial.remove(0, nl + 1);
        }
    }

    QTcpServer m_server;
    QProcess m_process;
    std::vector<std::unique_ptr<Peer>> m_peers;
    QByteArray m_partial;
    QStringList m_lines;
};

bool encoderWorks()
{
    QImage probe(8, 8, QImage::Format_RGB32);
    probe.fill(Qt::red);
    return !jpegimage::encode(probe).isEmpty();
}

} // namespace

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

    void screenPicturesDecodeAndDifferPerStudent()
    {
        if (!encoderWorks())
            QSKIP("the JPEG encoder is not built yet");
        SimulatorRun run;
        QVERIFY(run.start({QStringLiteral("--screen-size"), QStringLiteral("320x200")}, 2));
        QImage pictures[2];
        for (int i = 0; i < 2; ++i) {
            Peer &peer = *run.peer(QStringLiteral("UCZEN-0%1").arg(i + 1));
            SimulatorRun::send(peer, 1 + i, 2, 0);
            QByteArray stream;
            QVERIFY(SimulatorRun::takeStream(peer, 2, 1, stream));
            QString error;
            pictures[i] = jpegimage::decode(stream, &error);
            QVERIFY2(!pictures[i].isNull(), qPrintable(error));
            QCOMPARE(pictures[i].size(), QSize(320, 200));
        }
        QVERIFY(pictures[0] != pictures[1]);
        QCOMPARE(run.closeAllAndWait(), 0);
    }

    void screenPictureShowsTheMomentItIsTaken()
    {
        if (!encoderWorks())
            QSKIP("the JPEG encoder is not built yet");
        // Two runs alike in everything but the moment: the first picture of
        // each is the same shot of the same student with the same seed.
        QImage pictures[2];
        qint64 doneAtMs = 0;
        for (QImage &picture : pictures) {
            // The clock shows whole seconds; the second picture waits for the next one.
            QVERIFY(QTest::qWaitFor(
                    [&] { return QDateTime::currentMSecsSinceEpoch() / 1000 > doneAtMs / 1000; },
                    WaitMs));
            SimulatorRun run;
            QVERIFY(run.start({QStringLiteral("--screen-size"), QStringLiteral("320x200")}));
            Peer &peer = *run.peer(QStringLiteral("UCZEN-01"));
            SimulatorRun::send(peer, 1, 2, 0);
            QByteArray stream;
            QVERIFY(SimulatorRun::takeStream(peer, 2, 1, stream));
            doneAtMs = QDateTime::currentMSecsSinceEpoch();
            QString error;
            picture = jpegimage::decode(stream, &error);
            QVERIFY2(!picture.isNull(), qPrintable(error));
            QCOMPARE(run.closeAllAndWait(), 0);
        }
        QVERIFY(pictures[0] != pictures[1]);
    }

    void screenAnswerWaitsForTheCaptureDelay_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("answerFlag");
        QTest::newRow("picture") << QString() << 1;
        QTest::newRow("no picture") << QStringLiteral("--no-screen") << 2;
    }

    void screenAnswerWaitsForTheCaptureDelay()
    {
        QFETCH(QString, fault);
        QFETCH(int, answerFlag);
        if (answerFlag == packet::ScreenAnnounceFlag && !encoderWorks())
            QSKIP("the JPEG encoder is not built yet");
        constexpr int delayMs = 600;
        QStringList args{QStringLiteral("--capture-delay"),    QString::number(delayMs),
                         QStringLiteral("--screen-size"),      QStringLiteral("64x64"),
                         QStringLiteral("--after-stream-gap"), QStringLiteral("0")};
        if (!fault.isEmpty())
            args.append(fault);
        SimulatorRun run;
        QVERIFY(run.start(args));
        Peer &peer = *run.peer(QStringLiteral("UCZEN-01"));
        QElapsedTimer sinceRequest;
        sinceRequest.start();
        // A command right behind the request is answered after the picture.
        peer.socket->write(SimulatorRun::text(1, 2, 0) + SimulatorRun::text(2, 7, 0));
        PacketRecord answer;
        QVERIFY(SimulatorRun::takePacket(peer, answer));
        QVERIFY2(sinceRequest.elapsed() >= delayMs,
                 qPrintable(QStringLiteral("after %1 ms").arg(sinceRequest.elapsed())));
        QCOMPARE(answer.iCommand, 2);
        QCOMPARE(answer.iFlag, answerFlag);
        QByteArray picture;
        QVERIFY(SimulatorRun::takeBytes(peer, answer.StreamSize, picture));
        QVERIFY(SimulatorRun::takePacket(peer, answer));
        QCOMPARE(packet::fieldText(answer.Bufor), cp1250::fromUnicode(u"Zablokowano menu Start"));
        QCOMPARE(run.closeAllAndWait(), 0);
    }

    void streamFaults_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("surplus"); // bytes beyond the announced size; -1: fewer

        QTest::newRow("short process list") << QStringLiteral("--short-stream") << 0 << -1;
        QTest::newRow("short screen") << QStringLiteral("--short-stream") << 2 << -1;
        QTest::newRow("surplus process list") << QStringLiteral("--surplus-stream") << 0 << 1000;
        QTest::newRow("slow process list") << QStringLiteral("--slow-stream") << 0 << 0;
        QTest::newRow("corrupt picture") << QStringLiteral("--corrupt-jpeg") << 2 << 0;
    }

    void streamFaults()
    {
        QFETCH(QString, fault);
        QFETCH(int, command);
        QFETCH(int, surplus);
        if (command == packet::ScreenShot && !encoderWorks())
            QSKIP("the JPEG encoder is not built yet");

        SimulatorRun run;
        QVERIFY(run.start({fault, QStringLiteral("--slow-seconds"), QStringLiteral("1"),
                           QStringLiteral("--screen-size"), QStringLiteral("320x200"),
                           QStringLiteral("--synthetic-processes")}));
        Peer &peer = *run.peer(QStringLiteral("UCZEN-01"));
        SimulatorRun::send(peer, 1, command, 0);
        PacketRecord announcement;
        QVERIFY(SimulatorRun::takePacket(peer, announcement));
        QCOMPARE(announcement.iCommand, command);
        QCOMPARE(announcement.iFlag, command == 0 ? 0 : 1);
        const int readsBefore = peer.reads;

        // Once the student has said how much it sent, all of it is on its way.
        QString line;
        QVERIFY(run.waitForLine(QStringLiteral("UCZEN-01 stream "), &line));
        static const QRegularExpression sentText(QStringLiteral(" announced=(\\d+) sent=(\\d+)"));
        const QRegularExpressionMatch m = sentText.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        QCOMPARE(m.captured(1).toInt(), announcement.StreamSize);
        const int sent = m.captured(2).toInt();
        QByteArray stream;
        QVERIFY(SimulatorRun::takeBytes(peer, sent, stream));

        if (surplus < 0)
            QVERIFY(sent < announcement.StreamSize);
        else
            QCOMPARE(sent, announcement.StreamSize + surplus);
        if (fault == QLatin1String("--slow-stream")) {
            QVERIFY2(peer.reads - readsBefore > 2, "the stream came in one piece");
            QCOMPARE(processlist::parse(stream).size(), 13);
        }
        if (fault == QLatin1String("--corrupt-jpeg"))
            QVERIFY(jpegimage::decode(stream).isNull());
        QCOMPARE(run.closeAllAndWait(), 0);
    }

    void disconnectsMidStream()
    {
        SimulatorRun run;
        QVERIFY(run.start({QStringLiteral("--disconnect-mid-stream"),
                           QStringLiteral("--synthetic-processes")}));
        Peer &peer = *run.peer(QStringLiteral("UCZEN-01"));
        SimulatorRun::send(peer, 1, 0, 0);
        PacketRecord announcement;
        QVERIFY(SimulatorRun::takePacket(peer, announcement));
        QTRY_VERIFY_WITH_TIMEOUT(peer.closed, WaitMs);
        peer.data += peer.socket->readAll();
        QVERIFY(peer.data.size() > 0);
        QVERIFY(peer.data.size() < announcement.StreamSize);
        // Its only student gone, the simulator ends by itself.
        QCOMPARE(run.waitForExit(), 0);
    }

    void packetFaultsHitOnlyTheChosenStudent_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("wrong pass") << QStringLiteral("--wrong-pass");
        QTest::newRow("repeated number") << QStringLiteral("--repeat-number");
        QTest::newRow("no screen") << QStringLiteral("--no-screen");
    }

    void packetFaultsHitOnlyTheChosenStudent()
    {
        QFETCH(QString, fault);
        const bool screen = fault == QLatin1String("--no-screen");
        if (screen && !encoderWorks())
            QSKIP("the JPEG encoder is not built yet");

        SimulatorRun run;
        QVERIFY(run.start({fault, QStringLiteral("--fault-student"), QStringLiteral("2"),
                           QStringLiteral("--packet-gap"), QStringLiteral("0"),
                           QStringLiteral("--after-stream-gap"), QStringLiteral("0"),
                           QStringLiteral("--screen-size"), QStringLiteral("64x64")},
                          2));
        struct Seen
        {
            QList<qint32> numbers;
            QList<qint32> passes;
            QList<qint32> flags;
        } seen[2];
        for (int i = 0; i < 2; ++i) {
            Peer &peer = *run.peer(QStringLiteral("UCZEN-0%1").arg(i + 1));
            for (int k = 0; k < 2; ++k) {
                SimulatorRun::send(peer, 10 * (k + 1), screen ? 2 : 4, 0);
                PacketRecord answer;
                QVERIFY(SimulatorRun::takePacket(peer, answer));
                seen[i].numbers.append(answer.iPacketNo);
                seen[i].passes.append(answer.Pass);
                seen[i].flags.append(answer.iFlag);
                if (screen && answer.iFlag == packet::ScreenAnnounceFlag) {
                    QByteArray picture;
                    QVERIFY(SimulatorRun::takeBytes(peer, answer.StreamSize, picture));
                }
            }
        }
        const QList<qint32> rightPass{packet::PassValue, packet::PassValue};
        QCOMPARE(seen[0].passes, rightPass);
        QVERIFY(seen[0].numbers[0] != seen[0].numbers[1]);
        if (fault == QLatin1String("--wrong-pass")) {
            QVERIFY(!seen[1].passes.contains(packet::PassValue));
        } else if (fault == QLatin1String("--repeat-number")) {
            QCOMPARE(seen[1].passes, rightPass);
            QCOMPARE(seen[1].numbers[0], seen[1].numbers[1]);
        } else {
            QCOMPARE(seen[0].flags, (QList<qint32>{1, 1}));
            QCOMPARE(seen[1].flags, (QList<qint32>{2, 2}));
        }
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
