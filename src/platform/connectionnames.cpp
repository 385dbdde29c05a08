// The computers' names of the connections: looked up on the name pool and
// handed back to the server's thread. The same on every system; the lookup
// itself is in hostnames.cpp.
#include "platform/hostnames.h"
#include "platform/tcpserver.h"

#include <QMetaObject>
#include <QThreadPool>

namespace platform {

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

} // namespace platform
