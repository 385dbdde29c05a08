// The connected computers, each one record, in the list's order.
#include "link/roster.h"

#include "platform/cp1250.h"

#include <algorithm>

namespace {

// Rows sort by the address text with the locale's string comparison, not by
// number: 10.0.0.10 comes before 10.0.0.2.
bool addressBefore(const QByteArray &a, const QByteArray &b)
{
    return QString::localeAwareCompare(cp1250::toUnicode(a), cp1250::toUnicode(b)) < 0;
}

} // namespace

int Roster::indexOf(const platform::ConnectionPtr &connection) const
{
    for (size_t i = 0; i < m_computers.size(); ++i)
        if (m_computers[i].connection == connection)
            return int(i);
    return -1;
}

Computer *Roster::computerOf(const platform::ConnectionPtr &connection)
{
    const int index = indexOf(connection);
    return index < 0 ? nullptr : &m_computers[size_t(index)];
}

int Roster::add(const platform::ConnectionPtr &connection)
{
    Computer joining;
    joining.connection = connection;
    joining.address = connection->peerAddress();
    joining.hostName = connection->peerHostName();
    joining.port = connection->peerPort();
    // After those of the same address: the list keeps their order of coming.
    const auto place = std::upper_bound(
            m_computers.begin(), m_computers.end(), joining.address,
            [](const QByteArray &a, const Computer &c) { return addressBefore(a, c.address); });
    const int index = int(place - m_computers.begin());
    m_computers.insert(place, std::move(joining));
    emit joined(index);
    return index;
}

Computer Roster::remove(int index)
{
    Computer leaving = std::move(m_computers[size_t(index)]);
    m_computers.erase(m_computers.begin() + index);
    emit left(index);
    return leaving;
}

void Roster::rename(int index, const QByteArray &hostName)
{
    Computer &computer = m_computers[size_t(index)];
    if (computer.hostName == hostName)
        return;
    computer.hostName = hostName;
    emit changed(index, Change::Name);
}

void Roster::touch(const platform::ConnectionPtr &connection)
{
    const int index = indexOf(connection);
    if (index >= 0)
        emit changed(index, Change::State);
}
