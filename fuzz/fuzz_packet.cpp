// Packet text from an agent, as hostile as it likes: parsing it must keep
// every text field terminated within its width, and the text the console
// would format from the result must parse back to the same numbers.
#include "check.h"
#include "link/packet.h"

#include <QByteArray>
#include <QList>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

// The record as the console holds it between packets: earlier values in every
// field, which a text with few separators leaves in place.
PacketRecord earlierRecord()
{
    PacketRecord p;
    p.iPacketNo = 41;
    p.Pass = packet::PassValue;
    p.iCommand = 6;
    p.iFlag = 2;
    p.StreamSize = -7;
    p.ProcID = 4000000000u;
    packet::setFieldText(p.Bufor, "earlier answer");
    packet::setFieldText(p.ProcName, "notepad.exe");
    packet::setFieldText(p.WindowTitle, "Untitled");
    return p;
}

template<std::size_t N>
bool terminated(const char (&field)[N])
{
    return std::memchr(field, '\0', N) != nullptr;
}

// The C library's reading of a signed field, saturated to 32 bits.
qint32 referenceSigned(const QByteArray &field)
{
    const std::string text(field.constData(), size_t(field.size()));
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    return qint32(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView text(reinterpret_cast<const char *>(data), qsizetype(size));
    const PacketRecord before = earlierRecord();
    PacketRecord p = before;
    ParsePacketText(text, p);

    FUZZ_CHECK(terminated(p.Bufor));
    FUZZ_CHECK(terminated(p.ProcName));
    FUZZ_CHECK(terminated(p.WindowTitle));

    // The fields as the wire separates them, to hold the numbers against the
    // C library and the untouched fields against their earlier values.
    const QList<QByteArray> parts = QByteArray(text.data(), text.size()).split('|');
    const qsizetype separators = parts.size() - 1;
    const qint32 PacketRecord::*const signedFields[]
            = {&PacketRecord::Pass, &PacketRecord::iPacketNo, &PacketRecord::iFlag,
               &PacketRecord::iCommand, &PacketRecord::StreamSize};
    for (int i = 0; i < 5; ++i) {
        if (i < separators)
            FUZZ_CHECK(p.*signedFields[i] == referenceSigned(parts[i]));
        else
            FUZZ_CHECK(p.*signedFields[i] == before.*signedFields[i]);
    }
    if (separators < 6)
        FUZZ_CHECK(p.ProcID == before.ProcID);
    if (separators < 7)
        FUZZ_CHECK(std::strcmp(p.ProcName, before.ProcName) == 0);
    if (separators < 8)
        FUZZ_CHECK(std::strcmp(p.WindowTitle, before.WindowTitle) == 0);

    const QByteArray formatted = FormatPacketText(p);
    FUZZ_CHECK(formatted.size() <= packet::MaxTextLength);
    FUZZ_CHECK(formatted.endsWith('|'));

    PacketRecord back = earlierRecord();
    ParsePacketText(formatted, back);
    FUZZ_CHECK(back.Pass == p.Pass);
    FUZZ_CHECK(back.iPacketNo == p.iPacketNo);
    FUZZ_CHECK(back.iFlag == p.iFlag);
    FUZZ_CHECK(back.iCommand == p.iCommand);
    FUZZ_CHECK(back.StreamSize == p.StreamSize);
    FUZZ_CHECK(back.ProcID == p.ProcID);
    // A "|" inside ProcName or WindowTitle shifts the later texts; without
    // one they come back as they were, and Bufor gains its closing "|".
    if (!std::strchr(p.ProcName, '|') && !std::strchr(p.WindowTitle, '|')) {
        FUZZ_CHECK(std::strcmp(back.ProcName, p.ProcName) == 0);
        FUZZ_CHECK(std::strcmp(back.WindowTitle, p.WindowTitle) == 0);
        const QByteArray bufor = (QByteArray(p.Bufor) + '|').left(sizeof p.Bufor - 1);
        FUZZ_CHECK(bufor == QByteArray(back.Bufor));
    }
    return 0;
}
