// What the two halves of the listening server share: the registry of
// connections and its caps. The system's own calls are in tcpserver.cpp and
// tcpserver_win.cpp.
#include "platform/tcpserver.h"

namespace platform {

ConnectionPtr TcpServer::connection(int index) const
{
    if (index < 0 || index >= activeConnections())
        return {};
    return m_connections[size_t(index)];
}

void TcpServer::holdReads(const ConnectionPtr &c)
{
    // Nothing is changed in the watch set now: the connection is set aside
    // only when it turns out to have data while the hold lasts.
    if (c)
        c->m_readsHeld = true;
}

void TcpServer::setConnectionLimits(int perAddress, int total)
{
    m_perAddressLimit = perAddress;
    m_totalLimit = total;
}

void TcpServer::setClock(Clock clock)
{
    m_clock = std::move(clock);
}

bool TcpServer::admit(const QByteArray &address, int limit)
{
    if (int(m_connections.size()) >= limit)
        return false;
    const auto it = m_perAddress.constFind(address);
    if (it != m_perAddress.constEnd() && *it >= m_perAddressLimit)
        return false;
    ++m_perAddress[address];
    return true;
}

void TcpServer::handleError(Connection *raw, int code)
{
    ConnectionPtr c = find(raw);
    if (!c)
        return;
    c->m_failed = true;
    int reported = code;
    emit clientError(c, reported);
    if (c->descriptorValid())
        c->close();
}

void TcpServer::release(Connection *raw)
{
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
        if (it->get() == raw) {
            m_connections.erase(it);
            const auto count = m_perAddress.find(raw->m_address);
            if (count != m_perAddress.end() && --*count <= 0)
                m_perAddress.erase(count);
            return;
        }
    }
}

ConnectionPtr TcpServer::find(Connection *raw) const
{
    for (const ConnectionPtr &c : m_connections) {
        if (c.get() == raw)
            return c;
    }
    return {};
}

} // namespace platform
