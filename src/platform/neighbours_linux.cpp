#include "platform/neighbours.h"

#include <QFile>

namespace platform {

std::optional<Neighbour> neighbourOf(const QString &address)
{
    QFile table(QStringLiteral("/proc/net/arp"));
    if (!table.open(QIODevice::ReadOnly))
        return std::nullopt;
    // The kernel's table is small; a read is bounded all the same.
    return neighbourInArpTable(table.read(4 * 1024 * 1024), address);
}

} // namespace platform
