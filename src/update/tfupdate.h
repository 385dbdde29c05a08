#pragma once

#include "shell/valuelabel.h"
#include "update/installerdownload.h"

#include <QDialog>
#include <QString>

#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;

// The update window: shows the installer's download with a gauge, then
// offers to start it ("Uruchom") or to go back ("Zamknij").
class TFUpdate : public QDialog
{
    Q_OBJECT
public:
    TFUpdate();
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

    // The outcome of the last download; read once the button is enabled.
    bool downloadSucceeded() const;
    // Where the last download saved the installer.
    QString installerPath() const;

    // Starts the downloaded installer as a process of its own; its outcome
    // does not matter, the console closes either way. Tests replace it.
    std::function<void(const QString &program)> startInstaller;

signals:
    // Raised once the window shows how a download has ended.
    void downloadFinished(bool succeeded);
    // The installer has been started and this window has closed: the
    // console is to make way for it without asking.
    void installerStarted();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void showEnd(update::InstallerDownload::Outcome outcome);
    void setButton(const QString &caption, bool enabled);

    update::InstallerDownload *m_download;
};
