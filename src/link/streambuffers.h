#pragma once

#include <QByteArray>

// The buffers large streams are read into. A stream of a megabyte or more
// has pages of its own (see platform::returnLargeBlocksToSystem), which the
// system would map and fault in for every picture and take back when it
// goes; one of a few hundred kilobytes (a full-HD screen's) fares no better,
// as the allocator trims it off the top of its heap once freed and the next
// picture faults it in again. Instead each such buffer, once its reception
// has ended, is watched here: whoever keeps the picture's bytes (its
// computer, the window) holds it for as long as they keep them, and once
// they let go it is read into again by the next stream of about its size. A
// bounded number and size of buffers are watched, so the memory stays flat
// however many pictures come.
namespace streambuffers {

// Smaller streams take their memory from the allocator as any block does.
constexpr qint64 Large = 256 * 1024;
// At most this many buffers, of this many bytes together, are watched;
// those no one holds any more are what the console keeps idle.
constexpr int Watched = 8;
constexpr qint64 WatchedBytes = 32 * 1024 * 1024;

// An empty buffer for a stream of size bytes: one let go by everyone else,
// if one of about that size is, else a new one (null). Either may still
// have to grow.
QByteArray take(qint64 size);
// A reception has ended with its buffer; whoever shares it keeps it.
void giveBack(QByteArray buffer);

struct Idle
{
    int buffers = 0;
    qint64 bytes = 0;
};
// The buffers no one but the pool holds now, and their capacity together.
Idle idle();

// Lets go of the buffers kept longer than idleMs since their stream ended
// and held by no one else: a burst of large pictures leaves nothing behind
// once the class is quiet again.
void releaseIdle(qint64 idleMs);

} // namespace streambuffers
