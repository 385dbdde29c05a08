#include "platform/files.h"

#include "platform/writeall.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

QByteArray encoded(const QString &name)
{
    return QFile::encodeName(name);
}

// Makes the missing folders of path, each closed to other users, as the
// base-directory rules ask of whoever creates the data home: a fresh account
// may not have one yet. 0 or the error code.
int makePath(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash > 0 && ::access(path.left(slash).constData(), F_OK) != 0) {
        if (const int code = makePath(path.left(slash)))
            return code;
    }
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return errno;
    return 0;
}

} // namespace

int makePrivateFolder(const QString &homePath, const QString &folderPath)
{
    const QByteArray home = encoded(homePath);
    const QByteArray folder = encoded(folderPath);
    struct stat st = {};
    if (::stat(folder.constData(), &st) != 0) {
        if (errno != ENOENT)
            return errno;
        if (::mkdir(folder.constData(), 0700) == 0)
            return 0;
        if (errno != ENOENT)
            return errno;
        if (const int code = makePath(home))
            return code;
        return ::mkdir(folder.constData(), 0700) == 0 ? 0 : errno;
    }
    if (!S_ISDIR(st.st_mode))
        return EEXIST; // what making it would have met
    // Root may change any folder: the owner itself must match. The code is
    // the one a change of someone else's folder gives.
    if (st.st_uid != ::geteuid())
        return EPERM;
    if ((st.st_mode & 077) != 0 && ::chmod(folder.constData(), st.st_mode & 0700) != 0)
        return errno;
    return 0;
}

int appendToFile(const QString &path, QByteArrayView bytes)
{
    const int fd = ::open(encoded(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return errno;
    // A torn block stays as it is.
    const int error = writeAll(fd, bytes);
    ::close(fd);
    return error;
}

AppendFile::~AppendFile()
{
    close();
}

int AppendFile::open(const Folder &folder, const QString &name)
{
    close();
    const int fd
            = ::openat(folder.m_fd, encoded(name).constData(),
                       O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0)
        return errno;
    struct stat st = {};
    int error = ::fstat(fd, &st) == 0 ? 0 : errno;
    if (error == 0 && !S_ISREG(st.st_mode))
        error = EINVAL;
    else if (error == 0 && st.st_nlink > 1)
        error = EMLINK;
    if (error != 0) {
        ::close(fd);
        return error;
    }
    m_handle = fd;
    m_device = quint64(st.st_dev);
    m_index = quint64(st.st_ino);
    m_size = qint64(st.st_size);
    return 0;
}

bool AppendFile::isOpen() const
{
    return m_handle >= 0;
}

void AppendFile::close()
{
    if (m_handle >= 0)
        ::close(int(m_handle));
    m_handle = -1;
    m_device = m_index = 0;
    m_size = 0;
}

int AppendFile::write(QByteArrayView bytes)
{
    if (m_handle < 0)
        return EBADF;
    m_size += bytes.size();
    return writeAll(int(m_handle), bytes);
}

bool AppendFile::standsIn(const Folder &folder, const QString &name) const
{
    struct stat st = {};
    return m_handle >= 0 && folder.m_fd >= 0
           && ::fstatat(folder.m_fd, encoded(name).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
           && quint64(st.st_dev) == m_device && quint64(st.st_ino) == m_index;
}

int makeFolder(const QString &path)
{
    return ::mkdir(encoded(path).constData(), 0700) == 0 ? 0 : errno;
}

QByteArray readOwnFile(const QString &path)
{
    const int fd
            = ::open(encoded(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return {};
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return {};
    }
    return file.readAll();
}

void overwriteFile(const QString &path, QByteArrayView content)
{
    const QByteArray name = encoded(path);
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    int fd = ::open(name.constData(), flags, 0600);
    if (fd < 0 && errno == ELOOP && ::unlink(name.constData()) == 0)
        fd = ::open(name.constData(), flags | O_EXCL, 0600);
    if (fd < 0)
        return;
    struct stat st = {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        // One left by an older version may still be open to others.
        if ((st.st_mode & 077) != 0)
            ::fchmod(fd, 0600);
        writeAll(fd, content);
    }
    ::close(fd);
}

int replaceFile(const QString &path, QByteArrayView content)
{
    QByteArray temp = encoded(path) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    int error = writeAll(fd, content);
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temp.constData(), encoded(path).constData()) != 0)
        error = errno;
    if (error != 0)
        ::unlink(temp.constData());
    return error;
}

Folder::~Folder()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

Folder::Folder(Folder &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
    , m_path(std::move(other.m_path))
{}

Folder &Folder::operator=(Folder &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_path = std::move(other.m_path);
    }
    return *this;
}

Folder Folder::open(const QString &path, int *error)
{
    Folder folder;
    folder.m_fd = ::open(encoded(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    *error = folder.m_fd < 0 ? errno : 0;
    folder.m_path = path;
    return folder;
}

Folder Folder::openInside(const QString &name, bool ownerBitsToo, int *error) const
{
    Folder folder;
    const QByteArray bytes = encoded(name);
    if (::mkdirat(m_fd, bytes.constData(), 0700) != 0 && errno != EEXIST) {
        *error = errno;
        return folder;
    }
    const int fd
            = ::openat(m_fd, bytes.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return folder;
    }
    struct stat st = {};
    *error = 0;
    if (::fstat(fd, &st) != 0)
        *error = errno;
    else if (st.st_uid != ::geteuid())
        *error = EPERM;
    else if (ownerBitsToo && (st.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0)
        *error = errno;
    // The owner may have shut the folder to itself on purpose; only what
    // others were let do goes.
    else if (!ownerBitsToo && (st.st_mode & 07077) != 0 && ::fchmod(fd, st.st_mode & 0700) != 0)
        *error = errno;
    if (*error != 0) {
        ::close(fd);
        return folder;
    }
    folder.m_fd = fd;
    folder.m_path = m_path + QLatin1Char('/') + name;
    return folder;
}

bool Folder::standsAt(const QString &path) const
{
    struct stat here = {};
    struct stat there = {};
    return m_fd >= 0 && ::fstat(m_fd, &here) == 0 && ::stat(encoded(path).constData(), &there) == 0
           && here.st_dev == there.st_dev && here.st_ino == there.st_ino;
}

bool Folder::standsIn(const Folder &parent, const QString &name) const
{
    struct stat here = {};
    struct stat there = {};
    return m_fd >= 0 && parent.m_fd >= 0 && ::fstat(m_fd, &here) == 0
           && ::fstatat(parent.m_fd, encoded(name).constData(), &there, AT_SYMLINK_NOFOLLOW) == 0
           && here.st_dev == there.st_dev && here.st_ino == there.st_ino;
}

int Folder::makeFolder(const QString &name) const
{
    return ::mkdirat(m_fd, encoded(name).constData(), 0700) == 0 ? 0 : errno;
}

int Folder::writeNewFile(const QString &name, QByteArrayView content) const
{
    const QByteArray bytes = encoded(name);
    const int fd = ::openat(m_fd, bytes.constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    // Exactly the owner's, whatever the umask left.
    int error = ::fchmod(fd, 0600) == 0 ? 0 : errno;
    if (error == 0)
        error = writeAll(fd, content);
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    // Half a record is no record.
    if (error != 0)
        ::unlinkat(m_fd, bytes.constData(), 0);
    return error;
}

} // namespace platform
