#include "platform/memory.h"

namespace platform {

// The Windows heap already gives every block beyond about half a megabyte a
// virtual allocation of its own and releases it when the block is freed.
void returnLargeBlocksToSystem() {}

} // namespace platform
