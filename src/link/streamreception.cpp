#include "link/streamreception.h"

#include "link/jpegimage.h"
#include "link/processlist.h"
#include "platform/cp1250.h"
#include "platform/memory.h"

#include <QThread>

#include <chrono>

namespace {

// Sleeps in short steps, so that closing the console does not wait for it.
void sleepUnlessStopped(const std::atomic<bool> &stop, int ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop.load() && std::chrono::steady_clock::now() < until)
        QThread::msleep(ulong(std::min(ms, 10)));
}

// The idle pause while nothing waits. When the rest of the stream is there
// during the pause, the pause ends at once, so that a complete stream does
// not lie waiting for up to a pause; anything less (a piece of a slow
// stream, the end of the connection) leaves the pause as long as ever, so
// the idle rounds count as they always did.
void idlePause(platform::Connection &socket, const std::atomic<bool> &stop, int ms, qint64 missing)
{
    using namespace std::chrono;
    const auto until = steady_clock::now() + milliseconds(ms);
    // The milliseconds still to wait, rounded up: the pause is never short.
    const auto left = [until] {
        return duration_cast<milliseconds>(until - steady_clock::now() + microseconds(999)).count();
    };
    for (;;) {
        if (stop.load() || steady_clock::now() >= until)
            return;
        const qint64 waiting = socket.bytesWaiting();
        if (waiting >= missing)
            return;
        if (waiting > 0) {
            // A piece is there: look again in a millisecond.
            QThread::msleep(1);
            continue;
        }
        // Nothing yet: wait for bytes, in short steps. Readable with nothing
        // to read is the end of the connection: a plain pause.
        if (socket.waitForReadable(int(std::min<qint64>(left(), 10)))
            && socket.bytesWaiting() == 0) {
            sleepUnlessStopped(stop, int(left()));
            return;
        }
    }
}

} // namespace

QList<QStringList> StreamReception::processRows(QByteArrayView stream)
{
    QList<QStringList> rows;
    const QList<processlist::ProcessEntry> entries = processlist::parse(stream);
    rows.reserve(entries.size());
    for (const processlist::ProcessEntry &entry : entries)
        rows.append({cp1250::toUnicode(entry.name), cp1250::toUnicode(entry.description),
                     QString::number(entry.processId)}); // unsigned decimal
    return rows;
}

// What one reception read, as it goes, so that a reception that fails
// half-way can still say what it received.
struct StreamReception::Reading
{
    QByteArray stream;
    qint64 received = 0;
    bool keep = false;
};

StreamReception::StreamReception(platform::ConnectionPtr connection, qint32 declared, Kind kind,
                                 const Timings &timings, const Limits &limits, ReadHook readHook,
                                 QObject *parent)
    : QObject(parent)
    , m_connection(std::move(connection))
    , m_declared(declared)
    , m_kind(kind)
    , m_timings(timings)
    , m_limits(limits)
    , m_readHook(std::move(readHook))
{}

StreamReception::~StreamReception()
{
    stop();
}

void StreamReception::start()
{
    if (m_thread.joinable())
        return;
    // Each reception decodes on a thread of its own what another thread
    // frees; see the platform layer for what that did to the memory.
    platform::returnLargeBlocksToSystem();
    m_thread = std::thread(&StreamReception::run, this);
}

void StreamReception::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void StreamReception::reportProgress(qint64 received)
{
    m_latest = received;
    if (m_progressWaiting.exchange(true))
        return; // the waiting report will carry this figure
    QMetaObject::invokeMethod(
            this,
            [this] {
                // Cleared before the figure is taken: a read after this
                // point posts a report of its own.
                m_progressWaiting = false;
                emit progress(m_latest.load());
            },
            Qt::QueuedConnection);
}

// The read loop.
void StreamReception::read(qint64 limit, Reading &reading)
{
    platform::Connection &socket = *m_connection;
    const qint64 expected = m_declared; // sign-extended
    // A stream announced beyond what the console may hold is still read off
    // the connection (its bytes must not be taken for packets) but not kept,
    // and it ends as incomplete: an agent cannot make the console allocate
    // whatever it announces.
    reading.keep = expected <= limit;
    // Kept bytes are read straight into the stream, grown once: no copy of
    // a picture's bytes on its way to the decoder. An announcement alone
    // reserves no more than a large screen's picture takes.
    if (reading.keep && expected > 0)
        reading.stream.reserve(qsizetype(std::min<qint64>(expected, MaxReserved)));
    char buffer[ReadChunk];
    int idle = 0;

    sleepUnlessStopped(m_stop, m_timings.firstSleepMs);
    bool first = !m_firstBytes.isEmpty();
    while (!m_stop.load()) {
        qint64 n = 0;
        // Surplus bytes are counted but not kept.
        const qint64 room
                = reading.keep ? std::max<qint64>(0, expected - reading.stream.size()) : 0;
        const char *data = buffer;
        if (first) {
            // Taken as one read, however long: they are already in memory.
            n = m_firstBytes.size();
            data = m_firstBytes.constData();
        } else if (room > 0) {
            const qsizetype kept = reading.stream.size();
            const qint64 chunk = std::min(room, ReadChunk);
            reading.stream.resize(kept + qsizetype(chunk));
            n = socket.receive(reading.stream.data() + kept, chunk);
            reading.stream.resize(kept + qsizetype(std::max<qint64>(n, 0)));
            data = nullptr; // in place already
        } else {
            n = socket.receive(buffer, ReadChunk);
        }
        first = false;
        if (n > 0) {
            if (data)
                reading.stream.append(data, qsizetype(std::min(n, room)));
            reading.received += n;
            reportProgress(reading.received);
            if (m_readHook)
                m_readHook(reading.received);
            if (reading.received - std::max<qint64>(expected, 0) > SurplusLimit)
                break;
        }
        const bool allRead = reading.received == expected;
        if (n <= 0 && !allRead) {
            ++idle;
            // A closed connection reads as 0 at once, again and again: only a
            // plain sleep keeps its idle rounds as long as they are meant.
            if (n < 0 && expected > reading.received)
                idlePause(socket, m_stop, m_timings.idleSleepMs, expected - reading.received);
            else
                sleepUnlessStopped(m_stop, m_timings.idleSleepMs);
            n = 0;
        }
        if (idle > m_timings.idleLimit || n == -1)
            break;
        // The whole stream is in and the connection has closed: nothing more
        // can come, so do not wait on it.
        if (n == 0 && allRead)
            break;
    }
}

void StreamReception::run()
{
    auto result = std::make_shared<Result>();
    result->kind = m_kind;
    result->declared = m_declared;
    const bool screen = m_kind == Kind::ScreenPicture;
    Reading reading;
    // A failure on this thread (memory included) ends the reception as
    // incomplete; it must not end the console.
    try {
        const qint64 limit
                = screen ? m_limits.memory : std::min(m_limits.memory, processlist::MaxStreamSize);
        read(limit, reading);
        result->complete = reading.keep && reading.received == m_declared;
        if (result->complete) {
            result->peerName = cp1250::toUnicode(m_connection->peerHostName());
            result->peerAddress = cp1250::toUnicode(m_connection->peerAddress());
            // A large picture or list takes a while to read: here, not in
            // the owner's thread.
            if (screen) {
                result->picture = jpegimage::decodeWithin(reading.stream, m_bound);
                // Bytes after the picture's end are not kept with it.
                result->jpeg = jpegimage::pictureBytes(reading.stream);
            } else {
                result->rows = processRows(reading.stream);
            }
        }
    } catch (...) {
        result->complete = false;
        result->peerName.clear();
        result->peerAddress.clear();
        result->picture = {};
        result->rows = {};
        result->jpeg = {};
    }
    result->received = reading.received;
    result->kept = reading.stream.size();
    reading = {};
    // The connection is not held beyond the reception.
    m_connection.reset();
    QMetaObject::invokeMethod(
            this, [this, result] { emit finished(*result); }, Qt::QueuedConnection);
}
