// The socket layer at its limits: a burst of connects, the caps on
// connections from one address and in all, and the descriptors they leave
// for the console's files.
#include "platform/hostnames.h"
#include "platform/openfilelimit.h"
#include "platform/tcpserver.h"
#include "support/rawsocket.h"
#include "support/serverevents.h"

#include <QScopeGuard>
#include <QSet>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTest>
#include <QThreadPool>

#include <cerrno>
#include <memory>
#include <vector>

#ifndef _WIN32
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

using namespace serverevents;

namespace {

// Connects the next computer and waits until the server has either listed
// it (true) or ended it at once (false).
bool connectAndSeeListed(TcpServer &server, std::vector<std::unique_ptr<Client>> &clients,
                         const QByteArray &from, bool *decided)
{
    const int before = server.activeConnections();
    clients.push_back(std::make_unique<Client>(server.localPort(), from.constData()));
    Client &client = *clients.back();
    bool listed = false;
    *decided = client.connected() && QTest::qWaitFor([&] {
                   listed = server.activeConnections() > before;
                   return listed || client.ended(0);
               });
    return listed;
}

#ifndef _WIN32
// Raises the soft limit of open descriptors for the life of the object.
class DescriptorLimit
{
public:
    explicit DescriptorLimit(rlim_t wanted)
    {
        ::getrlimit(RLIMIT_NOFILE, &m_old);
        rlimit raised = m_old;
        if (raised.rlim_cur < wanted)
            raised.rlim_cur = qMin(wanted, raised.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &raised);
        m_current = raised.rlim_cur;
    }
    ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &m_old); }
    rlim_t current() const { return m_current; }

private:
    rlimit m_old{};
    rlim_t m_current = 0;
};

// Uses up every descriptor the process may open, until released.
class DescriptorStarvation
{
public:
    DescriptorStarvation()
    {
        // A thread that starts while no descriptor is free cannot make its
        // event loop's wakeup pipe, and GLib ends the process for it. Name
        // lookups are the threads that start on their own: earlier tests'
        // computers are named before the descriptors go, and nothing here is
        // accepted (so nothing is looked up) until they are back.
        platform::hostnames::pool()->waitForDone();
        ::getrlimit(RLIMIT_NOFILE, &m_old);
        // Descriptors already above the limit stay open; every free one below
        // it is taken here.
        rlimit low = m_old;
        low.rlim_cur = 64;
        ::setrlimit(RLIMIT_NOFILE, &low);
        for (;;) {
            const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                break;
            m_fds.push_back(fd);
        }
    }
    ~DescriptorStarvation() { release(); }
    void release()
    {
        for (int fd : m_fds)
            ::close(fd);
        m_fds.clear();
        ::setrlimit(RLIMIT_NOFILE, &m_old);
    }

private:
    rlimit m_old{};
    std::vector<int> m_fds;
};

#endif

} // namespace

class TcpLimitsTest : public QObject
{
    Q_OBJECT
private slots:
    void listeningSocketErrorIsReportedAndServerCarriesOn();
    void backlogHoldsBurstOfConnects();
    void connectionCaps_data();
    void connectionCaps();
    void totalCapLeavesRoomForFiles();
    void openFileLimitIsRaisedToHardLimit();
};

void TcpLimitsTest::listeningSocketErrorIsReportedAndServerCarriesOn()
{
#ifdef _WIN32
    QSKIP("Windows sets no limit of open sockets to use up and make the accept fail");
#else
    TcpServer server;
    QVERIFY(server.listen(0));
    Recorder events(server);
    Client waiting(server.localPort());
    QVERIFY(waiting.connected());
    {
        // The sanitizers' check of a call through a type they have not met
        // yet needs descriptors of its own; let them meet the notifier first.
        QSocketNotifier warm(QSocketNotifier::Read);
        warm.setEnabled(false);
    }
    {
        // No descriptor is left for the accept.
        DescriptorStarvation starvation;
        QTRY_VERIFY(!events.serverErrors.isEmpty());
        QCOMPARE(events.serverErrors[0], EMFILE);
        QCOMPARE(server.activeConnections(), 0);
        // Reported now and then, not in a tight loop while it lasts.
        QTest::qWait(300);
        QVERIFY2(events.serverErrors.size() <= 20,
                 qPrintable(QString::number(events.serverErrors.size())));
    }
    // Once descriptors are free again, the waiting computer gets in.
    QTRY_COMPARE(server.activeConnections(), 1);
    QCOMPARE(server.connection(0)->peerPort(), waiting.localPort());
    QVERIFY(server.isListening());
#endif
}

void TcpLimitsTest::backlogHoldsBurstOfConnects()
{
    constexpr int Burst = 500;
#ifndef _WIN32
    // Each connection costs two descriptors here, the client's and the server's.
    DescriptorLimit limit(2 * Burst + 256);
    if (limit.current() < rlim_t(2 * Burst + 64))
        QSKIP("too few descriptors allowed for the burst");
#endif

    TcpServer server;
    QVERIFY(server.listen(0));

    // A whole room at once, before the server has had a chance to accept any;
    // each computer from its own address.
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < Burst; ++i) {
        const quint32 from = 0x7f000100 + quint32(i); // 127.0.1.0 onwards
        const QByteArray address = QByteArray::number(from >> 24) + '.'
                                   + QByteArray::number((from >> 16) & 255) + '.'
                                   + QByteArray::number((from >> 8) & 255) + '.'
                                   + QByteArray::number(from & 255);
        clients.push_back(std::make_unique<Client>(server.localPort(), address.constData(), 0,
                                                   Client::StartConnect));
        QVERIFY2(clients.back()->connected(), address.constData());
    }

    // Refused or dropped connects would retry after a second and more.
    QTRY_COMPARE_WITH_TIMEOUT(server.activeConnections(), Burst, 5000);
    QSet<quint16> clientPorts;
    for (const auto &client : clients) {
        QCOMPARE(client->pendingError(), 0);
        clientPorts.insert(client->localPort());
    }
    QSet<quint16> serverPorts;
    for (int i = 0; i < server.activeConnections(); ++i)
        serverPorts.insert(server.connection(i)->peerPort());
    QCOMPARE(serverPorts, clientPorts);

    // And they all go as well.
    clients.clear();
    QTRY_COMPARE_WITH_TIMEOUT(server.activeConnections(), 0, 10000);
}

void TcpLimitsTest::connectionCaps_data()
{
    QTest::addColumn<QByteArrayList>("from");     // in connect order
    QTest::addColumn<int>("total");               // 0: from the open-file limit
    QTest::addColumn<QByteArrayList>("listed");   // the addresses let in, in order
    QTest::addColumn<QByteArrayList>("reported"); // refusals raised, in order
    QTest::addColumn<QByteArray>("againFrom");    // let in once the first has gone
    const QByteArray a = "127.0.0.5", b = "127.0.0.6", c = "127.0.0.7", d = "127.0.0.8";
    QTest::newRow("one address over its cap")
            << QByteArrayList{a, a, a, a, a, b, a} << 0 << QByteArrayList{a, a, a, a, b}
            << QByteArrayList{a} << a;
    QTest::newRow("two addresses over their caps")
            << QByteArrayList{a, b, a, b, a, b, a, b, a, b} << 0
            << QByteArrayList{a, b, a, b, a, b, a, b} << QByteArrayList{a, b} << a;
    QTest::newRow("over the total") << QByteArrayList{a, b, c, d, d} << 3 << QByteArrayList{a, b, c}
                                    << QByteArrayList{d} << d;
    QTest::newRow("total before the address cap")
            << QByteArrayList{a, a, b, a} << 2 << QByteArrayList{a, a} << QByteArrayList{b, a} << b;
}

// A connection over a cap is ended at once and never seen by the handlers;
// the refusal is reported, and once a connection goes, room is made again.
void TcpLimitsTest::connectionCaps()
{
    QFETCH(QByteArrayList, from);
    QFETCH(int, total);
    QFETCH(QByteArrayList, listed);
    QFETCH(QByteArrayList, reported);
    QFETCH(QByteArray, againFrom);
    TcpServer server;
    server.setConnectionLimits(TcpServer::ConnectionsPerAddress, total);
    QVERIFY(server.listen(0));
    Recorder events(server);
    QSignalSpy refusals(&server, &TcpServer::clientRefused);

    std::vector<std::unique_ptr<Client>> clients;
    std::vector<Client *> inClients;
    for (const QByteArray &address : from) {
        bool decided = false;
        if (connectAndSeeListed(server, clients, address, &decided))
            inClients.push_back(clients.back().get());
        QVERIFY2(decided, address.constData());
    }
    QByteArrayList got;
    for (int i = 0; i < server.activeConnections(); ++i)
        got << server.connection(i)->peerAddress();
    QCOMPARE(got, listed);
    QCOMPARE(int(events.accepted.size()), listed.size());
    QVERIFY(events.closing.empty());
    QByteArrayList told;
    for (const QList<QVariant> &args : refusals)
        told << args.at(0).toByteArray();
    QCOMPARE(told, reported);
    QVERIFY(events.serverErrors.isEmpty());

    inClients.front()->close();
    QTRY_COMPARE(server.activeConnections(), listed.size() - 1);
    bool decided = false;
    QVERIFY(connectAndSeeListed(server, clients, againFrom, &decided));
    QCOMPARE(server.connection(server.activeConnections() - 1)->peerAddress(), againFrom);
}

// With the cap taken from the open-file limit, computers from as many
// addresses as they like never use up the descriptors the console needs for
// its files.
void TcpLimitsTest::totalCapLeavesRoomForFiles()
{
#ifdef _WIN32
    // No open-file limit: the cap is the fixed one.
    TcpServer server;
    QVERIFY(server.listen(0));
    QCOMPARE(server.connectionLimit(), TcpServer::MaxConnections);
    QSKIP("Windows sets no limit of open sockets and files to leave room under");
#else
    // The names of earlier tests' computers may still be looked up, each
    // with descriptors open that would count as taken at listen.
    platform::hostnames::pool()->waitForDone();
    constexpr int Computers = 60;
    constexpr int Room = 12; // connections the limit leaves for the server
    rlimit old{};
    ::getrlimit(RLIMIT_NOFILE, &old);
    auto restore = qScopeGuard([&] { ::setrlimit(RLIMIT_NOFILE, &old); });
    // The computers' sockets are made before the server counts what is open,
    // as the console's own descriptors are before it listens.
    std::vector<int> fds;
    auto closeAll = qScopeGuard([&] {
        for (int fd : fds)
            ::close(fd);
    });
    for (int i = 0; i < Computers; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QVERIFY(fd >= 0);
        fds.push_back(fd);
    }
    // Every descriptor number in use stays below the lowered limit.
    const int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    QVERIFY(probe >= 0);
    ::close(probe);
    int highest = probe;
    for (int fd : fds)
        highest = qMax(highest, fd);
    rlimit low = old;
    low.rlim_cur = rlim_t(highest + 1 + TcpServer::SpareDescriptors + Room);
    if (low.rlim_cur > old.rlim_max)
        QSKIP("too few descriptors allowed");
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);

    TcpServer server;
    QVERIFY(server.listen(0));
    Recorder events(server);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(server.localPort());
    for (int i = 0; i < Computers; ++i) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 512 + quint32(i));
        QCOMPARE(::bind(fds[size_t(i)], reinterpret_cast<sockaddr *>(&from), sizeof from), 0);
        QCOMPARE(::connect(fds[size_t(i)], reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    }
    // Each is either listed or ended.
    auto ended = [&](int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    };
    QTRY_VERIFY_WITH_TIMEOUT(
            std::count_if(fds.begin(), fds.end(), ended) + server.activeConnections() == Computers,
            10000);
    QVERIFY(server.activeConnections() > 0);
    QVERIFY(std::count_if(fds.begin(), fds.end(), ended) > 0);
    QVERIFY(events.serverErrors.isEmpty());

    // The room left: the log, the settings and their copy, the update
    // worker's connection and file, name lookups.
    std::vector<int> files;
    for (int fd; int(files.size()) < 16 && (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        files.push_back(fd);
    for (int fd : files)
        ::close(fd);
    QCOMPARE(int(files.size()), 16);
#endif
}

void TcpLimitsTest::openFileLimitIsRaisedToHardLimit()
{
#ifdef _WIN32
    QCOMPARE(platform::raiseOpenFileLimit(), -1LL);
    QSKIP("Windows sets no open-file limit to raise");
#else
    rlimit old{};
    ::getrlimit(RLIMIT_NOFILE, &old);
    if (old.rlim_max == RLIM_INFINITY || old.rlim_max <= 256)
        QSKIP("the hard limit leaves nothing to raise here");
    auto restore = qScopeGuard([&] { ::setrlimit(RLIMIT_NOFILE, &old); });
    rlimit low = old;
    low.rlim_cur = 256;
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);

    QCOMPARE(platform::raiseOpenFileLimit(), (long long)(old.rlim_max));
    rlimit now{};
    ::getrlimit(RLIMIT_NOFILE, &now);
    QCOMPARE(now.rlim_cur, old.rlim_max);
    QCOMPARE(platform::raiseOpenFileLimit(), (long long)(old.rlim_max)); // already there
#endif
}

QTEST_GUILESS_MAIN(TcpLimitsTest)
#include "test_tcplimits.moc"
