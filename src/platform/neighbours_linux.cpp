#include "platform/neighbours.h"

#include <QFile>

#include <algorithm>

namespace platform {

std::optional<Neighbour> neighbourOf(const QString &address)
{
    QFile table(QStringLiteral("/proc/net/arp"));
    if (!table.open(QIODevice::ReadOnly))
        return std::nullopt;
    // The kernel's table is small; a read is bounded all the same, and taken
    // in small pieces: a read of the bound in one go would set aside all of
    // it for every computer that joins.
    constexpr qint64 Bound = 4 * 1024 * 1024;
    constexpr qint64 Piece = 64 * 1024;
    QByteArray text;
    while (text.size() < Bound) {
        const QByteArray piece = table.read(std::min(Piece, Bound - text.size()));
        if (piece.isEmpty())
            break;
        text += piece;
    }
    return neighbourInArpTable(text, address);
}

} // namespace platform
