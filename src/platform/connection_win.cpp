// The operations on one accepted connection, over Winsock; the server that
// watches it is in tcpserver_win.cpp.
#include "platform/tcpserver.h"

#include <QMetaObject>
#include <QThread>

#include <algorithm>

#include <winsock2.h>

namespace platform {

namespace {

bool onThreadOf(const QObject *object)
{
    return object && object->thread() == QThread::currentThread();
}

bool wouldBlock(int code)
{
    return code == WSAEWOULDBLOCK || code == WSAEINTR || code == WSAEINPROGRESS;
}

int chunk(qint64 size)
{
    return int(std::min<qint64>(size, 1 << 30));
}

} // namespace

Connection::Connection(TcpServer *server, int fd, QByteArray address, quint16 port)
    : m_server(server)
    , m_fd(fd)
    , m_address(std::move(address))
    , m_port(port)
{}

Connection::~Connection()
{
    if (m_fd >= 0)
        ::closesocket(SOCKET(m_fd));
}

bool Connection::descriptorValid() const
{
    std::lock_guard lock(m_mutex);
    return m_fd >= 0;
}

bool Connection::isOpen() const
{
    return !m_failed.load() && descriptorValid();
}

QByteArray Connection::peerAddress() const
{
    return descriptorValid() ? m_address : QByteArray();
}

quint16 Connection::peerPort() const
{
    return descriptorValid() ? m_port : 0;
}

qint64 Connection::receive(char *data, qint64 maxSize)
{
    int error = 0;
    {
        std::lock_guard lock(m_mutex);
        if (m_fd < 0 || m_failed.load())
            return 0;
        if (maxSize <= 0)
            return -1;
        const int n = ::recv(SOCKET(m_fd), data, chunk(maxSize), 0);
        if (n >= 0)
            return n;
        error = ::WSAGetLastError();
        if (wouldBlock(error))
            return -1;
        m_failed = true;
    }
    reportError(error);
    return -1;
}

bool Connection::waitForReadable(int ms) const
{
    int fd;
    {
        std::lock_guard lock(m_mutex);
        fd = m_failed.load() ? -1 : m_fd;
    }
    if (fd < 0) {
        QThread::msleep(ulong(std::max(0, ms)));
        return false;
    }
    // Not under the lock, as elsewhere: a send or close must not wait for it.
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(SOCKET(fd), &readable);
    fd_set failed = readable;
    timeval timeout{std::max(0, ms) / 1000, (std::max(0, ms) % 1000) * 1000};
    return ::select(0, &readable, nullptr, &failed, &timeout) > 0;
}

bool Connection::waitForWritable(int ms) const
{
    int fd;
    {
        std::lock_guard lock(m_mutex);
        fd = m_failed.load() ? -1 : m_fd;
    }
    if (fd < 0) {
        QThread::msleep(ulong(std::max(0, ms)));
        return false;
    }
    // Not under the lock, as for a read: a worker reading the same
    // connection is not held up by a sender that waits.
    WSAPOLLFD p{SOCKET(fd), POLLOUT, 0};
    return ::WSAPoll(&p, 1, std::max(0, ms)) > 0 && (p.revents & (POLLOUT | POLLHUP | POLLERR));
}

qint64 Connection::bytesWaiting() const
{
    std::lock_guard lock(m_mutex);
    u_long count = 0;
    if (m_fd < 0 || m_failed.load() || ::ioctlsocket(SOCKET(m_fd), FIONREAD, &count) != 0)
        return 0;
    return qint64(count);
}

qint64 Connection::send(const char *data, qint64 size)
{
    int error = 0;
    {
        std::lock_guard lock(m_mutex);
        if (m_fd < 0 || m_failed.load())
            return -1;
        const int n = ::send(SOCKET(m_fd), data, chunk(size), 0);
        if (n >= 0)
            return n;
        error = ::WSAGetLastError();
        if (wouldBlock(error))
            return -1;
        m_failed = true;
    }
    reportError(error);
    return -1;
}

void Connection::close()
{
    TcpServer *server = m_server.data();
    if (server && !onThreadOf(server)) {
        std::weak_ptr<Connection> weak = weak_from_this();
        QMetaObject::invokeMethod(
                server,
                [weak] {
                    if (auto self = weak.lock())
                        self->close();
                },
                Qt::QueuedConnection);
        return;
    }
    if (m_closing.exchange(true) || !descriptorValid())
        return;
    ConnectionPtr self = shared_from_this();
    if (server)
        emit server->clientDisconnect(self);
    closeDescriptor();
    if (server)
        server->release(this);
}

void Connection::closeDescriptor()
{
    if (TcpServer *server = m_server.data())
        server->unwatch(this);
    std::lock_guard lock(m_mutex);
    if (m_fd >= 0) {
        ::closesocket(SOCKET(m_fd));
        m_fd = -1;
    }
}

void Connection::reportError(int code)
{
    TcpServer *server = m_server.data();
    if (!server)
        return;
    std::weak_ptr<Connection> weak = weak_from_this();
    QMetaObject::invokeMethod(
            server,
            [server, weak, code] {
                if (auto self = weak.lock())
                    server->handleError(self.get(), code);
            },
            Qt::QueuedConnection);
}

} // namespace platform
