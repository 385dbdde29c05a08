#include "update/installerdownload.h"

#include "storage/datafolder.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <climits>

namespace update {

namespace {

constexpr const char *InstallerFileName = "admin_update.exe";

std::atomic<qint64> maxInstallerSize{InstallerDownload::MaxInstallerSize};
std::atomic<qint64> downloadDeadlineMs{
        std::chrono::duration_cast<std::chrono::milliseconds>(InstallerDownload::DownloadDeadline)
                .count()};

// The decimal number at the start of a Content-Length text; 0 when it does
// not start with a digit. Held at the largest qint64 rather than wrapping.
qint64 leadingNumber(const QByteArray &text)
{
    qint64 value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        const int digit = c - '0';
        if (value > (LLONG_MAX - digit) / 10)
            return LLONG_MAX;
        value = value * 10 + digit;
    }
    return value;
}

} // namespace

// What one download has got so far; it lives on the worker.
struct InstallerDownload::Download
{
    QFile file;
    bool created = false;
    qint64 announced = 0;
    qint64 written = 0;
    int gaugeMaximum = 0;
    int gaugePosition = 0;
    std::optional<Outcome> failure;

    void discard()
    {
        file.close();
        if (created)
            file.remove();
    }
};

InstallerDownload::InstallerDownload(QObject *parent)
    : QObject(parent)
{}

InstallerDownload::~InstallerDownload()
{
    stop();
}

void InstallerDownload::setLimits(qint64 maxSize, std::chrono::milliseconds deadline)
{
    maxInstallerSize = maxSize;
    downloadDeadlineMs = std::max<qint64>(1, deadline.count());
}

QString InstallerDownload::installerPath() const
{
    std::lock_guard lock(m_pathMutex);
    return m_installerPath;
}

void InstallerDownload::stop()
{
    m_stop = true;
    if (m_worker.joinable())
        m_worker.join();
    // Whatever the stopped download had posted is not delivered.
    ++m_generation;
    m_stop = false;
}

void InstallerDownload::start(const QUrl &url)
{
    stop();
    m_succeeded = false;
    m_position = 0;
    m_progressPending = false;
    m_worker = std::thread(&InstallerDownload::run, this, url);
}

template<typename Effect>
void InstallerDownload::post(Effect effect)
{
    QMetaObject::invokeMethod(
            this,
            [this, generation = m_generation.load(), effect = std::move(effect)] {
                if (generation == m_generation.load())
                    effect();
            },
            Qt::QueuedConnection);
}

void InstallerDownload::run(const QUrl &url)
{
    Download download;
    try {
        transfer(url, download);
        return;
    } catch (...) {
        // Whatever fails inside the download, running out of memory
        // included, ends it like a broken read; the console goes on.
    }
    download.discard();
    try {
        finish(Outcome::ReadFailed);
    } catch (...) {
    }
}

void InstallerDownload::transfer(const QUrl &url, Download &download)
{
    HttpHandlers handlers;
    handlers.header = [this, &download](const HttpHeader &header) {
        return acceptHeader(download, header);
    };
    handlers.body = [this, &download](const char *data, qint64 size) {
        return acceptBody(download, data, size);
    };
    const HttpEnding ending = httpGet(url, m_stop, ReadSize, handlers,
                                      std::chrono::milliseconds(downloadDeadlineMs.load()));
    if (ending == HttpEnding::Stopped) {
        download.discard();
        return;
    }
    const std::optional<Outcome> failed = failure(download, ending);
    if (failed)
        download.discard();
    else
        download.file.close();
    finish(failed.value_or(Outcome::Succeeded));
}

bool InstallerDownload::acceptHeader(Download &download, const HttpHeader &header)
{
    if (!header.contentLength) {
        download.failure = Outcome::ReadFailed;
        return false;
    }
    download.announced = leadingNumber(*header.contentLength);
    download.gaugeMaximum = int(std::min<qint64>(download.announced, INT_MAX));
    download.gaugePosition = 0;
    m_position = 0;
    post([this, maximum = download.gaugeMaximum] { emit lengthAnnounced(maximum); });

    const QString folder = GetDataFolder();
    if (folder.isEmpty()) {
        // Not the root of the file system instead.
        download.failure = Outcome::WriteFailed;
        return false;
    }
    const QString path = folder + QLatin1Char('/') + QLatin1String(InstallerFileName);
    {
        std::lock_guard lock(m_pathMutex);
        m_installerPath = path;
    }
    // An earlier download goes, also when this one then fails.
    const QFileInfo earlier(path);
    if (earlier.exists() || earlier.isSymLink())
        QFile::remove(path);
    // An error page is not to be started as the installer; an installer
    // larger than any real one is not taken in at all.
    if (header.status != 200 || download.announced > maxInstallerSize.load()) {
        download.failure = Outcome::ReadFailed;
        return false;
    }
    // A new file only, the teacher's alone: whatever still stands at the
    // path (a folder, a link planted there) is not written through.
    download.file.setFileName(path);
    if (!download.file.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                            QFile::ReadOwner | QFile::WriteOwner)) {
        download.failure = Outcome::WriteFailed;
        return false;
    }
    download.created = true;
    post([this] { emit writing(); });
    return true;
}

bool InstallerDownload::acceptBody(Download &download, const char *data, qint64 size)
{
    // Nothing beyond the announced length is taken, whatever the transfer
    // hands over: a body that keeps on growing is cut off.
    if (size > download.announced - download.written) {
        download.failure = Outcome::ReadFailed;
        return false;
    }
    if (download.file.write(data, size) != size) {
        download.failure = Outcome::WriteFailed;
        return false;
    }
    download.written += size;
    // The gauge moves by one read's worth, held at its maximum.
    const int maximum = download.gaugeMaximum;
    int &position = download.gaugePosition;
    position = maximum - position <= ReadSize ? maximum : position + int(ReadSize);
    reportProgress(position);
    return true;
}

std::optional<InstallerDownload::Outcome> InstallerDownload::failure(Download &download,
                                                                     HttpEnding ending)
{
    if (download.failure)
        return download.failure;
    switch (ending) {
    case HttpEnding::NoConnection:
        return Outcome::ConnectionFailed;
    case HttpEnding::Stalled:
    case HttpEnding::OutOfTime:
    case HttpEnding::Malformed: // a length in doubt is no length
        return Outcome::ReadFailed;
    default:
        break;
    }
    if (!download.created)
        return Outcome::ConnectionFailed;
    if (!download.file.flush() || download.file.error() != QFile::NoError)
        return Outcome::WriteFailed;
    // A body that broke off is no installer.
    if (download.written != download.announced)
        return Outcome::ReadFailed;
    // Startable by the teacher alone; set on the open file, so nothing
    // planted at the path meanwhile is changed instead.
    if (!download.file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return Outcome::WriteFailed;
    return std::nullopt;
}

void InstallerDownload::reportProgress(int position)
{
    m_position = position;
    if (m_progressPending.exchange(true))
        return; // the waiting report will carry the newest position
    post([this] {
        m_progressPending = false;
        emit progressed(m_position.load());
    });
}

void InstallerDownload::finish(Outcome outcome)
{
    // The outcome is in place before its report can arrive.
    m_succeeded = outcome == Outcome::Succeeded;
    post([this, outcome] { emit finished(outcome); });
}

} // namespace update
