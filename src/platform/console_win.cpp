#include "platform/console.h"

#include <cstdio>

#include <windows.h>

namespace platform {

void useParentConsole()
{
    // Output already given somewhere (a pipe, a file, Wine's terminal) stays.
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out && out != INVALID_HANDLE_VALUE)
        return;
    if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
        std::freopen("CONOUT$", "w", stdout);
        std::freopen("CONOUT$", "w", stderr);
    }
}

} // namespace platform
