#pragma once

#include "platform/hostinfo.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QtGlobal>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

// A student computer at the other end as a plain blocking socket to
// 127.0.0.1, so that a test decides exactly when it writes, reads, closes or
// resets. Tests add the reading they need on top. On Windows a socket
// handle, which fits in an int as on Linux.
class RawSocket
{
public:
    // What a socket is asked for before it connects.
    enum Option {
        // Every write goes out at once, not gathered with the next.
        NoDelay = 1,
        // The local port is chosen at connect, for this destination: thousands
        // of connects from one address would otherwise run out of ports while
        // earlier ones linger in TIME_WAIT. Where the system chooses only at
        // bind (Windows), as before.
        PortAtConnect = 2,
        // The connect is started, not waited for: connected() answers whether
        // it started; pendingError() tells how it ended. The socket stays
        // non-blocking: only for sockets that are then only closed.
        StartConnect = 4,
    };

    // from: the local address to connect from (127.0.0.x), or the system's
    // choice; receiveBuffer: a small receive buffer makes the console's sends
    // meet a full connection sooner.
    explicit RawSocket(quint16 port, const char *from = nullptr, int receiveBuffer = 0,
                       int options = 0)
    {
        platform::startSockets();
#ifdef _WIN32
        m_fd = int(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
#else
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#endif
        if (m_fd < 0)
            return;
        if (receiveBuffer > 0)
            option(SOL_SOCKET, SO_RCVBUF, receiveBuffer);
        // TCP_NODELAY, 1 on every system: its header clashes with
        // linux/tcp.h, which a test includes for the queue counters.
        if (options & NoDelay)
            option(IPPROTO_TCP, 1, 1);
#ifdef IP_BIND_ADDRESS_NO_PORT
        if (options & PortAtConnect)
            option(IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1);
#endif
        if (from) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            ::inet_pton(AF_INET, from, &local.sin_addr);
            if (::bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
                return;
        }
        if (options & StartConnect)
            setBlocking(false);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0
                      || ((options & StartConnect) && lastError() == InProgress);
    }
    ~RawSocket()
    {
        if (m_fd >= 0)
            close();
    }
    RawSocket(const RawSocket &) = delete;
    RawSocket &operator=(const RawSocket &) = delete;

#ifdef _WIN32
    static constexpr int ResetCode = WSAECONNRESET;
    static constexpr int InProgress = WSAEWOULDBLOCK;
#else
    static constexpr int ResetCode = ECONNRESET;
    static constexpr int InProgress = EINPROGRESS;
#endif

    bool connected() const { return m_connected; }
    quint16 localPort() const
    {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&addr), &len);
        return ntohs(addr.sin_port);
    }
    // The error a started connect ended with (0: connected).
    int pendingError() const
    {
        int error = -1;
        socklen_t len = sizeof error;
        ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &len);
        return error;
    }
    // Whether data or the end waits to be read, waiting at most timeoutMs.
    bool waitReadable(int timeoutMs) const
    {
#ifdef _WIN32
        WSAPOLLFD p{SOCKET(m_fd), POLLIN, 0};
        return ::WSAPoll(&p, 1, timeoutMs) == 1;
#else
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, timeoutMs) == 1;
#endif
    }
    // One read: the count, 0 at the end, -1 when nothing waits (without
    // wait) or it failed, with the system's code in error.
    qint64 receiveSome(char *data, qint64 size, bool wait = true, int *error = nullptr)
    {
#ifdef _WIN32
        if (!wait && !waitReadable(0)) {
            if (error)
                *error = WSAEWOULDBLOCK;
            return -1;
        }
        const int n = ::recv(SOCKET(m_fd), data, int(qMin<qint64>(size, 1 << 30)), 0);
#else
        const ssize_t n = ::recv(m_fd, data, size_t(size), wait ? 0 : MSG_DONTWAIT);
#endif
        if (error)
            *error = n < 0 ? lastError() : 0;
        return n;
    }
    // True when the console has closed its end (a read answers end of file).
    bool seesEnd(int timeoutMs = 5000)
    {
        char c;
        return waitReadable(timeoutMs) && receiveSome(&c, 1, false) == 0;
    }
    // True when the console has ended the connection (an end of file or a
    // reset), waiting at most timeoutMs.
    bool ended(int timeoutMs)
    {
        char c;
        int error = 0;
        if (!waitReadable(timeoutMs))
            return false;
        const qint64 n = receiveSome(&c, 1, false, &error);
        return n == 0 || (n < 0 && error == ResetCode);
    }
    // Reads until count bytes have come or the wait runs out.
    QByteArray read(qsizetype count, int timeoutMs = 5000)
    {
        QByteArray out;
        QDeadlineTimer deadline(timeoutMs);
        while (out.size() < count && !deadline.hasExpired()) {
            if (!waitReadable(int(qMax<qint64>(1, deadline.remainingTime()))))
                continue;
            char buffer[65536];
            const qint64 n
                    = receiveSome(buffer, qMin<qsizetype>(sizeof buffer, count - out.size()));
            if (n <= 0)
                break;
            out.append(buffer, n);
        }
        return out;
    }
    void close()
    {
#ifdef _WIN32
        ::closesocket(SOCKET(m_fd));
#else
        ::close(m_fd);
#endif
        m_fd = -1;
    }
    // Ends both directions without closing: a send or read blocked on another
    // thread returns.
    void shutdown()
    {
#ifdef _WIN32
        ::shutdown(SOCKET(m_fd), SD_BOTH);
#else
        ::shutdown(m_fd, SHUT_RDWR);
#endif
    }
    // One send: the count the system took, -1 when it took nothing. Without
    // wait, only what the connection takes now.
    qint64 sendSome(const char *data, qint64 size, bool wait = true)
    {
#ifdef _WIN32
        if (!wait)
            setBlocking(false);
        const int n = ::send(SOCKET(m_fd), data, int(qMin<qint64>(size, 1 << 30)), 0);
        if (!wait)
            setBlocking(true);
        return n;
#else
        return ::send(m_fd, data, size_t(size), MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
#endif
    }
    // Sends all the bytes, waiting as long as it takes; false when the
    // connection failed first.
    bool write(const QByteArray &bytes)
    {
        for (qsizetype done = 0; done < bytes.size();) {
            const qint64 n = sendSome(bytes.constData() + done, bytes.size() - done);
            if (n < 0 && lastError() == Interrupted)
                continue;
            if (n <= 0)
                return false;
            done += n;
        }
        return true;
    }
    // SO_LINGER 0: the close sends a reset instead of an orderly end.
    void reset()
    {
        platform::resetOnClose(m_fd);
        close();
    }

protected:
    void option(int level, int name, int value)
    {
        ::setsockopt(m_fd, level, name, reinterpret_cast<const char *>(&value), sizeof value);
    }
    static int lastError()
    {
#ifdef _WIN32
        return ::WSAGetLastError();
#else
        return errno;
#endif
    }
    void setBlocking(bool blocking)
    {
#ifdef _WIN32
        u_long nonBlocking = blocking ? 0 : 1;
        ::ioctlsocket(SOCKET(m_fd), FIONBIO, &nonBlocking);
#else
        int nonBlocking = blocking ? 0 : 1;
        ::ioctl(m_fd, FIONBIO, &nonBlocking);
#endif
    }

    int m_fd = -1;

private:
#ifdef _WIN32
    static constexpr int Interrupted = WSAEINTR;
#else
    static constexpr int Interrupted = EINTR;
#endif
    bool m_connected = false;
};

// Whether this program runs under Wine, whose sockets differ from Windows'
// in a few ways; the tests say which where they skip a row for it.
inline bool underWine()
{
#ifdef _WIN32
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}
