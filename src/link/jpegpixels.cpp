// The blocks decoded pictures are kept in.
#include "link/jpegerrors.h"
#include "link/jpegimage.h"

#include <QDeadlineTimer>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace jpegimage::detail {

// A decoded picture of a megabyte or more has pages of its own (see
// platform::returnLargeBlocksToSystem), which the system must map and fault
// in for every new picture and take back when it goes: for a full-size
// picture that cost more than decoding it. The blocks of the last few such
// pictures let go are kept for the next ones instead, a bounded number and
// size of them, so the memory stays flat. Each block says its size in a
// header before the pixels.
namespace {

constexpr size_t Header = 64; // keeps the pixels aligned as malloc's are
constexpr size_t Large = 1024 * 1024;
constexpr size_t KeptBlocks = 2;
constexpr size_t KeptBytes = 80 * 1024 * 1024;

size_t sizeOf(const unsigned char *block);

struct Kept
{
    std::mutex mutex;
    std::vector<unsigned char *> blocks; // the oldest first
    std::vector<qint64> since;           // when each was let go (steady clock, ms)
    size_t bytes = 0;
};

void drop(Kept &k, size_t index)
{
    k.bytes -= sizeOf(k.blocks[index]);
    std::free(k.blocks[index]);
    k.blocks.erase(k.blocks.begin() + qsizetype(index));
    k.since.erase(k.since.begin() + qsizetype(index));
}

// Never destroyed: a picture may be let go while the program ends.
Kept &kept()
{
    static Kept *const kept = new Kept;
    return *kept;
}

size_t sizeOf(const unsigned char *block)
{
    size_t size;
    std::memcpy(&size, block, sizeof size);
    return size;
}

unsigned char *reuse(size_t size)
{
    Kept &k = kept();
    std::lock_guard lock(k.mutex);
    // A block at most a quarter larger: a small picture does not take a
    // large one's pages.
    for (auto it = k.blocks.begin(); it != k.blocks.end(); ++it) {
        const size_t blockSize = sizeOf(*it);
        if (blockSize >= size && blockSize - size <= size / 4) {
            unsigned char *block = *it;
            k.since.erase(k.since.begin() + (it - k.blocks.begin()));
            k.blocks.erase(it);
            k.bytes -= blockSize;
            return block;
        }
    }
    return nullptr;
}

} // namespace

void *takePixels(size_t size)
{
    unsigned char *block = size >= Large ? reuse(size) : nullptr;
    if (!block) {
        block = static_cast<unsigned char *>(std::malloc(Header + size));
        if (!block)
            return nullptr;
        std::memcpy(block, &size, sizeof size);
    }
    return block + Header;
}

void givePixels(void *pixels)
{
    if (!pixels)
        return;
    unsigned char *block = static_cast<unsigned char *>(pixels) - Header;
    const size_t size = sizeOf(block);
    if (size >= Large && size <= KeptBytes) {
        Kept &k = kept();
        std::lock_guard lock(k.mutex);
        while (!k.blocks.empty() && (k.blocks.size() >= KeptBlocks || k.bytes + size > KeptBytes))
            drop(k, 0);
        k.blocks.push_back(block);
        k.since.push_back(QDeadlineTimer::current().deadline());
        k.bytes += size;
        return;
    }
    std::free(block);
}

} // namespace jpegimage::detail

namespace jpegimage {

void releaseIdleBlocks(qint64 idleMs)
{
    detail::Kept &k = detail::kept();
    std::lock_guard lock(k.mutex);
    const qint64 before = QDeadlineTimer::current().deadline() - idleMs;
    for (size_t i = k.blocks.size(); i-- > 0;) {
        if (k.since[i] <= before)
            detail::drop(k, i);
    }
}

size_t keptBlockBytes()
{
    detail::Kept &k = detail::kept();
    std::lock_guard lock(k.mutex);
    return k.bytes;
}

} // namespace jpegimage
