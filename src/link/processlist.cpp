#include "link/processlist.h"

#include <QtEndian>

#include <cstring>

namespace processlist {

namespace {

QByteArray textField(const char *field, int width)
{
    const void *zero = std::memchr(field, '\0', size_t(width));
    const int len = zero ? int(static_cast<const char *>(zero) - field) : width;
    return QByteArray(field, len);
}

} // namespace

QList<ProcessEntry> parse(QByteArrayView stream)
{
    QList<ProcessEntry> entries;
    if (stream.size() < HeaderSize)
        return entries;
    const qint32 count = qFromLittleEndian<qint32>(stream.data());
    if (count <= 0)
        return entries;
    const qint64 whole = (stream.size() - HeaderSize) / RecordSize;
    const qint64 rows = std::min<qint64>(count, whole);
    entries.reserve(qsizetype(rows));
    for (qint64 i = 0; i < rows; ++i) {
        const char *record = stream.data() + HeaderSize + i * RecordSize;
        ProcessEntry entry;
        entry.name = textField(record, NameWidth);
        entry.description = textField(record + NameWidth, DescriptionWidth);
        entry.processId = qFromLittleEndian<quint32>(record + NameWidth + DescriptionWidth);
        entries.append(std::move(entry));
    }
    return entries;
}

QByteArray build(const QList<ProcessEntry> &entries)
{
    QByteArray stream(HeaderSize + qsizetype(entries.size()) * RecordSize, '\0');
    qToLittleEndian<qint32>(qint32(entries.size()), stream.data());
    char *record = stream.data() + HeaderSize;
    for (const ProcessEntry &entry : entries) {
        std::memcpy(record, entry.name.constData(),
                    size_t(std::min<qsizetype>(entry.name.size(), NameWidth - 1)));
        std::memcpy(record + NameWidth, entry.description.constData(),
                    size_t(std::min<qsizetype>(entry.description.size(), DescriptionWidth - 1)));
        qToLittleEndian<quint32>(entry.processId, record + NameWidth + DescriptionWidth);
        record += RecordSize;
    }
    return stream;
}

} // namespace processlist
