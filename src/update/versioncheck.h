#pragma once

#include "update/version.h"

#include <QObject>
#include <QUrl>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

// Reading the version file from the vendor's web server.
namespace update {

struct VersionAnswer
{
    enum Kind {
        Found,        // a 200 answer of at least 8 bytes: file holds them
        NotAvailable, // 404 or 500: the server says it has no version file
        Unreadable,   // any other status, a shorter body, a body broken off
        NoConnection, // the server could not be reached, or fell silent
        Stopped,      // the console is closing
    };
    Kind kind = NoConnection;
    QByteArray file; // at most the first 12 bytes
};

// Runs on the calling worker thread until the answer is known.
VersionAnswer fetchServerVersion(const QUrl &url, const std::atomic<bool> &stop);

// The check whether the vendor's web server offers a newer version. Each
// check runs on a worker of its own, several at once if need be; what it
// finds arrives as signals on the thread this object lives on. A silent
// check (the one at start-up) reports only a newer version.
class VersionCheck : public QObject
{
    Q_OBJECT
public:
    explicit VersionCheck(QObject *parent = nullptr);
    // Stops the checks still running, as stop() does.
    ~VersionCheck() override;

    // Starts a check of the version file at url.
    void start(const QUrl &url, bool silent);
    // Ends every running check and waits for its worker; nothing more is
    // reported for any of them.
    void stop();

signals:
    // The server offers a newer version; serverVersion() holds it.
    void newerVersionFound();
    // The server's version is not newer (a check from the menu only).
    void noNewerVersion();
    // The server could not be asked, or gave an answer that is no version
    // (a check from the menu only).
    void connectionFailed();
    // A check has ended, after whatever it reported; also one that
    // reported nothing.
    void checkEnded();

private:
    void finishCheck(std::thread::id worker, VersionAnswer::Kind answer,
                     const std::optional<Version> &version, bool silent);

    std::atomic<bool> m_stop{false};
    std::mutex m_workersMutex;
    std::vector<std::thread> m_workers;
};

} // namespace update
