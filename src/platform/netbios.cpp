#include "platform/netbios.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QUdpSocket>
#include <QtEndian>

#include <algorithm>
#include <array>

namespace netbios {

namespace {

constexpr quint16 NodeStatusType = 0x0021;
constexpr quint16 InternetClass = 0x0001;
constexpr quint16 ResponseBit = 0x8000;
constexpr quint16 GroupBit = 0x8000;
constexpr int HeaderSize = 12;
constexpr int EntrySize = 18;
constexpr uchar WorkstationSuffix = 0x00;

constexpr std::array<char16_t, 128> Cp852High = {
        0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x016F, 0x0107, 0x00E7, //
        0x0142, 0x00EB, 0x0150, 0x0151, 0x00EE, 0x0179, 0x00C4, 0x0106, //
        0x00C9, 0x0139, 0x013A, 0x00F4, 0x00F6, 0x013D, 0x013E, 0x015A, //
        0x015B, 0x00D6, 0x00DC, 0x0164, 0x0165, 0x0141, 0x00D7, 0x010D, //
        0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x0104, 0x0105, 0x017D, 0x017E, //
        0x0118, 0x0119, 0x00AC, 0x017A, 0x010C, 0x015F, 0x00AB, 0x00BB, //
        0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x011A, //
        0x015E, 0x2563, 0x2551, 0x2557, 0x255D, 0x017B, 0x017C, 0x2510, //
        0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x0102, 0x0103, //
        0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4, //
        0x0111, 0x0110, 0x010E, 0x00CB, 0x010F, 0x0147, 0x00CD, 0x00CE, //
        0x011B, 0x2518, 0x250C, 0x2588, 0x2584, 0x0162, 0x016E, 0x2580, //
        0x00D3, 0x00DF, 0x00D4, 0x0143, 0x0144, 0x0148, 0x0160, 0x0161, //
        0x0154, 0x00DA, 0x0155, 0x0170, 0x00FD, 0x00DD, 0x0163, 0x00B4, //
        0x00AD, 0x02DD, 0x02DB, 0x02C7, 0x02D8, 0x00A7, 0x00F7, 0x00B8, //
        0x00B0, 0x00A8, 0x02D9, 0x0171, 0x0158, 0x0159, 0x25A0, 0x00A0, //
};

quint16 word(QByteArrayView bytes, qsizetype at)
{
    return qFromBigEndian<quint16>(bytes.data() + at);
}

// Where the encoded name starting at pos ends, or -1 when it runs past the
// end. A name is labels up to an empty one, or ends in a pointer.
qsizetype skipName(QByteArrayView bytes, qsizetype pos)
{
    while (pos < bytes.size()) {
        const uchar length = uchar(bytes[pos]);
        if ((length & 0xC0) == 0xC0)
            return pos + 2 <= bytes.size() ? pos + 2 : -1;
        if (length & 0xC0)
            return -1;
        pos += 1 + length;
        if (length == 0)
            return pos;
    }
    return -1;
}

QString decodeName(QByteArrayView raw)
{
    QString name;
    for (char byte : raw) {
        const QChar c = fromCp852(uchar(byte));
        if (c.isPrint())
            name += c;
    }
    return name.trimmed();
}

} // namespace

QChar fromCp852(uchar byte)
{
    return byte < 0x80 ? QChar(byte) : QChar(Cp852High[byte - 0x80]);
}

QByteArray toCp852(QStringView text)
{
    QByteArray bytes;
    for (QChar c : text) {
        if (c.unicode() < 0x80) {
            bytes += char(c.unicode());
            continue;
        }
        const auto at = std::find(Cp852High.begin(), Cp852High.end(), c.unicode());
        bytes += at == Cp852High.end() ? '?' : char(0x80 + (at - Cp852High.begin()));
    }
    return bytes;
}

QByteArray nodeStatusAnswer(quint16 transactionId, const QList<NameEntry> &names)
{
    QByteArray answer = nodeStatusQuery(transactionId);
    qToBigEndian<quint16>(ResponseBit | 0x0400, answer.data() + 2); // authoritative
    qToBigEndian<quint16>(0, answer.data() + 4);
    qToBigEndian<quint16>(1, answer.data() + 6);
    const int count = int(std::min<qsizetype>(names.size(), 255));
    const int statisticsSize = 46;
    QByteArray data(1 + count * EntrySize + statisticsSize, '\0');
    data[0] = char(count);
    for (int i = 0; i < count; ++i) {
        char *entry = data.data() + 1 + i * EntrySize;
        const QByteArray name = names[i].name.left(NameWidth).leftJustified(NameWidth, ' ');
        std::copy(name.begin(), name.end(), entry);
        entry[NameWidth] = char(names[i].suffix);
        qToBigEndian<quint16>(names[i].group ? 0x8400 : 0x0400, entry + 16); // active
    }
    QByteArray record(10, '\0'); // ttl 0
    qToBigEndian<quint16>(NodeStatusType, record.data());
    qToBigEndian<quint16>(InternetClass, record.data() + 2);
    qToBigEndian<quint16>(quint16(data.size()), record.data() + 8);
    answer.chop(4); // the question's type and class give way to the record's
    return answer + record + data;
}

QByteArray nodeStatusQuery(quint16 transactionId)
{
    QByteArray query(HeaderSize, '\0');
    qToBigEndian<quint16>(transactionId, query.data());
    qToBigEndian<quint16>(1, query.data() + 4); // one question
    // "*" padded with zeros to 16 bytes, each byte as two letters A..P.
    query += char(32);
    for (int i = 0; i < 16; ++i) {
        const uchar b = i == 0 ? '*' : 0;
        query += char('A' + (b >> 4));
        query += char('A' + (b & 0x0F));
    }
    query += '\0';
    query += QByteArray(4, '\0');
    qToBigEndian<quint16>(NodeStatusType, query.data() + query.size() - 4);
    qToBigEndian<quint16>(InternetClass, query.data() + query.size() - 2);
    return query;
}

QString workstationName(QByteArrayView answer, quint16 transactionId)
{
    if (answer.size() < HeaderSize || word(answer, 0) != transactionId)
        return {};
    const quint16 flags = word(answer, 2);
    const bool plainAnswer
            = (flags & ResponseBit) && ((flags >> 11) & 0x0F) == 0 && (flags & 0x0F) == 0;
    if (!plainAnswer || word(answer, 4) != 0 || word(answer, 6) == 0)
        return {};
    qsizetype pos = skipName(answer, HeaderSize);
    if (pos < 0 || pos + 10 > answer.size())
        return {};
    if (word(answer, pos) != NodeStatusType || word(answer, pos + 2) != InternetClass)
        return {};
    const qsizetype dataSize = word(answer, pos + 8);
    pos += 10;
    if (dataSize < 1 || pos + dataSize > answer.size())
        return {};
    const int count = uchar(answer[pos]);
    if (1 + qsizetype(count) * EntrySize > dataSize)
        return {};
    for (int i = 0; i < count; ++i) {
        const qsizetype entry = pos + 1 + qsizetype(i) * EntrySize;
        const uchar suffix = uchar(answer[entry + NameWidth]);
        if (suffix == WorkstationSuffix && !(word(answer, entry + 16) & GroupBit))
            return decodeName(answer.sliced(entry, NameWidth));
    }
    return {};
}

QString askWorkstationName(const QByteArray &address, quint16 port, int timeoutMs, int attempts)
{
    const QHostAddress peer(QString::fromLatin1(address));
    if (peer.protocol() != QAbstractSocket::IPv4Protocol || port == 0)
        return {};
    QUdpSocket socket;
    if (!socket.bind(QHostAddress(QHostAddress::AnyIPv4), 0))
        return {};
    const quint16 id = quint16(QRandomGenerator::global()->generate());
    const QByteArray query = nodeStatusQuery(id);
    QByteArray datagram;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (socket.writeDatagram(query, peer, port) != query.size())
            continue;
        // Whatever else arrives meanwhile (a stray or forged datagram) is
        // read and dropped; the wait goes on to its end.
        const QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            if (!socket.hasPendingDatagrams()
                && !socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
                break;
            if (!socket.hasPendingDatagrams())
                break; // an error, such as the computer refusing the port
            datagram.resize(qBound(qint64(0), socket.pendingDatagramSize(), qint64(65535)));
            QHostAddress from;
            quint16 fromPort = 0;
            const qint64 n
                    = socket.readDatagram(datagram.data(), datagram.size(), &from, &fromPort);
            if (n < 0 || from != peer || fromPort != port)
                continue;
            const QString name = workstationName(QByteArrayView(datagram).first(n), id);
            if (!name.isEmpty())
                return name;
        }
    }
    return {};
}

} // namespace netbios
