// What the two halves of the file calls share; the system's own calls are in
// files.cpp and files_win.cpp.
#include "platform/files.h"

namespace platform {

bool Folder::isOpen() const
{
    return m_fd >= 0;
}

Folder Folder::openPrivate(const QString &name, int *error) const
{
    return openInside(name, true, error);
}

// On Windows the access list, not a mode, keeps others out: both are the
// same there.
Folder Folder::openClosed(const QString &name, int *error) const
{
    return openInside(name, false, error);
}

} // namespace platform
