#include "platform/cp1250.h"

#include <QList>
#include <QStringDecoder>
#include <QStringEncoder>

#include <array>
#include <atomic>
#include <cstring>

namespace cp1250 {

namespace {
std::atomic<const char *> codec = DefaultCodecName;

// The upper half of the code page, as Windows and ICU map it (the five
// bytes without a letter stand for the C1 control of the same number). Our
// own table: Qt built without ICU, as on Windows, has no such converter.
constexpr std::array<char16_t, 128> upperHalf = {
        0x20AC, 0x0081, 0x201A, 0x0083, 0x201E, 0x2026, 0x2020, 0x2021,
        0x0088, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,
        0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
        0x0098, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,
        0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,
        0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,
        0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,
        0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,
        0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,
        0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,
        0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,
        0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,
        0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
        0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,
        0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,
        0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

bool ownTable()
{
    return std::strcmp(codec.load(), DefaultCodecName) == 0;
}

char byteOf(char32_t c)
{
    if (c < 0x80)
        return char(c);
    for (size_t i = 0; i < upperHalf.size(); ++i) {
        if (upperHalf[i] == c)
            return char(0x80 + i);
    }
    return '?';
}

// Characters without a byte become "?", one for each code point.
QByteArray encodeOwn(QStringView text)
{
    QByteArray out;
    out.reserve(text.size());
    for (const char32_t c : text.toUcs4())
        out.append(byteOf(c));
    return out;
}

QByteArray encodeWithQt(QStringView text)
{
    QStringEncoder encoder(codec.load());
    QByteArray whole = encoder.encode(text);
    if (!encoder.hasError())
        return whole;

    // Some character has no byte. Go one code point at a time so that only
    // that character turns into "?" and the rest keeps its bytes.
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype len
                = (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
                          ? 2
                          : 1;
        QStringEncoder one(codec.load());
        const QByteArray bytes = one.encode(text.mid(i, len));
        if (one.hasError() || bytes.size() != 1)
            out.append('?');
        else
            out.append(bytes);
        i += len;
    }
    return out;
}

} // namespace

bool available()
{
    if (ownTable())
        return true;
    // Both directions, and a letter that only this code page puts there.
    QStringEncoder encoder(codec.load());
    QStringDecoder decoder(codec.load());
    if (!encoder.isValid() || !decoder.isValid())
        return false;
    const QByteArray bytes = encoder.encode(u"ą");
    return !encoder.hasError() && bytes == "\xB9"
           && QString(decoder.decode(bytes)) == QStringView(u"ą");
}

void setCodecName(const char *name)
{
    codec = name ? name : DefaultCodecName;
}

QString toUnicode(QByteArrayView bytes)
{
    if (!ownTable()) {
        QStringDecoder decoder(codec.load());
        return decoder.decode(bytes);
    }
    QString out(bytes.size(), Qt::Uninitialized);
    QChar *to = out.data();
    for (const char c : bytes) {
        const auto byte = uchar(c);
        *to++ = QChar(byte < 0x80 ? char16_t(byte) : upperHalf[byte - 0x80]);
    }
    return out;
}

QByteArray fromUnicode(QStringView text)
{
    return ownTable() ? encodeOwn(text) : encodeWithQt(text);
}

} // namespace cp1250
