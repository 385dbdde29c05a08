#pragma once

#include <QDialog>

#include <atomic>
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
    QLabel *VersionLabel = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *NewVersionLabel = nullptr;
    QLabel *Label3 = nullptr;
    QProgressBar *ProgressBar = nullptr;
    QLabel *StatusLabel = nullptr;
    QPushButton *CloseButton = nullptr;

    void FormShow();
    void CloseButtonClick();

    // Set by the download before it enables the button.
    std::atomic<bool> DownloadSucceeded{false};

signals:
    // Raised on the user-interface thread when a download has ended.
    void downloadFinished(bool succeeded);

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void DownloadInstaller();

    TFMain *m_main;
    std::thread m_worker;
    std::atomic<bool> m_stop{false};
};

extern TFUpdate *FUpdate;
