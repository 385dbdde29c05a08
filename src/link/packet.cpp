#include "link/packet.h"

#include <cstring>
#include <limits>

namespace packet {

void setFieldText(char *field, std::size_t width, QByteArrayView text)
{
    if (width == 0)
        return;
    const qsizetype zero = text.indexOf('\0');
    if (zero >= 0)
        text = text.first(zero);
    const std::size_t len = std::min<std::size_t>(std::size_t(text.size()), width - 1);
    if (len > 0)
        std::memcpy(field, text.data(), len);
    std::memset(field + len, 0, width - len);
}

} // namespace packet

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Reads a decimal number at the start of the text the way the C library does:
// leading white space, an optional sign, then digits up to the first other
// character. No digits read as 0; a value beyond the type stops at its limit.
// An unsigned field given a minus sign wraps around, as strtoul does.
template<typename T>
T readNumber(QByteArrayView text)
{
    qsizetype i = 0;
    while (i < text.size() && isBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const quint64 limit = negative && std::numeric_limits<T>::is_signed
                                  ? quint64(std::numeric_limits<T>::max()) + 1
                                  : quint64(std::numeric_limits<T>::max());
    quint64 value = 0;
    bool overflow = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (overflow)
            continue;
        value = value * 10 + quint64(text[i] - '0');
        if (value > limit) {
            value = limit;
            overflow = true;
        }
    }
    if constexpr (std::numeric_limits<T>::is_signed) {
        if (negative)
            return value > quint64(std::numeric_limits<T>::max()) ? std::numeric_limits<T>::min()
                                                                  : T(-qint64(value));
        return T(value);
    } else {
        if (negative && !overflow)
            return T(0 - T(value));
        return T(value);
    }
}

} // namespace

QByteArray FormatPacketText(const PacketRecord &p)
{
    QByteArray text;
    text.reserve(packet::MaxTextLength);
    text += QByteArray::number(p.Pass) + '|';
    text += QByteArray::number(p.iPacketNo) + '|';
    text += QByteArray::number(p.iFlag) + '|';
    text += QByteArray::number(p.iCommand) + '|';
    text += QByteArray::number(p.StreamSize) + '|';
    text += QByteArray::number(p.ProcID) + '|';
    text += packet::fieldText(p.ProcName).toByteArray() + '|';
    text += packet::fieldText(p.WindowTitle).toByteArray() + '|';
    text += packet::fieldText(p.Bufor).toByteArray() + '|';
    return text;
}

void ParsePacketText(QByteArrayView text, PacketRecord &p)
{
    QByteArrayView rest = text;
    // Hands out the next field text, or nothing when the rest has no "|" left.
    auto next = [&rest](QByteArrayView &field) {
        const qsizetype bar = rest.indexOf('|');
        if (bar < 0)
            return false;
        field = rest.first(bar);
        rest = rest.sliced(bar + 1);
        return true;
    };

    QByteArrayView field;
    if (next(field))
        p.Pass = readNumber<qint32>(field);
    if (next(field))
        p.iPacketNo = readNumber<qint32>(field);
    if (next(field))
        p.iFlag = readNumber<qint32>(field);
    if (next(field))
        p.iCommand = readNumber<qint32>(field);
    if (next(field))
        p.StreamSize = readNumber<qint32>(field);
    if (next(field))
        p.ProcID = readNumber<quint32>(field);
    if (next(field))
        packet::setFieldText(p.ProcName, field);
    if (next(field))
        packet::setFieldText(p.WindowTitle, field);
    packet::setFieldText(p.Bufor, rest);
}

eventlog::PacketDump packet::logDump(const PacketRecord &record)
{
    return {record.iPacketNo,
            record.Pass,
            record.iCommand,
            record.iFlag,
            record.StreamSize,
            fieldText(record.Bufor),
            fieldText(record.ProcName),
            fieldText(record.WindowTitle),
            record.ProcID};
}

void WriteLog(const QByteArray &text, bool dumpPacket, const PacketRecord *packet)
{
    if (!packet) {
        WriteLog(text, dumpPacket);
        return;
    }
    const eventlog::PacketDump dump = packet::logDump(*packet);
    WriteLog(text, dumpPacket, &dump);
}
