#include "link/streambuffers.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace streambuffers {

namespace {

struct Pool
{
    std::mutex mutex;
    std::vector<QByteArray> watched; // the oldest first
};

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
void trim(std::vector<QByteArray> &watched)
{
    qint64 bytes = 0;
    for (const QByteArray &b : watched)
        bytes += b.capacity();
    while (!watched.empty() && (watched.size() > size_t(Watched) || bytes > WatchedBytes)) {
        bytes -= watched.front().capacity();
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
        const qint64 capacity = it->capacity();
        if (!isFree(*it) || capacity > size + size / 4 || capacity < size - size / 4)
            continue;
        if (best == p.watched.end()) {
            best = it;
            continue;
        }
        const qint64 was = best->capacity();
        const bool holds = capacity >= size;
        if ((holds && (was < size || capacity < was)) || (!holds && was < size && capacity > was))
            best = it;
    }
    if (best == p.watched.end())
        return {};
    QByteArray buffer = std::move(*best);
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
    p.watched.push_back(std::move(buffer));
    trim(p.watched);
}

Idle idle()
{
    Pool &p = pool();
    std::lock_guard lock(p.mutex);
    Idle idle;
    for (const QByteArray &b : p.watched) {
        if (isFree(b)) {
            ++idle.buffers;
            idle.bytes += b.capacity();
        }
    }
    return idle;
}

} // namespace streambuffers
