// Receive path: K agents send M valid packets each, as fast as the console
// takes them. Each agent sends its next packet only once the previous one has
// been accepted, so that every packet is a read of its own (the console takes
// the bytes of one read as one packet). Figure: packets per second accepted,
// logged and shown, against a bare loop without a window that makes the same
// socket reads and the same log-entry writes (open, append, close).
#include "benchsupport.h"

#include "link/packet.h"
#include "shell/tfmain.h"
#include "storage/eventlog.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QLineEdit>
#include <QTimer>
#include <QTreeWidget>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace bench;

namespace {

// Packet j (from 0) of agent a is numbered base + a * M + j + 1: no two
// packets of a round share a number, so the shared duplicate check of the
// console never drops one, in whatever order the agents are read.
struct Round
{
    int agents = 1;
    int packetsEach = 1;
    qint32 base = 0;
    int total() const { return agents * packetsEach; }
    qint32 number(int agent, int j) const { return base + agent * packetsEach + j + 1; }
    int agentOf(qint32 number) const { return (number - base - 1) / packetsEach; }
};

// The agents' side: one thread for all agents, sending each agent's next
// packet when told that its previous one was accepted.
class Driver
{
public:
    Driver(const Round &round, std::vector<int> fds)
        : m_round(round)
        , m_fds(std::move(fds))
    {
        for (int a = 0; a < round.agents; ++a) {
            std::vector<QByteArray> texts;
            for (int j = 0; j < round.packetsEach; ++j)
                texts.push_back(packetText(round.number(a, j), packet::CloseProcess, 0));
            m_texts.push_back(std::move(texts));
        }
        m_sent.assign(size_t(round.agents), 0);
    }
    ~Driver()
    {
        stop();
        closeAll(m_fds);
    }

    void start() { m_thread = std::thread(&Driver::run, this); }
    void stop()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        if (m_thread.joinable())
            m_thread.join();
    }
    // From the receiving side: this agent's last packet was accepted.
    void accepted(int agent)
    {
        {
            std::lock_guard lock(m_mutex);
            m_ready.push_back(agent);
        }
        m_wake.notify_one();
    }

private:
    void send(int agent)
    {
        const QByteArray &text = m_texts[size_t(agent)][size_t(m_sent[size_t(agent)]++)];
        sendAll(m_fds[size_t(agent)], text);
    }
    void run()
    {
        for (int a = 0; a < m_round.agents; ++a)
            send(a);
        std::vector<int> ready;
        for (;;) {
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [this] { return m_stop || !m_ready.empty(); });
                if (m_stop)
                    return;
                ready.swap(m_ready);
            }
            for (int a : ready) {
                if (a >= 0 && a < m_round.agents && m_sent[size_t(a)] < m_round.packetsEach)
                    send(a);
            }
            ready.clear();
        }
    }

    Round m_round;
    std::vector<int> m_fds;
    std::vector<std::vector<QByteArray>> m_texts;
    std::vector<int> m_sent;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<int> m_ready;
    bool m_stop = false;
    std::thread m_thread;
};

// Packets per second of the whole console; NaN if it lost packets.
double consoleRound(const Round &round)
{
    PrivateHome home;
    LocalNames names;
    Console console;
    TFMain &main = console.main();
    // The floor logs every packet; so does the console here. Its share of the
    // day log per connection would otherwise leave most of one agent's
    // packets out of it at these rates.
    main.classroom().environment.loggedPacketsPerSecond = 1000000;
    main.classroom().environment.loggedPacketsPerSecondInAll = 1000000;

    std::vector<int> fds;
    for (int a = 0; a < round.agents; ++a)
        fds.push_back(connectAgent(console.port(), agentAddress(a).constData()));
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (main.RemoteComputersListView->model()->rowCount() == round.agents)
            loop.quit();
    });
    poll.start(5);
    loop.exec();
    poll.stop();

    Driver driver(round, std::move(fds));
    int accepted = 0;
    Clock::time_point end;
    QObject::connect(main.RcvStatusEdit, &QLineEdit::textChanged, &loop, [&](const QString &text) {
        if (!text.startsWith(QLatin1String("otrzymano dane")))
            return;
        driver.accepted(round.agentOf(main.classroom().CurrentPacket.iPacketNo));
        if (++accepted == round.total()) {
            end = Clock::now();
            loop.quit();
        }
    });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit); // a lost packet would stall
    const Clock::time_point begin = Clock::now();
    {
        ProfiledSpan profiled;
        driver.start();
        loop.exec();
    }
    driver.stop();
    const int logged = home.countLogEntries("RCV: otrzymano dane");
    if (accepted != round.total() || logged != round.total()) {
        std::fprintf(stderr, "console: %d accepted, %d logged of %d\n", accepted, logged,
                     round.total());
        return NAN;
    }
    return round.total() / (msBetween(begin, end) / 1000.0);
}

// The same reads and log writes in a bare loop over epoll, without a window.
double floorRound(const Round &round)
{
    PrivateHome home;
    QDir().mkpath(home.logFolder());
    const QByteArray logPath = QFile::encodeName(home.logFolder() + QLatin1Char('/')
                                                 + eventlog::fileNameFor(QDate::currentDate()));

    quint16 port = 0;
    const int listener = listenLoopback(port);
    std::vector<int> fds;
    for (int a = 0; a < round.agents; ++a)
        fds.push_back(connectAgent(port, agentAddress(a).constData()));
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> accepted;
    while (int(accepted.size()) < round.agents) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            std::this_thread::yield();
            continue;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev);
        accepted.push_back(fd);
    }

    Driver driver(round, std::move(fds));
    PacketRecord record;
    qint32 last = 0;
    int count = 0;
    int logged = 0;
    const Clock::time_point begin = Clock::now();
    driver.start();
    epoll_event events[64];
    while (count < round.total()) {
        const int ready = ::epoll_wait(epoll, events, 64, 10000);
        if (ready <= 0)
            break; // a lost packet
        for (int e = 0; e < ready; ++e) {
            QByteArray text;
            char buffer[100];
            for (;;) {
                const ssize_t n = ::recv(events[e].data.fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n <= 0)
                    break;
                text.append(buffer, n);
            }
            if (text.isEmpty())
                continue;
            ParsePacketText(text, record);
            if (record.Pass != packet::PassValue || record.iPacketNo == last)
                continue;
            last = record.iPacketNo;
            const eventlog::PacketDump dump = packet::logDump(record);
            const QByteArray entry = eventlog::formatEntry(QDateTime::currentDateTime(),
                                                           "RCV: otrzymano dane", true, &dump);
            const int fd
                    = ::open(logPath.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            if (fd >= 0) {
                if (::write(fd, entry.constData(), size_t(entry.size())) == entry.size())
                    ++logged;
                ::close(fd);
            }
            driver.accepted(round.agentOf(record.iPacketNo));
            ++count;
        }
    }
    const Clock::time_point end = Clock::now();
    driver.stop();
    for (int fd : accepted)
        ::close(fd);
    ::close(epoll);
    ::close(listener);
    if (count != round.total() || logged != round.total()) {
        std::fprintf(stderr, "floor: %d accepted, %d logged of %d\n", count, logged, round.total());
        return NAN;
    }
    return round.total() / (msBetween(begin, end) / 1000.0);
}

} // namespace

int main(int argc, char **argv)
{
    prepareEnvironment();
    QApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    // Only the console's rounds, for profiling it.
    const bool consoleOnly = app.arguments().contains(QStringLiteral("--console-only"));
    raiseFileLimit();
    printMachine();

    struct Case
    {
        int agents;
        int packetsEach;
    };
    const std::vector<Case> cases = quick ? std::vector<Case>{{1, 300}, {40, 10}, {400, 2}}
                                          : std::vector<Case>{{1, 3000}, {40, 100}, {400, 10}};
    const int rounds = quick ? 1 : 3;
    // "--agents=K" measures only the cases with K agents (for profiling).
    int only = 0;
    for (const QString &argument : app.arguments()) {
        if (argument.startsWith(QLatin1String("--agents=")))
            only = argument.mid(9).toInt();
    }
    for (const Case &c : cases) {
        if (only && c.agents != only)
            continue;
        Round round;
        round.agents = c.agents;
        round.packetsEach = c.packetsEach;
        // Console and floor take turns, so that a busy moment of the machine
        // falls on both.
        std::vector<double> console, floor;
        for (int r = 0; r < rounds; ++r) {
            round.base = 1000000 * (r + 1);
            console.push_back(consoleRound(round));
            if (!consoleOnly)
                floor.push_back(floorRound(round));
        }
        printResult(QStringLiteral("receive"),
                    QStringLiteral("%1 agents x %2 packets").arg(c.agents).arg(c.packetsEach),
                    median(console), median(floor), QStringLiteral("packets/s"), Better::Higher,
                    QStringLiteral("<= 2x"));
    }
    return 0;
}
