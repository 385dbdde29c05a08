#include "platform/tcpserver.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

QString socketErrorText(int code, const char *api)
{
    return QStringLiteral("Socket error: %1 (%2), on API '%3'")
            .arg(QString::fromLocal8Bit(std::strerror(code)))
            .arg(code)
            .arg(QLatin1String(api));
}

qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
}

// How many descriptors the process has open; the fallback where the system
// does not list them.
int openDescriptors(int fallback)
{
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return fallback;
    int count = 0;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(dir);
    return count - 1; // the listing's own
}

// The process's descriptor table grows as connections come, each time
// copied whole inside accept on the window's thread; a class connecting at
// once would stall the window at every step. Grown once here instead, to
// as many descriptors as the limit allows, up to a large classroom's need.
void growDescriptorTable(int anyDescriptor)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < 2)
        return;
    const rlim_t wanted = 4095;
    const rlim_t highest
            = limit.rlim_cur == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_cur - 1);
    const int high = ::fcntl(anyDescriptor, F_DUPFD_CLOEXEC, int(highest));
    if (high >= 0)
        ::close(high);
}

} // namespace

TcpServer::TcpServer(QObject *parent)
    : QObject(parent)
    , m_nameRelay(std::make_shared<NameRelay>())
{
    m_nameRelay->server = this;
}

TcpServer::~TcpServer()
{
    // The program is ending: connections go without notifications, since
    // whoever listens to them may already be gone.
    {
        std::lock_guard lock(m_nameRelay->mutex);
        m_nameRelay->server = nullptr;
    }
    blockSignals(true);
    for (const ConnectionPtr &c : std::vector<ConnectionPtr>(m_connections)) {
        c->m_closing = true;
        c->closeDescriptor();
        c->m_server = nullptr;
    }
    m_connections.clear();
    m_perAddress.clear();
    close();
    delete m_readyNotifier;
    if (m_epoll >= 0)
        ::close(m_epoll);
}

bool TcpServer::listen(quint16 port, QString *errorText, int *errorCode)
{
    close();
    auto fail = [&](const char *api, int fd) {
        const int code = errno;
        if (fd >= 0)
            ::close(fd);
        if (errorText)
            *errorText = socketErrorText(code, api);
        if (errorCode)
            *errorCode = code;
        return false;
    };

    if (m_epoll < 0) {
        m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
        if (m_epoll < 0)
            return fail("epoll_create1", -1);
        m_readyNotifier = new QSocketNotifier(m_epoll, QSocketNotifier::Read, this);
        connect(m_readyNotifier, &QSocketNotifier::activated, this, &TcpServer::serveReady);
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail("socket", -1);
    // Lets a restarted console listen again at once although connections of
    // the previous run linger; a port held by a live listener still fails.
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0)
        return fail("bind", fd);
    if (::listen(fd, ListenBacklog) < 0)
        return fail("listen", fd);

    m_fd = fd;
    growDescriptorTable(fd);
    m_descriptorsAtListen = openDescriptors(fd + 1);
    m_acceptNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &TcpServer::acceptPending);
    return true;
}

quint16 TcpServer::localPort() const
{
    if (m_fd < 0)
        return 0;
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr *>(&addr), &len) < 0)
        return 0;
    return ntohs(addr.sin_port);
}

void TcpServer::close()
{
    delete m_acceptNotifier;
    m_acceptNotifier = nullptr;
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void TcpServer::resumeReads(const ConnectionPtr &c)
{
    if (!c || !c->m_readsHeld)
        return;
    c->m_readsHeld = false;
    const auto aside = std::find(m_setAside.begin(), m_setAside.end(), c->m_key);
    if (aside == m_setAside.end() || c->m_key == 0)
        return;
    m_setAside.erase(aside);
    if (!watchAgain(c))
        handleError(c.get(), errno);
}

// Back into the watch set: whatever waits is reported at the next wake-up.
bool TcpServer::watchAgain(const ConnectionPtr &c)
{
    return m_watched.value(c->m_key) == c && watch(c.get());
}

int TcpServer::connectionLimit() const
{
    if (m_totalLimit > 0)
        return m_totalLimit;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return MaxConnections;
    const qint64 room = qint64(limit.rlim_cur) - m_descriptorsAtListen - SpareDescriptors;
    return int(std::clamp<qint64>(room, 0, MaxConnections));
}

void TcpServer::acceptPending()
{
    // Bounded, so that a storm of connects cannot starve the window; the
    // notifier fires again for what is left. Every accepted connection runs
    // the connect handler; its name is looked up on another thread. Refusals
    // cost no handler and no lookup, so a wake-up refuses many more, but not
    // without end either.
    const int limit = connectionLimit();
    int accepted = 0;
    for (int round = 0; accepted < AcceptsPerWakeup && round < 256; ++round) {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        const int fd = ::accept4(m_fd, reinterpret_cast<sockaddr *>(&addr), &len,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int code = errno;
            if (code == EAGAIN || code == EWOULDBLOCK || code == EINTR || code == ECONNABORTED)
                return;
            // Out of descriptors and the like: report it, and give the system
            // a moment instead of being woken again at once.
            int reported = code;
            emit serverError(reported);
            if (m_acceptNotifier) {
                m_acceptNotifier->setEnabled(false);
                QTimer::singleShot(100, this, [this] {
                    if (m_acceptNotifier)
                        m_acceptNotifier->setEnabled(true);
                });
            }
            return;
        }
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
        const QByteArray address(text);
        if (!admit(address, limit)) {
            refuse(fd, address);
            continue;
        }
        ++accepted;

        ConnectionPtr c(new Connection(this, fd, address, ntohs(addr.sin_port)));
        c->m_key = ++m_lastKey;
        if (!watch(c.get())) {
            // The system cannot watch one more: as if it had never come.
            int reported = errno;
            c->m_key = 0;
            if (--m_perAddress[address] <= 0)
                m_perAddress.remove(address);
            emit serverError(reported);
            continue;
        }
        m_watched.insert(c->m_key, c);
        m_connections.push_back(c);
        lookUpName(c);
        emit clientConnect(c);
    }
}

void TcpServer::refuse(int fd, const QByteArray &address)
{
    // With a reset, so that nothing of the connection waits in the system
    // for the peer's end either.
    const linger lin{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
    ::close(fd);

    const qint64 now = m_clock ? m_clock() : steadyMs();
    const auto last = m_lastRefusalReport.constFind(address);
    if (last != m_lastRefusalReport.constEnd() && now - *last < RefusalReportIntervalMs)
        return;
    // Only addresses reported within the last interval need remembering.
    if (m_lastRefusalReport.size() >= 1024) {
        m_lastRefusalReport.removeIf([now](const auto &entry) {
            return now - entry.value() >= RefusalReportIntervalMs;
        });
    }
    m_lastRefusalReport.insert(address, now);
    emit clientRefused(address);
}

bool TcpServer::watch(Connection *c)
{
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.u64 = c->m_key;
    return ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, c->m_fd, &event) == 0;
}

void TcpServer::unwatch(Connection *c)
{
    if (c->m_key == 0)
        return;
    // Before the descriptor is closed, while the set can still find it; a
    // connection set aside is no longer in the set, which is fine.
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, c->m_fd, nullptr);
    m_watched.remove(c->m_key);
    c->m_key = 0;
}

void TcpServer::serveReady()
{
    // Level-triggered: what is not served now (over the bound, or data a
    // handler left for later) is reported again at the next wake-up, and
    // the set hands the ready ones out in turn.
    epoll_event events[ReadyPerWakeup];
    const int ready = ::epoll_wait(m_epoll, events, ReadyPerWakeup, 0);
    for (int i = 0; i < ready; ++i) {
        // A handler may have closed a connection further down the list.
        const ConnectionPtr c = m_watched.value(events[i].data.u64);
        if (c)
            serve(c, events[i].events);
    }
}

void TcpServer::serve(const ConnectionPtr &c, quint32 events)
{
    if (!c->isOpen()) {
        // Failed, and its error is on its way: stop watching it till then.
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, c->m_fd, nullptr);
        return;
    }
    // Plain data needs no look: only an end or an error may hide behind it.
    if (!(events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
        if (c->m_readsHeld)
            setAside(c);
        else
            emit clientRead(c);
        return;
    }
    char probe;
    ssize_t n;
    int code = 0;
    {
        std::lock_guard lock(c->m_mutex);
        if (c->m_fd < 0)
            return;
        n = ::recv(c->m_fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        code = errno;
    }
    if (n == 0) {
        c->close(); // the peer has closed, and all it sent has been read
    } else if (n < 0) {
        if (code != EAGAIN && code != EWOULDBLOCK && code != EINTR) {
            c->m_failed = true;
            handleError(c.get(), code);
        }
    } else if (c->m_readsHeld) {
        setAside(c);
    } else {
        emit clientRead(c); // what was sent before the end is read first
    }
}

// A connection with data waiting while its reads are held would wake the
// event loop at once, for ever: it leaves the set until its hold ends, and is
// looked at now and then meanwhile, so that its end is still reported once
// its reader has taken the data.
void TcpServer::setAside(const ConnectionPtr &c)
{
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, c->m_fd, nullptr);
    m_setAside.push_back(c->m_key);
    if (!m_setAsideTimer) {
        m_setAsideTimer = new QTimer(this);
        m_setAsideTimer->setInterval(HeldConnectionCheckMs);
        connect(m_setAsideTimer, &QTimer::timeout, this, &TcpServer::checkSetAside);
    }
    if (!m_setAsideTimer->isActive())
        m_setAsideTimer->start();
}

void TcpServer::checkSetAside()
{
    std::vector<quint64> aside;
    aside.swap(m_setAside);
    for (quint64 key : aside) {
        const ConnectionPtr c = m_watched.value(key);
        if (!c)
            continue;
        char probe;
        ssize_t n;
        int code = 0;
        {
            std::lock_guard lock(c->m_mutex);
            n = c->m_fd < 0 ? -1 : ::recv(c->m_fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
            code = errno;
        }
        if (n > 0 && c->m_readsHeld) {
            m_setAside.push_back(key); // still waits for its hold to end
        } else if (n > 0) {
            if (!watchAgain(c)) // a handler above ended its hold
                handleError(c.get(), errno);
        } else if (n == 0) {
            c->close();
        } else if (code != EAGAIN && code != EWOULDBLOCK && code != EINTR) {
            c->m_failed = true;
            handleError(c.get(), code);
        } else if (!watchAgain(c)) { // its reader has taken it all
            handleError(c.get(), errno);
        }
    }
    if (m_setAside.empty())
        m_setAsideTimer->stop();
}

} // namespace platform
