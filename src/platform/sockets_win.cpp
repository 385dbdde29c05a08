// The socket calls of Winsock, and the readiness of each connection behind
// a notifier of its own: Windows has no watch set for many sockets behind
// one notifier.
#include "platform/hostinfo.h"
#include "platform/sockets.h"

#include <QHash>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <algorithm>

#include <winsock2.h>
#include <ws2tcpip.h>

// After Winsock's own headers.
#include <iphlpapi.h>

namespace platform::sockets {

namespace {

int lastError(bool blocked)
{
    const int code = ::WSAGetLastError();
    return blocked && (code == WSAEWOULDBLOCK || code == WSAEINTR || code == WSAEINPROGRESS) ? 0
                                                                                             : code;
}

int chunk(qint64 size)
{
    return int(std::min<qint64>(size, 1 << 30));
}

void makeNonBlocking(SOCKET s)
{
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
}

// Whether a socket of this computer is bound to the port: one that holds it
// for its own use makes a bind fail as forbidden rather than as in use.
bool portTaken(quint16 port)
{
    ULONG size = 0;
    if (::GetTcpTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER)
        return false;
    QByteArray buffer(qsizetype(size), Qt::Uninitialized);
    auto *table = reinterpret_cast<MIB_TCPTABLE *>(buffer.data());
    if (::GetTcpTable(table, &size, FALSE) != NO_ERROR)
        return false;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        if (ntohs(u_short(table->table[i].dwLocalPort)) == port)
            return true;
    }
    return false;
}

} // namespace

QString errorText(int code, const char *api)
{
    wchar_t *text = nullptr;
    ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                             | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, DWORD(code), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    const QString message = text ? QString::fromWCharArray(text).trimmed() : QString();
    ::LocalFree(text);
    return QStringLiteral("Socket error: %1 (%2), on API '%3'")
            .arg(message)
            .arg(code)
            .arg(QLatin1String(api));
}

int listenOn(quint16 port, int backlog, int *code, const char **api)
{
    auto fail = [&](const char *call, SOCKET s) {
        *code = ::WSAGetLastError();
        *api = call;
        if (s != INVALID_SOCKET)
            ::closesocket(s);
        return -1;
    };
    const SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return fail("socket", s);
    // A port held by another listener fails here, as it does elsewhere with
    // SO_REUSEADDR; Windows' SO_REUSEADDR would let two share it.
    const BOOL one = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&one),
                 sizeof one);
    makeNonBlocking(s);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == SOCKET_ERROR) {
        // The teacher is told the port is in use, whether its holder shares
        // it or keeps it for itself as the console does.
        const bool forbidden = ::WSAGetLastError() == WSAEACCES;
        fail("bind", s);
        if (forbidden && port != 0 && portTaken(port))
            *code = WSAEADDRINUSE;
        return -1;
    }
    if (::listen(s, backlog) == SOCKET_ERROR)
        return fail("listen", s);
    return int(s);
}

quint16 localPort(int fd)
{
    sockaddr_in addr{};
    int len = sizeof addr;
    if (fd < 0
        || ::getsockname(SOCKET(fd), reinterpret_cast<sockaddr *>(&addr), &len) == SOCKET_ERROR)
        return 0;
    return ntohs(addr.sin_port);
}

int accept(int listener, QByteArray *address, quint16 *port, int *code)
{
    sockaddr_in addr{};
    int len = sizeof addr;
    const SOCKET s = ::accept(SOCKET(listener), reinterpret_cast<sockaddr *>(&addr), &len);
    if (s == INVALID_SOCKET) {
        *code = lastError(true);
        if (*code == WSAECONNRESET)
            *code = 0;
        return -1;
    }
    ::SetHandleInformation(HANDLE(s), HANDLE_FLAG_INHERIT, 0);
    makeNonBlocking(s);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    *address = QByteArray(text);
    *port = ntohs(addr.sin_port);
    return int(s);
}

qint64 receive(int fd, char *data, qint64 size, bool peek, int *code)
{
    const int n = ::recv(SOCKET(fd), data, chunk(size), peek ? MSG_PEEK : 0);
    *code = n < 0 ? lastError(true) : 0;
    return n;
}

qint64 send(int fd, const char *data, qint64 size, int *code)
{
    const int n = ::send(SOCKET(fd), data, chunk(size), 0);
    *code = n < 0 ? lastError(true) : 0;
    return n;
}

qint64 bytesWaiting(int fd)
{
    u_long count = 0;
    return ::ioctlsocket(SOCKET(fd), FIONREAD, &count) != 0 ? 0 : qint64(count);
}

bool waitFor(int fd, bool writable, int ms)
{
    if (writable) {
        WSAPOLLFD p{SOCKET(fd), POLLOUT, 0};
        return ::WSAPoll(&p, 1, std::max(0, ms)) > 0 && (p.revents & (POLLOUT | POLLHUP | POLLERR));
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(SOCKET(fd), &readable);
    fd_set failed = readable;
    timeval timeout{std::max(0, ms) / 1000, (std::max(0, ms) % 1000) * 1000};
    return ::select(0, &readable, nullptr, &failed, &timeout) > 0;
}

void close(int fd)
{
    ::closesocket(SOCKET(fd));
}

void closeWithReset(int fd)
{
    resetOnClose(fd);
    ::closesocket(SOCKET(fd));
}

qint64 descriptorLimit()
{
    return -1;
}

int openDescriptors(int fallback)
{
    return fallback;
}

namespace {

// Windows tells of data and of the peer's end through the same notifier,
// and of the end only once. Should that one message be lost (under Wine the
// end of a connection whose reads were held while a stream was received is
// at times never posted), the computer would stay listed for ever: every
// watched connection is looked at once a second as well.
class NotifierWatch final : public ReadyWatch
{
public:
    NotifierWatch(QObject *owner, Ready ready)
        : ReadyWatch(owner, std::move(ready))
        , m_sweep(new QTimer(owner))
    {
        startSockets();
        m_sweep->setInterval(SweepMs);
        QObject::connect(m_sweep, &QTimer::timeout, owner, [this] { sweep(); });
    }
    ~NotifierWatch() override
    {
        delete m_sweep;
        qDeleteAll(m_notifiers);
    }
    int open(const char **) override { return 0; }
    int watch(quint64 key, int fd) override
    {
        QSocketNotifier *&notifier = m_notifiers[key];
        if (!notifier) {
            notifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read);
            QObject::connect(notifier, &QSocketNotifier::activated, m_owner,
                             [this, key] { m_ready(key, false); });
        }
        notifier->setEnabled(true);
        if (!m_sweep->isActive())
            m_sweep->start();
        return 0;
    }
    void pause(quint64 key, int) override
    {
        if (QSocketNotifier *notifier = m_notifiers.value(key))
            notifier->setEnabled(false);
    }
    // What waits is reported on the next turn, whether or not the system
    // posts it again.
    int resume(quint64 key, int fd) override
    {
        watch(key, fd);
        QTimer::singleShot(0, m_owner, [ready = m_ready, key] { ready(key, false); });
        return 0;
    }
    // Before the socket is closed: a notifier must not outlive its socket.
    void unwatch(quint64 key, int) override
    {
        if (QSocketNotifier *notifier = m_notifiers.take(key)) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    bool endToldOnce() const override { return true; }

    static constexpr int SweepMs = 1000;

private:
    // What a lost message would have told: the connections that are watched
    // and readable, served as if told. A handler may end any of them.
    void sweep()
    {
        const QList<quint64> keys = m_notifiers.keys();
        for (const quint64 key : keys) {
            const QSocketNotifier *notifier = m_notifiers.value(key);
            if (notifier && notifier->isEnabled() && waitFor(int(notifier->socket()), false, 0))
                m_ready(key, false);
        }
        if (m_notifiers.isEmpty())
            m_sweep->stop();
    }

    QTimer *const m_sweep;
    QHash<quint64, QSocketNotifier *> m_notifiers;
};

} // namespace

std::unique_ptr<ReadyWatch> makeReadyWatch(QObject *owner, ReadyWatch::Ready ready)
{
    return std::make_unique<NotifierWatch>(owner, std::move(ready));
}

} // namespace platform::sockets
