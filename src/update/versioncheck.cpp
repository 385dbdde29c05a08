#include "update/versioncheck.h"

#include "update/httpget.h"

namespace update {

namespace {
std::atomic<int> checksCompleted{0};
} // namespace

int completedChecks()
{
    return checksCompleted.load();
}

void countCompletedCheck()
{
    ++checksCompleted;
}

VersionAnswer fetchServerVersion(const QUrl &url, const std::atomic<bool> &stop)
{
    int status = 0;
    QByteArray body;
    HttpHandlers handlers;
    handlers.header = [&status](const HttpHeader &header) {
        status = header.status;
        // An error page or a redirect loop's end is no version file; no
        // need to read it.
        return status == 200;
    };
    handlers.body = [&body](const char *data, qint64 size) {
        body.append(data, qsizetype(size));
        // The rest of the file, if any, is of no interest.
        return body.size() < VersionFileSize;
    };

    switch (httpGet(url, stop, VersionFileSize, handlers)) {
    case HttpEnding::Stopped:
        return {VersionAnswer::Stopped, {}};
    case HttpEnding::NoConnection:
    case HttpEnding::Stalled:
    case HttpEnding::OutOfTime:
        return {VersionAnswer::NoConnection, {}};
    case HttpEnding::Complete:
    case HttpEnding::BrokenOff:
    case HttpEnding::Declined:
        break;
    }
    if (status != 200)
        return {VersionAnswer::NotAvailable, {}};
    if (const std::optional<Version> version = parseVersionFile(body))
        return {VersionAnswer::Found, *version};
    return {VersionAnswer::NotAvailable, {}};
}

} // namespace update
