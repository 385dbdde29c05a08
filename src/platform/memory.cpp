#include "platform/memory.h"

#include <malloc.h>

namespace platform {

void returnLargeBlocksToSystem()
{
    // Setting the threshold also stops glibc from raising it by itself.
    [[maybe_unused]] static const bool set = ::mallopt(M_MMAP_THRESHOLD, 1024 * 1024) == 1;
}

} // namespace platform
