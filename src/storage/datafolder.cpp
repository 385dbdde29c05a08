#include "storage/datafolder.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

namespace datafolder {

namespace {
std::mutex reporterMutex;
FailureReporter reporter;
thread_local bool reporting = false;

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

// The data folder, one level below the data home (which is made first when
// missing), is this user's and closed to others: the log tells what the
// teacher did, and a folder of someone else could have links planted in it.
// A folder left open by an older version is closed. 0 or the error code.
int makePrivateFolder(const QByteArray &home, const QByteArray &folder)
{
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

void report(const QString &message)
{
    // A reporter that needed the folder again would only fail again.
    if (reporting)
        return;
    FailureReporter copy;
    {
        std::lock_guard lock(reporterMutex);
        copy = reporter;
    }
    if (!copy)
        return;
    reporting = true;
    copy(message);
    reporting = false;
}
} // namespace

bool reportingFailure()
{
    return reporting;
}

ReportingScope::ReportingScope()
    : m_was(reporting)
{
    reporting = true;
}

ReportingScope::~ReportingScope()
{
    reporting = m_was;
}

void setFailureReporter(FailureReporter r)
{
    std::lock_guard lock(reporterMutex);
    reporter = std::move(r);
}

QString folderPath()
{
    // The local (not roaming) application-data folder of this platform;
    // $XDG_DATA_HOME moves it.
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty())
        return {};
    return QDir::cleanPath(base) + QLatin1Char('/') + QLatin1String(FolderName);
}

QString GetDataFolder()
{
    const QString path = folderPath();
    if (path.isEmpty()) {
        report(QStringLiteral("Błąd uzyskania ścieżki głównego katalagu.\nKod błędu: %1")
                       .arg(uint(ENOENT)));
        return {};
    }
    const QString base = path.left(path.size() - qsizetype(qstrlen(FolderName)) - 1);
    const int code = makePrivateFolder(QFile::encodeName(base), QFile::encodeName(path));
    if (code != 0) {
        report(QStringLiteral("Błąd tworzenia katalagu.\nKod błędu: %1").arg(uint(code)));
        return {};
    }
    return path;
}

} // namespace datafolder

QString GetDataFolder()
{
    return datafolder::GetDataFolder();
}
