// A process-list stream from an agent: the reader stays within the stream
// and the fields, takes only whole records, and what it read builds back into
// a stream that reads the same.
#include "check.h"
#include "link/processlist.h"

#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace processlist;
    const char *bytes = reinterpret_cast<const char *>(data);
    const QList<ProcessEntry> entries = parse(QByteArrayView(bytes, qsizetype(size)));

    const qint64 count = size >= size_t(HeaderSize) ? qFromLittleEndian<qint32>(bytes) : 0;
    const qint64 whole = size >= size_t(HeaderSize) ? qint64(size - HeaderSize) / RecordSize : 0;
    FUZZ_CHECK(entries.size() == std::max<qint64>(0, std::min(count, whole)));

    for (qsizetype i = 0; i < entries.size(); ++i) {
        const char *record = bytes + HeaderSize + i * RecordSize;
        const ProcessEntry &e = entries[i];
        FUZZ_CHECK(e.name.size() <= NameWidth && !e.name.contains('\0'));
        FUZZ_CHECK(e.description.size() <= DescriptionWidth && !e.description.contains('\0'));
        FUZZ_CHECK(std::memcmp(e.name.constData(), record, size_t(e.name.size())) == 0);
        FUZZ_CHECK(e.name.size() == NameWidth || record[e.name.size()] == '\0');
        FUZZ_CHECK(e.processId
                   == qFromLittleEndian<quint32>(record + NameWidth + DescriptionWidth));
    }

    // build() keeps room for the zero byte, so a 255-byte text comes back
    // one byte shorter; everything else comes back as it was.
    const QByteArray rebuilt = build(entries);
    FUZZ_CHECK(rebuilt.size() == HeaderSize + entries.size() * RecordSize);
    const QList<ProcessEntry> back = parse(rebuilt);
    FUZZ_CHECK(back.size() == entries.size());
    for (qsizetype i = 0; i < back.size(); ++i) {
        FUZZ_CHECK(back[i].name == entries[i].name.left(NameWidth - 1));
        FUZZ_CHECK(back[i].description == entries[i].description.left(DescriptionWidth - 1));
        FUZZ_CHECK(back[i].processId == entries[i].processId);
    }
    return 0;
}
