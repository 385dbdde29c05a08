#include "platform/writeall.h"

#include <cerrno>

#include <unistd.h>

namespace platform {

int writeAll(int fd, QByteArrayView bytes)
{
    const char *data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        data += n;
        left -= n;
    }
    return 0;
}

} // namespace platform
