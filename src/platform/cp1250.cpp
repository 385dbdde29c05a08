#include "platform/cp1250.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <atomic>

namespace cp1250 {

namespace {
std::atomic<const char *> codec = DefaultCodecName;
} // namespace

bool available()
{
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
    QStringDecoder decoder(codec.load());
    return decoder.decode(bytes);
}

QByteArray fromUnicode(QStringView text)
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

} // namespace cp1250
