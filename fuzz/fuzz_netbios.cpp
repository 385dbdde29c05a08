// A NetBIOS node status answer from a student's computer: the parser stays
// within the datagram, gives at most a workstation name's worth of printable
// characters, and finds the name the simulator's answer carries.
#include "check.h"
#include "platform/netbios.h"

#include <QtEndian>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    // The id the input itself carries, so that the checks past it are reached.
    const quint16 id = size >= 2 ? qFromBigEndian<quint16>(data) : 0;
    const QString name = netbios::workstationName(bytes, id);
    FUZZ_CHECK(name.size() <= netbios::NameWidth);
    FUZZ_CHECK(name == name.trimmed());
    for (QChar c : name)
        FUZZ_CHECK(c.isPrint());
    FUZZ_CHECK(netbios::workstationName(bytes, quint16(id + 1)).isEmpty());

    // The first bytes as a name in a well-formed answer come back as they
    // read, behind a group name that must be passed over.
    const QByteArray raw = bytes.first(qMin<qsizetype>(size, netbios::NameWidth)).toByteArray();
    const QByteArray answer
            = netbios::nodeStatusAnswer(id, {{"GRUPA", 0x00, true}, {raw, 0x00, false}});
    QString expected;
    for (char byte : raw.leftJustified(netbios::NameWidth, ' ')) {
        const QChar c = netbios::fromCp852(uchar(byte));
        if (c.isPrint())
            expected += c;
    }
    FUZZ_CHECK(netbios::workstationName(answer, id) == expected.trimmed());
    return 0;
}
