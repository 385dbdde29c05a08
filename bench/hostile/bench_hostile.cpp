// Hostile agents: what each attack of a misbehaving or malicious agent costs
// the console while a well-behaved agent keeps sending. The console runs with
// the open-file limit of a desktop session (1024). Attacks:
//   idle      1500 connections from one address, held open and idle
//   list      an unsolicited process list announced at 256 MiB and sent whole
//   picture   progressive JPEGs made to be slow to decode: an 8K one within
//             the decoder's pixel and scan limits, and a 10000 x 10000 one
//             of about 0.66 MB
//   forgery   status texts with CR LF and escape bytes that imitate log entries
//   unasked   a picture nobody asked for, announced and trickled over 10 s,
//             twice
//   stalled   an agent that stops reading its socket, and a command to every
//             computer
// and those the console bounds in total (intotal.cpp): log, names, streams.
// Figures of each: the resident memory's peak above what it was before, the
// longest wait of an event posted to the window every millisecond, how long
// the console took to be done with it, and the well-behaved agent's packets
// lost (sent but never logged as accepted) and its longest wait for one to be
// accepted; for the forgery also the entries
// it managed to forge.
//
//   bench_hostile [--quick] [attack ...]
#include "benchsupport.h"
#include "hostile.h"
#include "support/hostilejpeg.h"

#include "link/classroom.h"
#include "platform/tcpserver.h"
#include "shell/tfmain.h"
#include "storage/datafolder.h"
#include "storage/eventlog.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QTimer>
#include <QTreeWidget>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace bench;
using namespace bench::hostile;

namespace {

constexpr rlim_t DesktopFileLimit = 1024;
constexpr qint32 GoodNumbers = 1000000; // the well-behaved agent's packet numbers

// The child process that holds the idle connections, so that their
// descriptors do not count against the console's limit.
int holdIdleConnections(quint16 port, int count, const char *address)
{
    raiseFileLimit();
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        const int fd = connectAgent(port, address);
        if (fd >= 0)
            fds.push_back(fd);
    }
    std::printf("ready %zu\n", fds.size());
    std::fflush(stdout);
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    closeAll(fds);
    return 0;
}

struct Figures
{
    double peakMiB = 0;
    double worstWaitMs = 0;
    double handledMs = NAN; // NaN: not done within the time allowed
    int sent = 0;
    int lost = 0;
    double worstGoodMs = 0;
};

// A console with a well-behaved agent from 127.0.0.1 that sends its next
// packet (a status text) as soon as its previous one was accepted, and the
// probes of memory and of the window's answer time.
class Arena
{
public:
    Arena()
    {
        main().classroom().environment.streamTimings.firstSleepMs = 0;
        // The well-behaved agent answers as fast as it is served, far faster
        // than a real one, and all of it must be in the log.
        main().classroom().environment.loggedPacketsPerSecond = 1000000;
        main().classroom().environment.loggedPacketsPerSecondInAll = 1000000;
        m_good = connectAgent(console.port(), "127.0.0.1");
        m_goodPort = localPortOf(m_good);
        waitFor([this] { return main().RemoteComputersListView->model()->rowCount() > 0; }, 5000);
        QObject::connect(main().classroom().MyServer, &platform::TcpServer::clientRead, &main(),
                         [this](const platform::ConnectionPtr &c) {
                             // After the console's own handler for the same read.
                             if (m_outstanding && c->peerPort() == m_goodPort
                                 && main().classroom().LastPacketNo == m_outstanding) {
                                 m_outstanding = 0;
                                 m_worstGood = std::max(m_worstGood,
                                                        msBetween(m_goodSentAt, Clock::now()));
                             }
                         });
        QObject::connect(&m_sender, &QTimer::timeout, &main(), [this] { sendGood(); });
        QObject::connect(&main(), &TFMain::streamFinished, &main(), [this] { ++streamsFinished; });
    }
    ~Arena() { ::close(m_good); }
    TFMain &main() { return console.main(); }

    // The teacher asks the computer that came last for a stream: only an
    // asked stream is read.
    void askLatest(bool screen)
    {
        platform::TcpServer *server = main().classroom().MyServer;
        waitFor([server] { return server->activeConnections() >= 2; }, 5000);
        PacketRecord ask{};
        ask.iCommand = screen ? packet::ScreenShot : packet::ProcessList;
        main().SendPacket(server->connection(server->activeConnections() - 1), ask);
    }

    // Runs the attack until finished answers true or timeoutMs has passed.
    // end: what ends the attack once it is measured; the log is read once
    // the attacker's connections are gone (they may hold every descriptor).
    Figures run(const std::function<void()> &start, const std::function<bool()> &finished,
                int timeoutMs, const std::function<void()> &end = {})
    {
        Figures f;
        const qint64 baseKiB = residentKiB();
        std::atomic<qint64> peakKiB{baseKiB};
        std::atomic<bool> probing{true};
        // Shared with the posted events, which may run after this returns.
        auto worst = std::make_shared<std::atomic<double>>(0.0);
        std::thread memory([&] {
            while (probing.load()) {
                peakKiB = std::max(peakKiB.load(), residentKiB());
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        std::thread prober([&, worst] {
            while (probing.load()) {
                const Clock::time_point posted = Clock::now();
                QMetaObject::invokeMethod(
                        &main(),
                        [worst, posted] {
                            const double waited = msBetween(posted, Clock::now());
                            if (waited > worst->load())
                                *worst = waited;
                        },
                        Qt::QueuedConnection);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        m_sender.start(5);
        waitFor([] { return false; }, 300); // the agent and the probes under way
        const Clock::time_point begin = Clock::now();
        start();
        if (waitFor(finished, timeoutMs))
            f.handledMs = msBetween(begin, Clock::now());
        waitFor([] { return false; }, 500); // served after it, too
        m_sender.stop();
        waitFor([this] { return m_outstanding == 0; }, 10000);
        probing = false;
        memory.join();
        prober.join();
        QCoreApplication::processEvents();
        if (end)
            end();
        waitFor([this] { return main().classroom().MyServer->activeConnections() <= 1; }, 30000);
        f.peakMiB = double(peakKiB.load() - baseKiB) / 1024;
        f.worstWaitMs = worst->load();
        f.sent = int(m_sentNumbers.size());
        f.lost = f.sent - goodLogged();
        f.worstGoodMs = m_worstGood;
        return f;
    }

    PrivateHome home;
    LocalNames names;
    Console console;
    int streamsFinished = 0;

private:
    static quint16 localPortOf(int fd)
    {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
        return ntohs(addr.sin_port);
    }
    void sendGood()
    {
        if (m_outstanding)
            return;
        m_outstanding = GoodNumbers + qint32(m_sentNumbers.size());
        m_sentNumbers.insert(m_outstanding);
        m_goodSentAt = Clock::now();
        sendAll(m_good, packetText(m_outstanding, packet::CloseProcess, 0));
    }
    // How many of the sent packets the day log holds as accepted.
    int goodLogged() const
    {
        const QDir folder(home.logFolder());
        QSet<qint32> logged;
        for (const QString &name : folder.entryList({QStringLiteral("ADMIN_*.txt")}, QDir::Files)) {
            QFile file(folder.filePath(name));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QByteArray log = file.readAll();
            for (qsizetype from = 0, end; (end = log.indexOf("----\r\n", from)) >= 0;
                 from = end + 6) {
                const QByteArray block = log.mid(from, end - from);
                const qsizetype at = block.indexOf("\r\nPacket NO: ");
                if (at < 0 || !block.contains("\r\nInfo: RCV: otrzymano dane\r\n"))
                    continue;
                const qsizetype start = at + 13;
                const qint32 number = block.mid(start, block.indexOf('\r', start) - start).toInt();
                if (m_sentNumbers.contains(number))
                    logged.insert(number);
            }
        }
        return int(logged.size());
    }

    int m_good = -1;
    quint16 m_goodPort = 0;
    qint32 m_outstanding = 0;
    Clock::time_point m_goodSentAt;
    double m_worstGood = 0;
    QSet<qint32> m_sentNumbers;
    QTimer m_sender;
};

// An attacking agent on a thread of its own.
class Attacker
{
public:
    ~Attacker() { stop(); }
    void start(quint16 port, const char *address, std::function<void(int fd)> script)
    {
        m_fd = connectAgent(port, address);
        m_thread = std::thread([this, script = std::move(script)] {
            if (m_fd >= 0)
                script(m_fd);
            done = true;
        });
    }
    void stop()
    {
        if (m_fd >= 0)
            ::shutdown(m_fd, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    std::atomic<bool> done{false};

private:
    int m_fd = -1;
    std::thread m_thread;
};

// Waits (on the attacker's thread) for the teacher's request, as an agent
// answers one.
bool requestReceived(int fd)
{
    pollfd p{fd, POLLIN, 0};
    char buffer[256];
    return ::poll(&p, 1, 10000) == 1 && ::recv(fd, buffer, sizeof buffer, 0) > 0;
}

// Waits (on the attacker's thread) until the console reads a stream.
bool streamStarted(TFMain &main)
{
    for (int i = 0; i < 10000 && !main.classroom().StreamInProgress.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return main.classroom().StreamInProgress.load();
}

void print(const QString &attack, const Figures &f, bool timed = true)
{
    const QString hostile = QStringLiteral("hostile");
    printResult(hostile, attack + QStringLiteral(": memory peak"), f.peakMiB, NAN,
                QStringLiteral("MiB"), Better::Lower, {});
    printResult(hostile, attack + QStringLiteral(": longest wait of a posted event"), f.worstWaitMs,
                NAN, QStringLiteral("ms"), Better::Lower, QStringLiteral("<= 100 ms"));
    if (timed)
        printResult(hostile, attack + QStringLiteral(": done with it after"), f.handledMs, NAN,
                    QStringLiteral("ms"), Better::Lower, {});
    printResult(hostile, attack + QStringLiteral(": well-behaved agent's longest wait"),
                f.worstGoodMs, NAN, QStringLiteral("ms"), Better::Lower, {});
    printResult(hostile,
                attack + QStringLiteral(": well-behaved agent's packets lost, of %1").arg(f.sent),
                f.lost, NAN, QStringLiteral("packets"), Better::Lower, QStringLiteral("0"));
}

void idleConnections(int count)
{
    Arena arena;
    QProcess holder;
    bool ready = false;
    QObject::connect(&holder, &QProcess::readyReadStandardOutput, &holder,
                     [&] { ready = ready || holder.readAllStandardOutput().startsWith("ready"); });
    Clock::time_point readyAt;
    int kept = 0;
    const Figures f = arena.run(
            [&] {
                holder.start(QCoreApplication::applicationFilePath(),
                             {QStringLiteral("--idle-agents"),
                              QString::number(arena.console.port()), QString::number(count),
                              QStringLiteral("127.0.0.3")});
            },
            [&] {
                kept = std::max(kept, arena.main().classroom().MyServer->activeConnections() - 1);
                // Held for two seconds once all are connected.
                if (ready && readyAt == Clock::time_point{})
                    readyAt = Clock::now();
                return ready && msBetween(readyAt, Clock::now()) > 2000;
            },
            60000,
            [&] {
                holder.closeWriteChannel();
                waitFor([&] { return holder.state() == QProcess::NotRunning; }, 30000);
            });
    const QString attack = QStringLiteral("%1 idle connections from one address").arg(count);
    print(attack, f, false);
    printResult(QStringLiteral("hostile"), attack + QStringLiteral(": connections kept at most"),
                kept, NAN, QStringLiteral("connections"), Better::Lower, {});
}

void processList(qint32 declared)
{
    Arena arena;
    Attacker agent;
    const Figures f = arena.run(
            [&] {
                agent.start(arena.console.port(), "127.0.0.4", [&, declared](int fd) {
                    if (!requestReceived(fd))
                        return;
                    sendAll(fd, packetText(500001, packet::ProcessList,
                                           packet::ProcessListAnnounceFlag, declared));
                    if (!streamStarted(arena.main()))
                        return;
                    // Records of full-width texts, a mebibyte at a time.
                    const qint32 count = (declared - 4) / 514;
                    QByteArray record(514, 'W');
                    record[254] = record[509] = '\0';
                    QByteArray chunk;
                    while (chunk.size() + record.size() <= 1024 * 1024)
                        chunk += record;
                    QByteArray head(reinterpret_cast<const char *>(&count), 4);
                    qint64 left = declared;
                    sendAll(fd, head);
                    left -= 4;
                    while (left > 0) {
                        const qint64 n = std::min<qint64>(left, chunk.size());
                        if (!sendAll(fd, chunk.constData(), size_t(n)))
                            return;
                        left -= n;
                    }
                });
                arena.askLatest(false);
            },
            [&] { return arena.streamsFinished > 0; }, 180000);
    print(QStringLiteral("process list of %1 MiB").arg(declared / (1024 * 1024)), f);
}

// One agent announces a picture and sends it: one that stays within the
// decoder's pixel and scan limits and costs as much work as they allow, and
// the one that took seconds before the limits (10000 x 10000, 498 scans).
void picture(int width, int height, int scans)
{
    const QByteArray jpeg = hostilejpeg::progressive(width, height, scans);
    Arena arena;
    Attacker agent;
    const Figures f = arena.run(
            [&] {
                agent.start(arena.console.port(), "127.0.0.5", [&](int fd) {
                    if (!requestReceived(fd))
                        return;
                    sendAll(fd, packetText(500002, packet::ScreenShot, packet::ScreenAnnounceFlag,
                                           qint32(jpeg.size())));
                    if (streamStarted(arena.main()))
                        sendAll(fd, jpeg);
                });
                arena.askLatest(true);
            },
            [&] { return arena.streamsFinished > 0; }, 120000);
    print(QStringLiteral("progressive JPEG, %1 x %2, %3 scans, %4 KB")
                  .arg(width)
                  .arg(height)
                  .arg(scans)
                  .arg(jpeg.size() / 1000),
          f);
}

void forgery(int packets)
{
    Arena arena;
    Attacker agent;
    const Figures f = arena.run(
            [&] {
                agent.start(arena.console.port(), "127.0.0.6", [&, packets](int fd) {
                    const QByteArray forged = "ok\r\n----\r\n2026-12-08 10:00:00\r\nInfo: SEND: "
                                              "OK\r\n\x1b[2J\x1b]0;\x07";
                    for (int i = 0; i < packets; ++i) {
                        PacketRecord p;
                        p.Pass = packet::PassValue;
                        p.iPacketNo = 600000 + i;
                        p.iCommand = packet::CloseProcess;
                        packet::setFieldText(p.Bufor, forged);
                        packet::setFieldText(p.ProcName, forged);
                        packet::setFieldText(p.WindowTitle, forged);
                        if (!sendAll(fd, FormatPacketText(p)))
                            return;
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    }
                });
            },
            [&] { return agent.done.load(); }, 60000);
    const QString attack = QStringLiteral("CR LF and escape bytes in text fields");
    print(attack, f);
    // The console sends nothing here: every such entry is forged.
    printResult(QStringLiteral("hostile"),
                attack + QStringLiteral(": forged entries, of %1 packets").arg(packets),
                arena.home.countLogEntries("SEND: OK"), NAN, QStringLiteral("entries"),
                Better::Lower, QStringLiteral("0"));
}

// A picture nobody asked for, announced and trickled over ten seconds, twice:
// read off beside the well-behaved agent, never in its way.
void unasked()
{
    const QByteArray jpeg(60 * 1024, 'p');
    Arena arena;
    Attacker agent;
    const Figures f = arena.run(
            [&] {
                agent.start(arena.console.port(), "127.0.0.7", [&](int fd) {
                    for (int round = 0; round < 2; ++round) {
                        sendAll(fd, packetText(700001 + round, packet::ScreenShot,
                                               packet::ScreenAnnounceFlag, qint32(jpeg.size())));
                        for (qsizetype at = 0; at < jpeg.size(); at += jpeg.size() / 100) {
                            if (!sendAll(fd, jpeg.constData() + at, size_t(jpeg.size() / 100)))
                                return;
                            std::this_thread::sleep_for(std::chrono::milliseconds(100));
                        }
                    }
                });
            },
            [&] { return agent.done.load(); }, 60000);
    print(QStringLiteral("unasked 60 KB picture trickled over 10 s, twice"), f);
}

// An agent that stops reading its socket, then a command to every computer:
// the window waits on it for at most half a second.
void stalled()
{
    Arena arena;
    Attacker agent;
    const Figures f = arena.run(
            [&] {
                agent.start(arena.console.port(), "127.0.0.8", [](int) {});
                platform::TcpServer *server = arena.main().classroom().MyServer;
                waitFor([server] { return server->activeConnections() >= 2; }, 5000);
                const platform::ConnectionPtr c = server->connection(1);
                const QByteArray junk(64 * 1024, 'j');
                for (int round = 0; round < 100; ++round) {
                    while (c->send(junk.constData(), junk.size()) > 0) {
                    }
                    waitFor([] { return false; }, 10);
                }
                arena.main().GroupPowerOnMonitorButtonClick();
            },
            [&] { return arena.main().classroom().MyServer->activeConnections() <= 1; }, 200000);
    print(QStringLiteral("agent that stops reading, a command to every computer"), f);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--idle-agents") == 0)
        return holdIdleConnections(quint16(std::atoi(argv[2])), std::atoi(argv[3]), argv[4]);
    prepareEnvironment();
    QApplication app(argc, argv);
    QStringList attacks = app.arguments().mid(1);
    const bool quick = attacks.removeAll(QStringLiteral("--quick")) > 0;
    if (attacks.isEmpty())
        attacks = {QStringLiteral("forgery"), QStringLiteral("idle"),    QStringLiteral("picture"),
                   QStringLiteral("list"),    QStringLiteral("unasked"), QStringLiteral("stalled"),
                   QStringLiteral("log"),     QStringLiteral("names"),   QStringLiteral("streams")};
    printMachine();
    // The limit of a desktop session, which the console may raise itself.
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min(limit.rlim_max, DesktopFileLimit);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    printNote(QStringLiteral("hostile: the console's open-file limit is %1 as the benchmark "
                             "starts; the well-behaved agent sends from another address")
                      .arg(limit.rlim_cur));

    for (const QString &attack : attacks) {
        std::fprintf(stderr, "hostile: %s ...\n", qPrintable(attack));
        if (attack == QLatin1String("idle"))
            idleConnections(quick ? 1100 : 1500);
        else if (attack == QLatin1String("list"))
            processList(quick ? 32 * 1024 * 1024 : 256 * 1024 * 1024);
        else if (attack == QLatin1String("picture")) {
            picture(7680, 4320, 500);
            picture(10000, 10000, 498);
        } else if (attack == QLatin1String("forgery"))
            forgery(quick ? 50 : 200);
        else if (attack == QLatin1String("unasked"))
            unasked();
        else if (attack == QLatin1String("stalled"))
            stalled();
        else if (attack == QLatin1String("log"))
            logFlood(quick ? 10 : 60);
        else if (attack == QLatin1String("names"))
            nameChurn(quick ? 5 : 10);
        else if (attack == QLatin1String("streams"))
            streamFlood(64, quick ? 8 : 32, quick ? 15 : 30);
    }
    return 0;
}
