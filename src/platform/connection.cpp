// The operations on one accepted connection; the server that watches it is
// in tcpserver.cpp.
#include "platform/tcpserver.h"

#include "platform/hostnames.h"

#include <QMetaObject>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

bool onThreadOf(const QObject *object)
{
    return object && object->thread() == QThread::currentThread();
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
        ::close(m_fd);
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

QByteArray Connection::peerHostName() const
{
    // Closing: still the name, for the disconnect handler; closed: none.
    if ((!isOpen() && !m_closing.load()) || !descriptorValid())
        return {};
    std::lock_guard lock(m_nameMutex);
    const bool stale
            = m_nameKnown && hostnames::steadyMs() - m_nameTime >= hostnames::settings().refreshMs;
    TcpServer *server = m_server.data();
    if (stale && !m_nameLookupRunning && server) {
        m_nameLookupRunning = true;
        std::weak_ptr<const Connection> weak = weak_from_this();
        QMetaObject::invokeMethod(
                server,
                [server, weak] {
                    if (auto self = weak.lock())
                        server->lookUpName(std::const_pointer_cast<Connection>(self));
                },
                Qt::QueuedConnection);
    }
    return m_hostName;
}

bool Connection::hostNameKnown() const
{
    std::lock_guard lock(m_nameMutex);
    return m_nameKnown;
}

void Connection::takeName(const QByteArray &name)
{
    bool changed;
    {
        std::lock_guard lock(m_nameMutex);
        changed = !m_nameKnown || name != m_hostName;
        m_hostName = name;
        m_nameKnown = true;
        m_nameLookupRunning = false;
        m_nameTime = hostnames::steadyMs();
    }
    TcpServer *server = m_server.data();
    if (changed && server && isOpen())
        emit server->clientNamed(shared_from_this());
}

// On the server's thread; the lookup itself runs on the pool and hands its
// answer back through the relay, which the server cuts off when it goes.
void TcpServer::lookUpName(const ConnectionPtr &connection)
{
    {
        std::lock_guard lock(connection->m_nameMutex);
        connection->m_nameLookupRunning = true;
    }
    std::weak_ptr<Connection> weak = connection;
    std::shared_ptr<NameRelay> relay = m_nameRelay;
    const QByteArray address = connection->m_address;
    hostnames::pool()->start([weak, relay, address] {
        const QByteArray name = hostnames::lookUp(address);
        std::lock_guard lock(relay->mutex);
        if (!relay->server)
            return;
        QMetaObject::invokeMethod(
                relay->server,
                [weak, name] {
                    if (auto c = weak.lock())
                        c->takeName(name);
                },
                Qt::QueuedConnection);
    });
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
        const ssize_t n = ::recv(m_fd, data, size_t(maxSize), MSG_DONTWAIT);
        if (n >= 0)
            return n;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return -1;
        error = errno;
        m_failed = true;
    }
    reportError(error);
    return -1;
}

namespace {

// Not under the connection's lock, which would hold up a send, a read or a
// close for the whole wait. Should the connection be closed meanwhile, the
// wait merely ends early or lasts its time.
bool waitOn(int fd, short events, int ms)
{
    if (fd < 0) {
        QThread::msleep(ulong(std::max(0, ms)));
        return false;
    }
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, std::max(0, ms)) > 0 && (p.revents & (events | POLLHUP | POLLERR));
}

} // namespace

bool Connection::waitForReadable(int ms) const
{
    std::unique_lock lock(m_mutex);
    const int fd = m_failed.load() ? -1 : m_fd;
    lock.unlock();
    return waitOn(fd, POLLIN, ms);
}

bool Connection::waitForWritable(int ms) const
{
    std::unique_lock lock(m_mutex);
    const int fd = m_failed.load() ? -1 : m_fd;
    lock.unlock();
    return waitOn(fd, POLLOUT, ms);
}

qint64 Connection::bytesWaiting() const
{
    std::lock_guard lock(m_mutex);
    int count = 0;
    if (m_fd < 0 || m_failed.load() || ::ioctl(m_fd, FIONREAD, &count) < 0)
        return 0;
    return count;
}

qint64 Connection::send(const char *data, qint64 size)
{
    int error = 0;
    {
        std::lock_guard lock(m_mutex);
        if (m_fd < 0 || m_failed.load())
            return -1;
        const ssize_t n = ::send(m_fd, data, size_t(size), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0)
            return n;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return -1;
        error = errno;
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
        ::close(m_fd);
        m_fd = -1;
    }
}

void Connection::reportError(int code)
{
    // Errors are always raised from the event loop, never from inside the
    // call that met them: a send or a worker's read must not find its
    // connection closed and released under its feet.
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
