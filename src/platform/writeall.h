#pragma once

#include <QByteArrayView>

namespace platform {

// Writes all of bytes to the descriptor, going on after a partial write or an
// interrupted call. Answers 0, or the error that stopped it (EIO when the
// system took nothing without saying why); what was written stays written.
int writeAll(int fd, QByteArrayView bytes);

} // namespace platform
