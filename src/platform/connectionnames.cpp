// The computers' names of the connections: looked up on the name pool and
// handed back to the server's thread. The same on every system; the lookup
// itself is in hostnames.cpp.
#include "platform/hostnames.h"
#include "platform/tcpserver.h"

#include <QMetaObject>
#include <QThreadPool>

#include <utility>
#include <vector>

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

namespace {

// Students' programs may connect and leave from ever new addresses: the
// names kept are bounded, those of addresses without a lookup going first.
constexpr qsizetype MaxKeptNames = 4096;
// A connection waits for its address's lookup with at most this many others
// (four per address are let in; the rest are closed ones not yet let go).
constexpr size_t MaxWaiting = 16;

bool alive(const std::weak_ptr<Connection> &waiting)
{
    const auto c = waiting.lock();
    return c && c->isOpen();
}

} // namespace

// On the server's thread. One lookup per address at a time: a connection
// from an address whose name is fresh takes it at once, one from an address
// being looked up waits for that lookup, and a lookup whose connections have
// all closed by the time its turn comes is dropped without asking anyone.
void TcpServer::lookUpName(const ConnectionPtr &connection)
{
    {
        std::lock_guard lock(connection->m_nameMutex);
        connection->m_nameLookupRunning = true;
    }
    const QByteArray address = connection->m_address;
    std::unique_lock lock(m_nameRelay->mutex);
    auto &all = m_nameRelay->addresses;
    if (!all.contains(address) && all.size() >= MaxKeptNames) {
        for (auto it = all.begin(); it != all.end();)
            it = it->queued ? std::next(it) : all.erase(it);
    }
    AddressLookup &lookup = all[address];
    if (!lookup.queued && lookup.at >= 0
        && hostnames::steadyMs() - lookup.at < hostnames::settings().refreshMs) {
        const QByteArray name = lookup.name;
        lock.unlock();
        // After the connection has been reported, as a looked-up name is.
        std::weak_ptr<Connection> weak = connection;
        QMetaObject::invokeMethod(
                this,
                [weak, name] {
                    if (auto c = weak.lock())
                        c->takeName(name);
                },
                Qt::QueuedConnection);
        return;
    }
    std::erase_if(lookup.waiting, [](const auto &w) { return !alive(w); });
    if (lookup.waiting.size() >= MaxWaiting)
        lookup.waiting.erase(lookup.waiting.begin());
    lookup.waiting.push_back(connection);
    if (lookup.queued)
        return;
    lookup.queued = true;
    lock.unlock();
    queueLookup(address);
}

void TcpServer::queueLookup(const QByteArray &address)
{
    std::shared_ptr<NameRelay> relay = m_nameRelay;
    hostnames::pool()->start([relay, address] {
        {
            std::lock_guard lock(relay->mutex);
            AddressLookup &lookup = relay->addresses[address];
            std::erase_if(lookup.waiting, [](const auto &w) { return !alive(w); });
            if (lookup.waiting.empty()) {
                lookup.queued = false;
                return;
            }
        }
        const QByteArray name = hostnames::lookUp(address);
        std::lock_guard lock(relay->mutex);
        AddressLookup &lookup = relay->addresses[address];
        lookup.queued = false;
        lookup.name = name;
        lookup.at = hostnames::steadyMs();
        const std::vector<std::weak_ptr<Connection>> waiting = std::exchange(lookup.waiting, {});
        if (!relay->server)
            return;
        QMetaObject::invokeMethod(
                relay->server,
                [waiting, name] {
                    for (const std::weak_ptr<Connection> &w : waiting)
                        if (auto c = w.lock())
                            c->takeName(name);
                },
                Qt::QueuedConnection);
    });
}

} // namespace platform
