#include "platform/neighbours.h"

#include <QList>

namespace platform {

std::optional<Neighbour> neighbourInArpTable(const QByteArray &table, const QString &address)
{
    // "IP address  HW type  Flags  HW address  Mask  Device", a header first.
    constexpr int CompleteFlag = 0x2;
    const QList<QByteArray> lines = table.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
        if (fields.size() < 6 || QString::fromLatin1(fields.at(0)) != address)
            continue;
        bool ok = false;
        const int flags = fields.at(2).toInt(&ok, 16);
        const QByteArray hardware = QByteArray::fromHex(fields.at(3));
        if (!ok || !(flags & CompleteFlag) || hardware.size() != 6 || fields.at(3).size() != 17
            || hardware == QByteArray(6, '\0'))
            continue;
        return Neighbour{hardware, QString::fromLatin1(fields.at(5))};
    }
    return std::nullopt;
}

} // namespace platform
