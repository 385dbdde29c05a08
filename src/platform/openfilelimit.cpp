#include "platform/openfilelimit.h"

#include <cstdio>
#include <sys/resource.h>

namespace platform {

namespace {

// The kernel's ceiling for a limit given as unlimited.
rlim_t systemCeiling()
{
    unsigned long long value = 0;
    if (FILE *file = std::fopen("/proc/sys/fs/nr_open", "re")) {
        if (std::fscanf(file, "%llu", &value) != 1)
            value = 0;
        std::fclose(file);
    }
    return value > 0 ? rlim_t(value) : rlim_t(1) << 20;
}

} // namespace

long long raiseOpenFileLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? systemCeiling() : limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? -1 : (long long)(limit.rlim_cur);
}

} // namespace platform
