#include "storage/datafolder.h"

#include "platform/files.h"

#include <QDir>
#include <QStandardPaths>

#include <cerrno>
#include <mutex>


namespace datafolder {

namespace {
std::mutex reporterMutex;
FailureReporter reporter;
thread_local bool reporting = false;

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
    // The local (not roaming) application-data folder of this platform. An
    // absolute $XDG_DATA_HOME moves it on every system (where the desktop
    // rules do not, a technician or a test may still want to).
    const QString moved = qEnvironmentVariable("XDG_DATA_HOME");
    const QString base = QDir::isAbsolutePath(moved)
                                 ? moved
                                 : QStandardPaths::writableLocation(
                                           QStandardPaths::GenericDataLocation);
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
    // The data folder, one level below the data home (which is made first
    // when missing), is this user's and closed to others: the log tells what
    // the teacher did, and a folder of someone else could have links planted
    // in it.
    const int code = platform::makePrivateFolder(base, path);
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
