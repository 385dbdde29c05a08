#pragma once

// What every attack bounded per connection is measured with: the console
// and its well-behaved agent, the attacking agent, and the figures.
#include "benchsupport.h"
#include "hostile.h"

#include "link/classroom.h"
#include "platform/tcpserver.h"
#include "shell/tfmain.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QTimer>
#include <QTreeWidget>

#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench::hostile {

constexpr qint32 GoodNumbers = 1000000; // the well-behaved agent's packet numbers

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
inline bool requestReceived(int fd)
{
    pollfd p{fd, POLLIN, 0};
    char buffer[256];
    return ::poll(&p, 1, 10000) == 1 && ::recv(fd, buffer, sizeof buffer, 0) > 0;
}

// Waits (on the attacker's thread) until the console reads a stream.
inline bool streamStarted(TFMain &main)
{
    for (int i = 0; i < 10000 && !main.classroom().StreamInProgress.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return main.classroom().StreamInProgress.load();
}

inline void print(const QString &attack, const Figures &f, bool timed = true)
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

} // namespace bench::hostile
