#include "platform/neighbours.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netioapi.h>

namespace platform {

std::optional<Neighbour> neighbourOf(const QString &address)
{
    IN_ADDR wanted{};
    if (InetPtonW(AF_INET, reinterpret_cast<const wchar_t *>(address.utf16()), &wanted) != 1)
        return std::nullopt;
    PMIB_IPNET_TABLE2 table = nullptr;
    if (GetIpNetTable2(AF_INET, &table) != NO_ERROR || !table)
        return std::nullopt;
    std::optional<Neighbour> found;
    for (ULONG i = 0; i < table->NumEntries && !found; ++i) {
        const MIB_IPNET_ROW2 &row = table->Table[i];
        if (row.Address.Ipv4.sin_addr.S_un.S_addr != wanted.S_un.S_addr
            || row.PhysicalAddressLength != 6 || row.State == NlnsUnreachable
            || row.State == NlnsIncomplete)
            continue;
        const QByteArray hardware(reinterpret_cast<const char *>(row.PhysicalAddress), 6);
        if (hardware == QByteArray(6, '\0'))
            continue;
        // The name QNetworkInterface gives the interface ("ethernet_32768").
        wchar_t name[NDIS_IF_MAX_STRING_SIZE + 1] = {};
        if (ConvertInterfaceLuidToNameW(&row.InterfaceLuid, name, NDIS_IF_MAX_STRING_SIZE + 1)
            != NO_ERROR)
            name[0] = 0;
        found = Neighbour{hardware, QString::fromWCharArray(name)};
    }
    FreeMibTable(table);
    return found;
}

} // namespace platform
