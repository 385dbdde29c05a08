#include "platform/openfilelimit.h"

namespace platform {

// Windows sets no per-process limit on sockets and files to raise.
long long raiseOpenFileLimit()
{
    return -1;
}

} // namespace platform
