#pragma once

#include "update/httpget.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

// The installer's download from the vendor's web server into the data
// folder, on a worker thread of its own. Everything it reports arrives as
// signals on the thread this object lives on.
namespace update {

class InstallerDownload : public QObject
{
    Q_OBJECT
public:
    enum class Outcome {
        Succeeded,
        ConnectionFailed, // the server could not be reached
        ReadFailed,       // the answer is no whole installer, or came too slowly
        WriteFailed,      // the file could not be had or written
    };
    Q_ENUM(Outcome)

    explicit InstallerDownload(QObject *parent = nullptr);
    // Stops a download still running: it leaves no file and reports nothing.
    ~InstallerDownload() override;

    // Starts a download from url; one that is still running is stopped
    // first, as by stop().
    void start(const QUrl &url);
    // Ends a running download and waits for its worker; nothing more is
    // reported for it and what it had written is gone.
    void stop();

    // The outcome of the last download, set before its end is reported.
    bool succeeded() const { return m_succeeded.load(); }
    // Where the last download saved the installer.
    QString installerPath() const;

    // The largest read of the installer's body; the gauge moves by this
    // much per read.
    static constexpr qint64 ReadSize = 100;
    // A server cannot hold the download for ever: an installer announced
    // larger than this is refused at once, and a download not over by the
    // deadline fails. Tests set smaller limits.
    static constexpr qint64 MaxInstallerSize = qint64(512) * 1024 * 1024;
    static constexpr std::chrono::minutes DownloadDeadline{10};
    static void setLimits(qint64 maxSize, std::chrono::milliseconds deadline);

signals:
    // The header announced the length: the gauge runs from 0 to maximum.
    void lengthAnnounced(int maximum);
    // The file is created and the body is being written into it.
    void writing();
    // The gauge's newest position. Several reads may come as one report,
    // but the last report before the end holds the last position.
    void progressed(int position);
    void finished(update::InstallerDownload::Outcome outcome);

private:
    struct Download;
    void run(const QUrl &url);
    void transfer(const QUrl &url, Download &download);
    bool acceptHeader(Download &download, const HttpHeader &header);
    bool acceptBody(Download &download, const char *data, qint64 size);
    static std::optional<Outcome> failure(Download &download, HttpEnding ending);
    // Hands an effect to this object's thread, unless the download that
    // posted it has been stopped by then.
    template<typename Effect>
    void post(Effect effect);
    void reportProgress(int position);
    void finish(Outcome outcome);

    std::thread m_worker;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_succeeded{false};
    std::atomic<int> m_generation{0};
    mutable std::mutex m_pathMutex;
    QString m_installerPath;
    // At most one progress report waits to be delivered; it carries the
    // newest position when it is.
    std::atomic<int> m_position{0};
    std::atomic<bool> m_progressPending{false};
};

} // namespace update
