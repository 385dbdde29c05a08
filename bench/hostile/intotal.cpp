// The attacks the console bounds in total, whatever the number of
// connections: the day log's growth, the name lookups and the bytes of
// streams in flight.
#include "benchsupport.h"
#include "hostile.h"

#include "commands/classoverview.h"
#include "commands/commander.h"
#include "link/classroom.h"
#include "platform/tcpserver.h"
#include "storage/datafolder.h"
#include "storage/eventlog.h"

#include <QDate>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include <atomic>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench::hostile {

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start();
    if (!done())
        loop.exec();
    return done();
}

// One address with four connections sends packets whose every text field is
// full of control bytes, as fast as the console takes them, for seconds
// seconds: how fast the day log grows, per minute, under the console's own
// shares (not the lifted ones of the arena).
void logFlood(int seconds)
{
    Classroom::listenPortOverride = 0;
    Classroom room;
    room.ShowLocalHostInfo();
    room.StartServer();
    const QString log = datafolder::folderPath() + QStringLiteral("/log/")
                        + eventlog::fileNameFor(QDate::currentDate());
    WriteLog("bench: log flood");
    const qint64 before = QFileInfo(log).size();
    std::vector<int> fds;
    for (int i = 0; i < 4; ++i)
        fds.push_back(connectAgent(room.MyServer->localPort(), "127.0.0.5"));
    waitFor([&] { return room.computers().size() == fds.size(); }, 5000);
    const QByteArray controls(1023, '\x01');
    const QByteArray text = QByteArray::number(packet::PassValue) + "|1|0|1|0|0|"
                            + QByteArray(254, '\x1b') + '|' + QByteArray(254, '\x7f') + '|';
    std::atomic<bool> stop{false};
    std::thread flooder([&] {
        for (qint32 n = 1; !stop.load(); ++n)
            for (int fd : fds) {
                QByteArray p = text + controls;
                p.replace(6, 1, QByteArray::number(n));
                sendAll(fd, p);
            }
    });
    const Clock::time_point start = Clock::now();
    waitFor([&] { return msBetween(start, Clock::now()) > seconds * 1000.0; },
            seconds * 1000 + 5000);
    stop = true;
    for (int fd : fds)
        ::shutdown(fd, SHUT_RDWR);
    flooder.join();
    for (int fd : fds)
        ::close(fd);
    const double minutes = msBetween(start, Clock::now()) / 60000.0;
    eventlog::settle();
    const double grown = double(QFileInfo(log).size() - before);
    Classroom::listenPortOverride = -1;
    printResult(QStringLiteral("hostile"),
                QStringLiteral("4 connections of one address, control bytes in every field: "
                               "day log growth"),
                grown / minutes / (1024 * 1024), NAN, QStringLiteral("MiB/min"), Better::Lower, {});
}

// Sixteen addresses connect and close again and again; then an honest
// computer joins: how long until its name is known (the name service knows
// none of them, so each is asked by NetBIOS, twice 250 ms when silent).
void nameChurn(int seconds)
{
    platform::TcpServer server;
    server.listen(0);
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop.load())
            for (int a = 101; a <= 116 && !stop.load(); ++a) {
                const QByteArray from = "127.0.0." + QByteArray::number(a);
                const int fd = connectAgent(server.localPort(), from.constData());
                if (fd >= 0)
                    ::close(fd);
            }
    });
    const Clock::time_point start = Clock::now();
    waitFor([&] { return msBetween(start, Clock::now()) > seconds * 1000.0; },
            seconds * 1000 + 5000);
    const int honest = connectAgent(server.localPort(), "127.0.0.21");
    const Clock::time_point joined = Clock::now();
    platform::ConnectionPtr c;
    waitFor(
            [&] {
                for (int i = 0; i < server.activeConnections() && !c; ++i)
                    if (server.connection(i)->peerAddress() == "127.0.0.21")
                        c = server.connection(i);
                return c && c->hostNameKnown();
            },
            300000);
    const double named = c && c->hostNameKnown() ? msBetween(joined, Clock::now()) : NAN;
    stop = true;
    churn.join();
    ::close(honest);
    printResult(QStringLiteral("hostile"),
                QStringLiteral("16 addresses churning connections: an honest computer named after"),
                named, NAN, QStringLiteral("ms"), Better::Lower, QStringLiteral("<= 1000 ms"));
}

namespace {

// One hostile computer's connection, answering every picture request with a
// picture of size bytes: all but its last mebibyte as fast as the console
// takes it, the rest over four seconds; late ones announce it only after the
// overview has given the request up. Connects again when the console closes.
void flood(quint16 port, const QByteArray &address, bool late, qint32 size, qint32 firstNumber,
           const std::atomic<bool> &stop, std::atomic<int> &fd)
{
    const QByteArray chunk(64 * 1024, 'x');
    char request[512];
    qint32 number = firstNumber;
    auto pause = [&stop](int ms) {
        for (int waited = 0; waited < ms && !stop.load(); waited += 50)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    while (!stop.load()) {
        if (fd.load() < 0)
            fd = connectAgent(port, address.constData());
        pollfd p{fd.load(), POLLIN, 0};
        if (fd.load() < 0 || ::poll(&p, 1, 200) != 1)
            continue;
        bool sent = ::recv(fd.load(), request, sizeof request, 0) > 0;
        if (sent && late)
            pause(5500);
        sent = sent
               && sendAll(fd.load(), packetText(number++, packet::ScreenShot,
                                                packet::ScreenAnnounceFlag, size));
        for (qint32 at = 0; sent && at < size && !stop.load(); at += chunk.size()) {
            sent = sendAll(fd.load(), chunk.constData(),
                           size_t(std::min<qint64>(chunk.size(), size - at)));
            if (at >= size - (1 << 20))
                pause(4000 / 16);
        }
        if (!sent && !stop.load()) {
            ::close(fd.exchange(-1));
            pause(100);
        }
    }
}

} // namespace

// Connections from 16 addresses answer the class overview's requests with
// large pictures: the resident memory's peak above what it was before, and
// where it stands ten seconds after they have gone.
void streamFlood(int connections, int pictureMiB, int seconds)
{
    Classroom::listenPortOverride = 0;
    Classroom room;
    room.ShowLocalHostInfo();
    room.StartServer();
    commands::Commander commander(room);
    commands::ClassOverview overview(room, commander);
    overview.setIntervalSeconds(1);
    waitFor([] { return false; }, 500);
    const qint64 baseKiB = residentKiB();
    std::atomic<qint64> peakKiB{baseKiB};
    std::atomic<bool> stop{false};
    std::vector<std::atomic<int>> fds(static_cast<size_t>(connections));
    std::vector<std::thread> agents;
    for (int i = 0; i < connections; ++i) {
        fds[size_t(i)] = -1;
        const QByteArray address = "127.0.0." + QByteArray::number(101 + i % 16);
        agents.emplace_back(flood, room.MyServer->localPort(), address, i % 2 == 1,
                            pictureMiB * 1024 * 1024, 900000 + i * 10000, std::cref(stop),
                            std::ref(fds[size_t(i)]));
    }
    std::thread memory([&] {
        while (!stop.load()) {
            peakKiB = std::max(peakKiB.load(), residentKiB());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    overview.setActive(true);
    waitFor([] { return false; }, seconds * 1000);
    overview.setActive(false);
    stop = true;
    for (std::atomic<int> &fd : fds) {
        if (fd.load() >= 0)
            ::shutdown(fd.load(), SHUT_RDWR);
    }
    for (std::thread &agent : agents)
        agent.join();
    memory.join();
    for (std::atomic<int> &fd : fds) {
        if (fd.load() >= 0)
            ::close(fd.load());
    }
    waitFor([] { return false; }, 10000);
    const double settled = double(residentKiB() - baseKiB) / 1024;
    Classroom::listenPortOverride = -1;
    const QString attack = QStringLiteral("%1 connections of 16 addresses answering the overview "
                                          "with %2 MiB pictures, half of them late, for %3 s")
                                   .arg(connections)
                                   .arg(pictureMiB)
                                   .arg(seconds);
    printResult(QStringLiteral("hostile"), attack + QStringLiteral(": memory peak"),
                double(peakKiB.load() - baseKiB) / 1024, NAN, QStringLiteral("MiB"), Better::Lower,
                QStringLiteral("< 400 MiB"));
    printResult(QStringLiteral("hostile"),
                attack + QStringLiteral(": memory 10 s after they have gone"), settled, NAN,
                QStringLiteral("MiB"), Better::Lower, QStringLiteral("back to before"));
}

} // namespace bench::hostile
