// The socket calls of POSIX systems, and the readiness of all connections
// in one epoll set behind a single notifier.
#include "platform/sockets.h"
#include "platform/tcpserver.h"

#include <QObject>
#include <QSocketNotifier>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform::sockets {

namespace {

bool wouldBlock(int code)
{
    return code == EAGAIN || code == EWOULDBLOCK || code == EINTR;
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

QString errorText(int code, const char *api)
{
    return QStringLiteral("Socket error: %1 (%2), on API '%3'")
            .arg(QString::fromLocal8Bit(std::strerror(code)))
            .arg(code)
            .arg(QLatin1String(api));
}

int listenOn(quint16 port, int backlog, int *code, const char **api)
{
    auto fail = [&](const char *call, int fd) {
        *code = errno;
        *api = call;
        if (fd >= 0)
            ::close(fd);
        return -1;
    };
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
    if (::listen(fd, backlog) < 0)
        return fail("listen", fd);
    growDescriptorTable(fd);
    return fd;
}

quint16 localPort(int fd)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) < 0)
        return 0;
    return ntohs(addr.sin_port);
}

int accept(int listener, QByteArray *address, quint16 *port, int *code)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    const int fd = ::accept4(listener, reinterpret_cast<sockaddr *>(&addr), &len,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        *code = wouldBlock(errno) || errno == ECONNABORTED ? 0 : errno;
        return -1;
    }
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    *address = QByteArray(text);
    *port = ntohs(addr.sin_port);
    return fd;
}

qint64 receive(int fd, char *data, qint64 size, bool peek, int *code)
{
    const ssize_t n = ::recv(fd, data, size_t(size), MSG_DONTWAIT | (peek ? MSG_PEEK : 0));
    *code = n < 0 && !wouldBlock(errno) ? errno : 0;
    return n;
}

qint64 send(int fd, const char *data, qint64 size, int *code)
{
    const ssize_t n = ::send(fd, data, size_t(size), MSG_DONTWAIT | MSG_NOSIGNAL);
    *code = n < 0 && !wouldBlock(errno) ? errno : 0;
    return n;
}

qint64 bytesWaiting(int fd)
{
    int count = 0;
    return ::ioctl(fd, FIONREAD, &count) < 0 ? 0 : count;
}

bool waitFor(int fd, bool writable, int ms)
{
    const short events = writable ? POLLOUT : POLLIN;
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, std::max(0, ms)) > 0 && (p.revents & (events | POLLHUP | POLLERR));
}

void close(int fd)
{
    ::close(fd);
}

void closeWithReset(int fd)
{
    const linger lin{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
    ::close(fd);
}

qint64 descriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return -1;
    return qint64(limit.rlim_cur);
}

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

namespace {

// Level-triggered: what is not served at one wake-up (over the bound, or
// data a handler left for later) is reported again at the next, and the set
// hands the ready ones out in turn.
class EpollWatch final : public ReadyWatch
{
public:
    using ReadyWatch::ReadyWatch;
    ~EpollWatch() override
    {
        delete m_notifier;
        if (m_epoll >= 0)
            ::close(m_epoll);
    }
    int open(const char **api) override
    {
        if (m_epoll >= 0)
            return 0;
        m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
        if (m_epoll < 0) {
            *api = "epoll_create1";
            return errno;
        }
        m_notifier = new QSocketNotifier(m_epoll, QSocketNotifier::Read, m_owner);
        QObject::connect(m_notifier, &QSocketNotifier::activated, m_owner, [this] { serve(); });
        return 0;
    }
    int watch(quint64 key, int fd) override
    {
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.u64 = key;
        return ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) == 0 ? 0 : errno;
    }
    // Out of the set; a connection already out of it is fine.
    void pause(quint64, int fd) override { ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr); }
    int resume(quint64 key, int fd) override { return watch(key, fd); }
    void unwatch(quint64 key, int fd) override { pause(key, fd); }
    bool endToldOnce() const override { return false; }

private:
    static constexpr int ReadyPerWakeup = TcpServer::ReadyPerWakeup;
    void serve()
    {
        epoll_event events[ReadyPerWakeup];
        const int ready = ::epoll_wait(m_epoll, events, ReadyPerWakeup, 0);
        for (int i = 0; i < ready; ++i)
            m_ready(events[i].data.u64, !(events[i].events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)));
    }

    int m_epoll = -1;
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace

std::unique_ptr<ReadyWatch> makeReadyWatch(QObject *owner, ReadyWatch::Ready ready)
{
    return std::make_unique<EpollWatch>(owner, std::move(ready));
}

} // namespace platform::sockets
