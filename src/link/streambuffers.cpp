#include "link/streambuffers.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <mutex>
#include <vector>

namespace streambuffers {

namespace {

struct Entry
{
    QByteArray buffer;
    qint64 since = 0; // when its stream ended, ms on the system's steady clock
};

struct Pool
{
    std::mutex mutex;
    std::vector<Entry> watched; // the oldest first
};

qint64 now()
{
    return QDeadlineTimer::current().deadline();
}

// Never destroyed: a reception may end while the program does.
Pool &pool()
{
    static Pool *const held = new Pool;
    return *held;
}

// Only the pool holds it: no one else can reach its bytes any more, so it
// may be written again. The count is atomic; a holder letting go meanwhile
// only makes it free a moment later.
bool isFree(const QByteArray &buffer)
{
    return buffer.isDetached();
}

// The oldest go first, held or not: one still held is freed by its last
// holder.
void trim(std::vector<Entry> &watched)
{
    qint64 bytes = 0;
    for (const Entry &w : watched)
        bytes += w.buffer.capacity();
    while (!watched.empty() && (watched.size() > size_t(Watched) || bytes > WatchedBytes)) {
        bytes -= watched.front().buffer.capacity();
        watched.erase(watched.begin());
    }
}

} // namespace

QByteArray take(qint64 size)
{
    if (size < Large)
        return {};
    Pool &p = pool();
    std::lock_guard lock(p.mutex);
    // The smallest free buffer that holds the stream and is at most a
    // quarter larger (a kept picture's bytes are counted by their size, so
    // a small one must not pin a large buffer), else the largest free one
    // at least three quarters of it, which grows where it lies.
    auto best = p.watched.end();
    for (auto it = p.watched.begin(); it != p.watched.end(); ++it) {
        const qint64 capacity = it->buffer.capacity();
        if (!isFree(it->buffer) || capacity > size + size / 4 || capacity < size - size / 4)
            continue;
        if (best == p.watched.end()) {
            best = it;
            continue;
        }
        const qint64 was = best->buffer.capacity();
        const bool holds = capacity >= size;
        if ((holds && (was < size || capacity < was)) || (!holds && was < size && capacity > was))
            best = it;
    }
    if (best == p.watched.end())
        return {};
    QByteArray buffer = std::move(best->buffer);
    p.watched.erase(best);
    buffer.resize(0); // keeps the capacity: it is detached
    return buffer;
}

void giveBack(QByteArray buffer)
{
    if (buffer.capacity() < Large)
        return;
    Pool &p = pool();
    std::lock_guard lock(p.mutex);
    p.watched.push_back({std::move(buffer), now()});
    trim(p.watched);
}

Idle idle()
{
    Pool &p = pool();
    std::lock_guard lock(p.mutex);
    Idle idle;
    for (const Entry &w : p.watched) {
        if (isFree(w.buffer)) {
            ++idle.buffers;
            idle.bytes += w.buffer.capacity();
        }
    }
    return idle;
}

void releaseIdle(qint64 idleMs)
{
    Pool &p = pool();
    std::lock_guard lock(p.mutex);
    const qint64 before = now() - idleMs;
    std::erase_if(p.watched,
                  [before](const Entry &w) { return w.since <= before && isFree(w.buffer); });
}

} // namespace streambuffers
