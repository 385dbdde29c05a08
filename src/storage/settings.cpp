#include "storage/settings.h"

#include "platform/cp1250.h"
#include "platform/writeall.h"
#include "storage/datafolder.h"
#include "storage/eventlog.h"

#include <QDir>
#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A path inside the data folder, or nothing when the folder cannot be had:
// then nothing is read or written, rather than falling back to the root of
// the file system.
QString pathInDataFolder(const char *name)
{
    const QString folder = GetDataFolder();
    if (folder.isEmpty())
        return {};
    return folder + QLatin1Char('/') + QLatin1String(name);
}

QList<QByteArray> readLines(const QString &path)
{
    if (path.isEmpty())
        return {};
    // Only the folder's own file: a link in its place counts as no file, and
    // the next write replaces it.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return {};
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return {};
    }
    QList<QByteArray> lines = file.readAll().split('\n');
    // A final line break does not start one more line.
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

// The scratch copy, readable by the user only. A link in its place is
// removed, not written through; anything else that is not a plain file is
// left alone and the copy is skipped, as when it cannot be opened.
void writeScratch(const QString &path, const QByteArray &content)
{
    const QByteArray name = QFile::encodeName(path);
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
        platform::writeAll(fd, content);
    }
    ::close(fd);
}

// Puts content in place of path through a new file beside it, readable by the
// user only, renamed over whatever stands at path: a link there is replaced,
// not followed. errno tells why it failed.
bool replaceFile(const QString &path, const QByteArray &content)
{
    QByteArray temp = QFile::encodeName(path) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = platform::writeAll(fd, content) == 0 && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.constData(), QFile::encodeName(path).constData()) == 0;
    if (!ok) {
        const int code = errno;
        ::unlink(temp.constData());
        errno = code;
    }
    return ok;
}

} // namespace

QByteArray ReadSetting(const QByteArray &tag)
{
    for (const QByteArray &line : readLines(pathInDataFolder(settings::FileName))) {
        if (line.contains(tag)) {
            const qsizetype gt = line.indexOf('>');
            return gt < 0 ? QByteArray() : line.mid(gt + 1);
        }
    }
    return {};
}

bool WriteSetting(const QByteArray &tag, const QByteArray &value)
{
    const QString readPath = pathInDataFolder(settings::FileName);
    const QString writePath = pathInDataFolder(settings::ScratchName);
    if (readPath.isEmpty() || writePath.isEmpty())
        return false;

    QByteArray content;
    bool found = false;
    for (const QByteArray &line : readLines(readPath)) {
        if (line.contains(tag)) {
            content += tag + value;
            found = true;
        } else {
            content += line;
        }
        content += "\r\n";
    }
    if (!found)
        content += tag + value + "\r\n";

    writeScratch(writePath, content);

    // The replacement goes through a sibling file renamed over the old one,
    // so a failure at any point leaves the old settings whole.
    errno = 0;
    if (!replaceFile(readPath, content)) {
        const int code = errno ? errno : EIO;
        // In one step: a path holding "%1" stays as it is.
        const QString message
                = QStringLiteral("Błąd zamiany pliku ustawień, rPath: %1, wPath: %2, Error: %3")
                          .arg(QDir::toNativeSeparators(readPath),
                               QDir::toNativeSeparators(writePath), QString::number(uint(code)));
        WriteLog(cp1250::fromUnicode(message));
        return false;
    }
    return true;
}
