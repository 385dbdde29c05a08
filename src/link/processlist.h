#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

// The process list an agent streams after announcing it: a little-endian
// signed 32-bit count, then count records of 514 bytes (name and description,
// 255 bytes each, zero-terminated within the field, and an unsigned 32-bit
// process id).
namespace processlist {

constexpr int NameWidth = 255;
constexpr int DescriptionWidth = 255;
constexpr int RecordSize = NameWidth + DescriptionWidth + 4;
constexpr int HeaderSize = 4;
// No computer runs this many processes (a busy Windows machine runs a few
// hundred): a longer list is refused like any stream beyond what the console
// keeps. That is 33.7 MB.
constexpr int MaxRecords = 65536;
constexpr qint64 MaxStreamSize = HeaderSize + qint64(MaxRecords) * RecordSize;

struct ProcessEntry
{
    QByteArray name;        // Windows-1250 bytes, up to the zero byte
    QByteArray description; // Windows-1250 bytes, up to the zero byte
    quint32 processId = 0;
};

// The records in stream order. Stays within the stream and within each
// field: a field with no zero byte is cut at its width, a count promising
// more records than the bytes hold gives the records that are whole, a count
// of 0 or below (or a stream shorter than the count) gives none.
QList<ProcessEntry> parse(QByteArrayView stream);

// Builds a stream from entries (the agent's side; used by the simulator and
// the tests). Texts longer than a field are cut to leave its zero byte.
QByteArray build(const QList<ProcessEntry> &entries);

} // namespace processlist
