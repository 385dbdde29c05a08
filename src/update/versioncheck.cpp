#include "update/versioncheck.h"

#include "update/httpget.h"

#include <algorithm>

namespace update {

namespace {

// Whatever goes wrong inside the check itself, running out of memory
// included, ends it as a server that could not be asked: the console goes on.
VersionAnswer askServer(const QUrl &url, const std::atomic<bool> &stop)
{
    try {
        return fetchServerVersion(url, stop);
    } catch (...) {
        return {VersionAnswer::NoConnection, {}};
    }
}

} // namespace

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

    // A version file is a few bytes: the whole check, redirects included,
    // takes no longer than a server may stay silent.
    switch (httpGet(url, stop, VersionFileSize, handlers, idleTimeout())) {
    case HttpEnding::Stopped:
        return {VersionAnswer::Stopped, {}};
    case HttpEnding::NoConnection:
    case HttpEnding::Stalled:
    case HttpEnding::OutOfTime:
        return {VersionAnswer::NoConnection, {}};
    case HttpEnding::Refused:
    case HttpEnding::Malformed:
        return {VersionAnswer::Unreadable, {}};
    case HttpEnding::BrokenOff:
        // Fewer bytes than the server meant to send are a torn file.
        if (status == 200)
            return {VersionAnswer::Unreadable, {}};
        break;
    case HttpEnding::Complete:
    case HttpEnding::Declined:
        break;
    }
    if (status == 404 || status == 500)
        return {VersionAnswer::NotAvailable, {}};
    if (status != 200 || body.size() < ShortestVersionFile)
        return {VersionAnswer::Unreadable, {}};
    return {VersionAnswer::Found, body.left(VersionFileSize)};
}

VersionCheck::VersionCheck(QObject *parent)
    : QObject(parent)
{}

VersionCheck::~VersionCheck()
{
    stop();
}

void VersionCheck::start(const QUrl &url, bool silent)
{
    std::lock_guard lock(m_workersMutex);
    m_workers.emplace_back([this, url, silent] {
        const VersionAnswer answer = askServer(url, m_stop);
        std::optional<Version> version;
        if (answer.kind == VersionAnswer::Found)
            version = readServerVersion(answer.file);
        // Nothing thrown may reach the thread's end, which would end the
        // console; without memory to report the outcome it goes unreported,
        // and the worker is joined when the checks are stopped.
        try {
            QMetaObject::invokeMethod(
                    this,
                    [this, kind = answer.kind, version, silent, self = std::this_thread::get_id()] {
                        finishCheck(self, kind, version, silent);
                    },
                    Qt::QueuedConnection);
        } catch (...) {
        }
    });
}

void VersionCheck::stop()
{
    m_stop = true;
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(m_workersMutex);
        workers.swap(m_workers);
    }
    for (std::thread &worker : workers) {
        if (worker.joinable())
            worker.join();
    }
    m_stop = false;
}

void VersionCheck::finishCheck(std::thread::id worker, VersionAnswer::Kind answer,
                               const std::optional<Version> &version, bool silent)
{
    // A finished check does not wait for the console's end to be joined.
    std::thread finished;
    {
        std::lock_guard lock(m_workersMutex);
        const auto it
                = std::find_if(m_workers.begin(), m_workers.end(),
                               [worker](const std::thread &t) { return t.get_id() == worker; });
        if (it == m_workers.end())
            return; // stopped meanwhile
        finished = std::move(*it);
        m_workers.erase(it);
    }
    finished.join();

    switch (answer) {
    case VersionAnswer::Found:
        if (version && version->isNewerThan(ProgramVersion))
            emit newerVersionFound();
        else if (!silent)
            emit noNewerVersion();
        break;
    case VersionAnswer::Unreadable:
    case VersionAnswer::NoConnection:
        // The teacher who asked gets an answer, even when it is no version.
        if (!silent)
            emit connectionFailed();
        break;
    case VersionAnswer::NotAvailable:
    case VersionAnswer::Stopped:
        break;
    }
    emit checkEnded();
}

} // namespace update
