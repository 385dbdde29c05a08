// The attacks the console bounds per connection: idle connections, a
// process list and pictures too big or too slow to take, forged log
// entries, a picture nobody asked for, and an agent that stops reading.
#include "arena.h"
#include "support/hostilejpeg.h"

#include "storage/datafolder.h"
#include "storage/eventlog.h"

#include <QFileInfo>
#include <QProcess>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace bench::hostile {

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

} // namespace bench::hostile
