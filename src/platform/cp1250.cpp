#include "platform/cp1250.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace cp1250 {

QString toUnicode(QByteArrayView bytes)
{
    QStringDecoder decoder("windows-1250");
    return decoder.decode(bytes);
}

QByteArray fromUnicode(QStringView text)
{
    QStringEncoder encoder("windows-1250");
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
        QStringEncoder one("windows-1250");
        const QByteArray bytes = one.encode(text.mid(i, len));
        if (one.hasError() || bytes.size() != 1)
            out.append('?');
        else
            out.append(bytes);
        i += len;
    }
    return out;
}

} // namespace cp1250
