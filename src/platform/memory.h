#pragma once

namespace platform {

// From the first call on, every block of a megabyte or more has pages
// of its own, handed back to the system the moment it is freed. Pictures are
// decoded on short-lived threads and freed on another: left to itself, the
// allocator raises its threshold for such blocks to the largest one freed so
// far and from then on serves full-size pictures from per-thread heaps that
// keep them, so the console grew by a picture's size for every heap a
// teacher's picture once passed through. Cheap to call again.
void returnLargeBlocksToSystem();

} // namespace platform
