#pragma once

#include "platform/hostinfo.h"

#include <QtGlobal>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
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
    // from: the local address to connect from (127.0.0.x), or the system's
    // choice; receiveBuffer: a small receive buffer makes the console's sends
    // meet a full connection sooner.
    explicit RawSocket(quint16 port, const char *from = nullptr, int receiveBuffer = 0)
    {
        platform::startSockets();
#ifdef _WIN32
        m_fd = int(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
#else
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#endif
        if (receiveBuffer > 0)
            option(SOL_SOCKET, SO_RCVBUF, receiveBuffer);
        if (from) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            ::inet_pton(AF_INET, from, &local.sin_addr);
            ::bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    }
    ~RawSocket()
    {
        if (m_fd >= 0)
            close();
    }
    RawSocket(const RawSocket &) = delete;
    RawSocket &operator=(const RawSocket &) = delete;

    bool connected() const { return m_connected; }
    quint16 localPort() const
    {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&addr), &len);
        return ntohs(addr.sin_port);
    }
    // True when the console has closed its end (a read answers end of file).
    bool seesEnd(int timeoutMs = 5000)
    {
#ifdef _WIN32
        WSAPOLLFD p{SOCKET(m_fd), POLLIN, 0};
        if (::WSAPoll(&p, 1, timeoutMs) != 1)
            return false;
        char c;
        return ::recv(m_fd, &c, 1, 0) == 0; // readable: the read does not wait
#else
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            return false;
        char c;
        return ::recv(m_fd, &c, 1, MSG_DONTWAIT) == 0;
#endif
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
    // One send: the count the system took, -1 when it took nothing. Without
    // wait, only what the connection takes now.
    qint64 sendSome(const char *data, qint64 size, bool wait = true)
    {
#ifdef _WIN32
        u_long nonBlocking = wait ? 0 : 1;
        ::ioctlsocket(SOCKET(m_fd), FIONBIO, &nonBlocking);
        const int n = ::send(SOCKET(m_fd), data, int(qMin<qint64>(size, 1 << 30)), 0);
        nonBlocking = 0;
        ::ioctlsocket(SOCKET(m_fd), FIONBIO, &nonBlocking);
        return n;
#else
        return ::send(m_fd, data, size_t(size), MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
#endif
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

    int m_fd = -1;

private:
    bool m_connected = false;
};
