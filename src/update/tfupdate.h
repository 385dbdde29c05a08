#pragma once

#include "shell/valuelabel.h"
#include "update/httpget.h"

#include <QDialog>
#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

class QLabel;
class QProgressBar;
class QPushButton;
class TFMain;

// The update window: downloads the installer on a worker thread with a
// gauge, then offers to start it ("Uruchom") or to go back ("Zamknij").
class TFUpdate : public QDialog
{
    Q_OBJECT
public:
    explicit TFUpdate(TFMain *mainWindow);
    ~TFUpdate() override;

    QLabel *Label1 = nullptr;
    ValueLabel *VersionLabel = nullptr;
    QLabel *Label2 = nullptr;
    ValueLabel *NewVersionLabel = nullptr;
    QLabel *Label3 = nullptr;
    QProgressBar *ProgressBar = nullptr;
    ValueLabel *StatusLabel = nullptr;
    QPushButton *CloseButton = nullptr;

    void FormShow();
    void CloseButtonClick();

    // Set by the download before it enables the button.
    std::atomic<bool> DownloadSucceeded{false};

    // Where the last download saved the installer; read once the button is
    // enabled.
    QString installerPath() const;

    // Starts the downloaded installer as a process of its own; its outcome
    // does not matter, the console closes either way. Tests replace it.
    std::function<void(const QString &program)> startInstaller;

    // The largest read of the installer's body.
    static constexpr qint64 ReadSize = 100;

    // A server cannot hold the window for ever: an installer announced
    // larger than this is refused at once, and a download not over by the
    // deadline fails. Tests set smaller limits.
    static constexpr qint64 MaxInstallerSize = qint64(512) * 1024 * 1024;
    static constexpr std::chrono::minutes DownloadDeadline{10};
    static void setDownloadLimits(qint64 maxSize, std::chrono::milliseconds deadline);

signals:
    // Raised on the user-interface thread when a download has ended.
    void downloadFinished(bool succeeded);

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    struct Download;
    void DownloadInstaller(const QUrl &url);
    void runDownload(const QUrl &url, Download &download);
    bool acceptHeader(Download &download, const update::HttpHeader &header);
    bool acceptBody(Download &download, const char *data, qint64 size);
    static std::optional<QString> downloadFailure(Download &download, update::HttpEnding ending);
    void postToWindow(std::function<void()> effect);
    void postGaugePosition(int position);
    void finishDownload(bool succeeded, const QString &status);
    void setButton(const QString &caption, bool enabled);

    TFMain *m_main;
    std::thread m_worker;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_pathMutex;
    QString m_installerPath;
    // The gauge follows the download without one event per read.
    std::atomic<int> m_gaugePosition{0};
    std::atomic<bool> m_gaugeUpdatePending{false};
};

extern TFUpdate *FUpdate;
