#include "shell/datafolder.h"

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

QString GetDataFolder()
{
    // The local (not roaming) application-data folder of this platform;
    // $XDG_DATA_HOME moves it.
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty()) {
        report(QStringLiteral("Błąd uzyskania ścieżki głównego katalagu.\nKod błędu: %1")
                       .arg(uint(ENOENT)));
        return {};
    }
    const QString path = QDir::cleanPath(base) + QLatin1Char('/') + QLatin1String(FolderName);
    if (!QDir(path).exists()) {
        errno = 0;
        // One level only: a missing parent is not made, and the folder then fails.
        if (!QDir().mkdir(path)) {
            const int code = errno ? errno : EACCES;
            report(QStringLiteral("Błąd tworzenia katalagu.\nKod błędu: %1").arg(uint(code)));
            return {};
        }
    }
    return path;
}

} // namespace datafolder

QString GetDataFolder()
{
    return datafolder::GetDataFolder();
}
