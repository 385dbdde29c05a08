#include "platform/singleinstance.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A real folder (not a link to one) of this user that no one else may enter.
bool privateFolder(const QByteArray &path)
{
    struct stat st = {};
    if (::lstat(path.constData(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

} // namespace

SingleInstance::SingleInstance(const QString &name)
{
    m_folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (m_folder.isEmpty() || !QFileInfo(m_folder).isDir())
        m_folder = QDir::tempPath() + QStringLiteral("/docentor-%1").arg(::geteuid());
    m_path = m_folder + QLatin1Char('/') + name + QStringLiteral(".lock");
    open();
}

void SingleInstance::open()
{
    const QByteArray folder = QFile::encodeName(m_folder);
    // Made private from the start; a folder that is already there, whoever
    // made it, is judged below.
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST)
        return;
    if (!privateFolder(folder)) {
        m_unsafe = Unsafe::Folder;
        return;
    }

    m_fd = ::open(QFile::encodeName(m_path).constData(),
                  O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (m_fd < 0) {
        // A link in place of the lock file is not followed.
        if (errno == ELOOP)
            m_unsafe = Unsafe::LockFile;
        return;
    }
    struct stat st = {};
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        m_unsafe = Unsafe::LockFile;
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        m_alreadyExists = errno == EWOULDBLOCK;
        ::close(m_fd);
        m_fd = -1;
    }
}

SingleInstance::~SingleInstance()
{
    if (m_fd >= 0)
        ::close(m_fd);
}
