#pragma once

// Samples and helpers for tests of the console's core, without any window:
// host names in place of the reverse lookup, packet texts, day-log entries,
// pictures and streams.
#include "support/tempdata.h"
#include "support/testagent.h"

#include <QByteArray>
#include <QHash>
#include <QImage>
#include <QList>
#include <QString>

#include <memory>
#include <mutex>

// Host names of the classroom for one test, in place of the system's reverse
// lookup: a name service that always answers the same, at once, for any
// address of the loopback network. An address without a name answers empty.
// Create it before the console (the stream receiver asks from its thread).
class ClassroomNames
{
public:
    explicit ClassroomNames(const QHash<QByteArray, QByteArray> &names = {});
    ~ClassroomNames();
    ClassroomNames(const ClassroomNames &) = delete;
    ClassroomNames &operator=(const ClassroomNames &) = delete;

    // A computer renamed (or, with an empty name, forgotten) from now on.
    void set(const QByteArray &address, const QByteArray &name);

private:
    struct Table
    {
        std::mutex mutex;
        QHash<QByteArray, QByteArray> names;
    };
    std::shared_ptr<Table> m_table;
};

// Waits for the console's next packet text and takes it raw, every byte as
// it came (the test must expect one packet at a time); empty on time-out.
QByteArray takePacketText(TestAgent &agent, int timeoutMs = 5000);
// The nine fields of a raw packet text, in wire order, separators removed.
QList<QByteArray> wireFields(const QByteArray &packetText);

// The "Info: " texts of the day log, oldest first.
QList<QByteArray> logInfos(const TempDataHome &data);
// Only those that begin with the prefix.
QList<QByteArray> logInfos(const TempDataHome &data, const QByteArray &prefix);

// A picture with a different colour in each quarter, so that size and
// orientation show after a round trip through JPEG.
QImage quarteredPicture(int width, int height);
// The picture as JPEG file bytes, written by Qt's own JPEG writer.
QByteArray jpegBytes(const QImage &picture);

// Random bytes: a stream that is no picture and no list.
QByteArray noise(int size);
// A process-list stream of three records that try the reader: a name with
// bytes after its zero, Polish letters, PIDs with the top bit set.
QByteArray threeProcesses();
