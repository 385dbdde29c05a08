#pragma once

#include <QtGlobal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// A student computer at the other end as a plain blocking socket to
// 127.0.0.1, so that a test decides exactly when it writes, reads, closes or
// resets. Tests add the reading they need on top.
class RawSocket
{
public:
    // from: the local address to connect from (127.0.0.x), or the system's
    // choice; receiveBuffer: a small receive buffer makes the console's sends
    // meet a full connection sooner.
    explicit RawSocket(quint16 port, const char *from = nullptr, int receiveBuffer = 0)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0)
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
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
            ::close(m_fd);
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
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            return false;
        char c;
        return ::recv(m_fd, &c, 1, MSG_DONTWAIT) == 0;
    }
    void close()
    {
        ::close(m_fd);
        m_fd = -1;
    }
    // SO_LINGER 0: the close sends a reset instead of an orderly end.
    void reset()
    {
        linger lin{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
        close();
    }

protected:
    int m_fd = -1;

private:
    bool m_connected = false;
};
