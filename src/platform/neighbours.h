#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace platform {

// A computer's hardware address as the system's neighbour table holds it,
// and the name of the network interface it was seen on (as QNetworkInterface
// names it).
struct Neighbour
{
    QByteArray hardwareAddress; // 6 bytes
    QString interfaceName;
};

// Looks up an IPv4 address (dotted text) in the system's neighbour table;
// empty when the table has no complete entry for it (a computer behind a
// router, or on loopback, never has one).
std::optional<Neighbour> neighbourOf(const QString &address);

// Reads one address out of the text of a Linux neighbour table
// (/proc/net/arp): only complete entries with a 6-byte address count.
std::optional<Neighbour> neighbourInArpTable(const QByteArray &table, const QString &address);

} // namespace platform
