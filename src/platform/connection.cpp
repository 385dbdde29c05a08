// The operations on one accepted connection; the server that watches it is
// in tcpserver.cpp, the system's calls in sockets_*.cpp.
#include "platform/sockets.h"
#include "platform/tcpserver.h"

#include <QMetaObject>
#include <QThread>

#include <algorithm>

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
        sockets::close(m_fd);
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
        const qint64 n = sockets::receive(m_fd, data, maxSize, false, &error);
        if (n >= 0 || error == 0)
            return n < 0 ? -1 : n;
        m_failed = true;
    }
    reportError(error);
    return -1;
}

namespace {

// Not under the connection's lock, which would hold up a send, a read or a
// close for the whole wait. Should the connection be closed meanwhile, the
// wait merely ends early or lasts its time.
bool waitOn(int fd, bool writable, int ms)
{
    if (fd < 0) {
        QThread::msleep(ulong(std::max(0, ms)));
        return false;
    }
    return sockets::waitFor(fd, writable, ms);
}

} // namespace

bool Connection::waitForReadable(int ms) const
{
    std::unique_lock lock(m_mutex);
    const int fd = m_failed.load() ? -1 : m_fd;
    lock.unlock();
    return waitOn(fd, false, ms);
}

bool Connection::waitForWritable(int ms) const
{
    std::unique_lock lock(m_mutex);
    const int fd = m_failed.load() ? -1 : m_fd;
    lock.unlock();
    return waitOn(fd, true, ms);
}

qint64 Connection::bytesWaiting() const
{
    std::lock_guard lock(m_mutex);
    return m_fd < 0 || m_failed.load() ? 0 : sockets::bytesWaiting(m_fd);
}

qint64 Connection::send(const char *data, qint64 size)
{
    int error = 0;
    {
        std::lock_guard lock(m_mutex);
        if (m_fd < 0 || m_failed.load())
            return -1;
        const qint64 n = sockets::send(m_fd, data, size, &error);
        if (n >= 0 || error == 0)
            return n < 0 ? -1 : n;
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
        sockets::close(m_fd);
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
