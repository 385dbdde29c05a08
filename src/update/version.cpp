#include "update/version.h"

#include <QtEndian>

#include <mutex>

namespace update {

namespace {
std::mutex serverVersionMutex;
Version lastServerVersion{1, 0, 0};
} // namespace

QString Version::text() const
{
    return QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(release);
}

bool Version::isNewerThan(const Version &other) const
{
    if (major != other.major)
        return major > other.major;
    if (minor != other.minor)
        return minor > other.minor;
    return release > other.release;
}

std::optional<Version> parseVersionFile(const QByteArray &body, const Version &previous)
{
    if (body.size() < ShortestVersionFile)
        return std::nullopt;
    const char *data = body.constData();
    // A release cut short is no number at all: it keeps its value whole.
    return Version{qFromLittleEndian<qint32>(data), qFromLittleEndian<qint32>(data + 4),
                   body.size() < VersionFileSize ? previous.release
                                                 : qFromLittleEndian<qint32>(data + 8)};
}

Version serverVersion()
{
    std::lock_guard lock(serverVersionMutex);
    return lastServerVersion;
}

void setServerVersion(const Version &version)
{
    std::lock_guard lock(serverVersionMutex);
    lastServerVersion = version;
}

std::optional<Version> readServerVersion(const QByteArray &body)
{
    // Two checks may end at once; each keeps the release the other left.
    std::lock_guard lock(serverVersionMutex);
    const std::optional<Version> version = parseVersionFile(body, lastServerVersion);
    if (version)
        lastServerVersion = *version;
    return version;
}

} // namespace update
