#include "link/streamreception.h"

#include "link/jpegimage.h"
#include "link/processlist.h"
#include "link/streambuffers.h"
#include "platform/cp1250.h"
#include "platform/memory.h"

#include <QThread>

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The bytes all receptions hold, against the budget.
struct InFlight
{
    std::mutex mutex;
    StreamReception::Budget budget;
    qint64 all = 0;
    qint64 overview = 0;
};

InFlight &inFlight()
{
    static InFlight *const held = new InFlight;
    return *held;
}

bool takeFromBudget(qint64 bytes, bool overview)
{
    InFlight &f = inFlight();
    std::lock_guard lock(f.mutex);
    if (f.all + bytes > f.budget.inFlight
        || (overview && f.overview + bytes > f.budget.overviewInFlight))
        return false;
    f.all += bytes;
    if (overview)
        f.overview += bytes;
    return true;
}

void giveToBudget(qint64 bytes, bool overview)
{
    InFlight &f = inFlight();
    std::lock_guard lock(f.mutex);
    f.all -= bytes;
    if (overview)
        f.overview -= bytes;
}

} // namespace

void StreamReception::setBudget(const Budget &budget)
{
    InFlight &f = inFlight();
    std::lock_guard lock(f.mutex);
    f.budget = budget;
}

qint64 StreamReception::bytesInFlight()
{
    InFlight &f = inFlight();
    std::lock_guard lock(f.mutex);
    return f.all;
}

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
    // What the stream holds of the budget.
    qint64 budgeted = 0;
    bool overview = false;
    // A picture is decoded as it comes; fed: the bytes given to it so far.
    std::unique_ptr<jpegimage::ArrivingPicture> picture;
    qsizetype fed = 0;

    ~Reading() { release(); }
    void release()
    {
        // A picture's bytes go on with its result: the buffer is read into
        // again once they are let go.
        streambuffers::giveBack(std::exchange(stream, {}));
        giveToBudget(std::exchange(budgeted, 0), overview);
    }
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
    {
        std::lock_guard lock(m_stopMutex);
        m_stop = true;
    }
    m_stopped.notify_all();
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

// The kept stream grows to hold wanted more bytes, its growth taken from
// the budget first; false when the budget has no room.
// A buffer read into before may hold more than is budgeted: the budget
// counts what the stream has grown to, as it would for a new one.
bool StreamReception::keepMore(Reading &reading, qint64 wanted)
{
    const qint64 budgeted = reading.budgeted;
    const qint64 kept = reading.stream.size();
    if (kept + wanted <= budgeted)
        return true;
    const qint64 expected = m_declared;
    const qint64 grown = std::min(expected, std::max({kept + wanted, 2 * budgeted, FirstReserved}));
    if (!takeFromBudget(grown - budgeted, reading.overview))
        return false;
    reading.budgeted = grown;
    if (reading.stream.capacity() < grown)
        reading.stream.reserve(qsizetype(grown));
    return true;
}

// Counts and keeps what one read took (data: when not read into the stream).
void StreamReception::took(Reading &reading, const char *data, qint64 n, qint64 room)
{
    if (data && room > 0)
        reading.stream.append(data, qsizetype(std::min(n, room)));
    reading.received += n;
    reportProgress(reading.received);
    if (m_readHook)
        m_readHook(reading.received);
}

// The picture is decoded while its connection has nothing more to read:
// bytes that wait are read first, so that the end of a stream is known as
// soon as its last byte is in, and the decoder gets larger pieces.
void StreamReception::decodeArrived(Reading &reading)
{
    if (reading.picture && reading.keep && reading.stream.size() > reading.fed) {
        reading.picture->feed(reading.stream, false);
        reading.fed = reading.stream.size();
    }
}

// Waits until the deadline, until the connection has something to read
// (when readable), or until the reception is stopped.
void StreamReception::waitUntil(Clock::time_point deadline, bool readable)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
        return;
    if (readable) {
        m_connection->waitForReadable(int(std::min<qint64>(left.count(), StopCheckMs)));
        return;
    }
    std::unique_lock lock(m_stopMutex);
    m_stopped.wait_until(lock, deadline, [this] { return m_stop.load(); });
}

// One read of what waits: into the kept stream while it has room, else into
// scratch, counted and dropped. The connection's answer.
qint64 StreamReception::readOnce(Reading &reading, std::vector<char> &scratch)
{
    // Surplus bytes are counted but not kept.
    qint64 room = reading.keep ? std::max<qint64>(0, m_declared - reading.stream.size()) : 0;
    const qint64 want = std::min(room > 0 ? room : LargeRead, LargeRead);
    if (room > 0 && !keepMore(reading, want)) {
        // Past the budget: read off and dropped from here on.
        reading.keep = false;
        reading.release();
        room = 0;
    }
    qint64 n;
    if (room > 0) {
        const qsizetype kept = reading.stream.size();
        reading.stream.resize(kept + qsizetype(want));
        n = m_connection->receive(reading.stream.data() + kept, want);
        reading.stream.resize(kept + qsizetype(std::max<qint64>(n, 0)));
    } else {
        scratch.resize(size_t(LargeRead));
        n = m_connection->receive(scratch.data(), LargeRead);
    }
    if (n > 0)
        took(reading, room > 0 ? nullptr : scratch.data(), n, room);
    return n;
}

// The read loop: whatever waits is read at once; the reception ends at the
// first read that finds nothing once exactly the declared bytes are in (and
// the first pause has passed), or when no byte has come for the idle time.
void StreamReception::read(qint64 limit, Reading &reading)
{
    const qint64 expected = m_declared; // sign-extended
    // A stream announced beyond what the console may hold is still read off
    // the connection (its bytes must not be taken for packets) but not kept,
    // and it ends as incomplete: an agent cannot make the console allocate
    // whatever it announces. So is one the budget of all streams has no
    // room for.
    reading.keep = expected <= limit;
    if (reading.keep)
        reading.stream = streambuffers::take(expected);
    const auto started = Clock::now();
    const auto pauseEnd = started + std::chrono::milliseconds(m_timings.firstSleepMs);
    const auto idleTime = std::chrono::milliseconds(qint64(m_timings.idleLimit + 1)
                                                    * std::max(1, m_timings.idleSleepMs));
    const auto wholeEnd = pauseEnd + WholeStreamIdleTimes * idleTime;
    auto lastByte = started;
    std::vector<char> scratch;

    if (!m_firstBytes.isEmpty()) {
        // Taken as one read, however long: they are already in memory.
        const qint64 n = m_firstBytes.size();
        const qint64 room = reading.keep ? std::max<qint64>(0, expected) : 0;
        if (room > 0 && !keepMore(reading, std::min(n, room)))
            reading.keep = false;
        took(reading, m_firstBytes.constData(), n, reading.keep ? room : 0);
        m_firstBytes.clear();
    }
    while (!m_stop.load()) {
        if (reading.received - std::max<qint64>(expected, 0) > SurplusLimit)
            break;
        // A trickle that never ends does not hold its bytes for ever.
        if (reading.received != expected && Clock::now() >= wholeEnd)
            break;
        const qint64 n = readOnce(reading, scratch);
        if (n > 0) {
            lastByte = Clock::now();
            continue;
        }
        const auto now = Clock::now();
        if (reading.received == expected) {
            // Nothing can follow on a closed connection; an open one may
            // still bring surplus within the first pause.
            if (n == 0 || now >= pauseEnd)
                break;
            decodeArrived(reading);
            waitUntil(pauseEnd, true);
            continue;
        }
        const auto idleEnd = std::min(std::max(lastByte, pauseEnd) + idleTime, wholeEnd);
        if (now >= idleEnd)
            break;
        decodeArrived(reading);
        // A closed connection reads as nothing at once, again and again: it
        // is waited out as the idle time, not read in a loop.
        waitUntil(idleEnd, n < 0);
    }
}

// The outcome of what was read, decoded here, not in the owner's thread.
void StreamReception::finish(Result &result, Reading &reading)
{
    result.complete = reading.keep && reading.received == m_declared;
    if (!result.complete)
        return;
    result.peerName = cp1250::toUnicode(m_connection->peerHostName());
    result.peerAddress = cp1250::toUnicode(m_connection->peerAddress());
    if (m_kind == Kind::ScreenPicture) {
        reading.picture->feed(reading.stream, true);
        result.picture = reading.picture->take();
        result.pictureSize = reading.picture->fullSize();
        // Bytes after the picture's end are not kept with it.
        result.jpeg = jpegimage::pictureBytes(reading.stream);
    } else {
        result.rows = processRows(reading.stream);
    }
}

void StreamReception::endReading(bool &over)
{
    if (!std::exchange(over, true))
        QMetaObject::invokeMethod(
                this, [this] { emit readingEnded(); }, Qt::QueuedConnection);
}

void StreamReception::run()
{
    auto result = std::make_shared<Result>();
    result->kind = m_kind;
    result->declared = m_declared;
    const bool screen = m_kind == Kind::ScreenPicture;
    Reading reading;
    reading.overview = m_limits.overview;
    bool readingOver = false;
    // A failure on this thread (memory included) ends the reception as
    // incomplete; it must not end the console.
    try {
        if (screen)
            reading.picture = std::make_unique<jpegimage::ArrivingPicture>(m_bound, m_enlarge);
        const qint64 limit
                = screen ? m_limits.memory : std::min(m_limits.memory, processlist::MaxStreamSize);
        read(limit, reading);
        // The wait for the stream is over; its picture's last rows are
        // decoded while the owner gets on.
        endReading(readingOver);
        finish(*result, reading);
    } catch (...) {
        result->complete = false;
        result->peerName.clear();
        result->peerAddress.clear();
        result->picture = {};
        result->pictureSize = {};
        result->rows = {};
        result->jpeg = {};
    }
    endReading(readingOver);
    result->received = reading.received;
    result->kept = reading.stream.size();
    reading.picture.reset();
    reading.release();
    // The connection is not held beyond the reception.
    m_connection.reset();
    QMetaObject::invokeMethod(
            this, [this, result] { emit finished(*result); }, Qt::QueuedConnection);
}
