#include "update/httpframing.h"

#include <algorithm>

namespace update {

namespace {

// More hex digits than this would not fit a qint64.
constexpr qsizetype MaxChunkSizeDigits = 15;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::optional<qint64> decimal(QByteArrayView text)
{
    if (text.isEmpty() || !std::all_of(text.begin(), text.end(), isDigit))
        return std::nullopt;
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    return ok ? std::optional(value) : std::nullopt;
}

} // namespace

qsizetype headerEnd(QByteArrayView in, qsizetype from)
{
    const qsizetype crlf = in.indexOf("\n\r\n", from);
    const qsizetype lf = in.indexOf("\n\n", from);
    if (crlf < 0)
        return lf < 0 ? -1 : lf + 2;
    return lf < 0 || crlf < lf ? crlf + 3 : lf + 2;
}

std::optional<qint64> statusCode(QByteArrayView text)
{
    return decimal(text);
}

BodyFraming bodyFraming(const QList<QByteArray> &headerLines)
{
    BodyFraming framing;
    bool lengthSeen = false;
    for (const QByteArray &line : headerLines) {
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "transfer-encoding") {
            framing.chunked = framing.chunked || value.toLower().contains("chunked");
            continue;
        }
        if (name != "content-length")
            continue;
        // "Content-Length: 42, 42" is one length said twice, as a proxy
        // joining repeated headers writes it.
        for (const QByteArray &part : value.split(',')) {
            const std::optional<qint64> length = decimal(part.trimmed());
            if (!length || (lengthSeen && framing.length != length))
                framing.malformed = true;
            framing.length = length;
            lengthSeen = true;
        }
    }
    // A length beside chunks is the way two servers on the path can be made
    // to disagree about where the answer ends.
    if (framing.chunked && lengthSeen)
        framing.malformed = true;
    if (framing.malformed)
        framing.length.reset();
    return framing;
}

std::optional<qint64> chunkSize(QByteArrayView line)
{
    qsizetype digits = 0;
    while (digits < line.size() && isHexDigit(line[digits]))
        ++digits;
    if (digits == 0 || digits > MaxChunkSizeDigits)
        return std::nullopt;
    const QByteArrayView rest = line.sliced(digits).trimmed();
    if (!rest.isEmpty() && rest.front() != ';')
        return std::nullopt;
    bool ok = false;
    const qint64 size = line.first(digits).toLongLong(&ok, 16);
    return ok ? std::optional(size) : std::nullopt;
}

} // namespace update
