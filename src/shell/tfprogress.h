#pragma once

#include <QWidget>

class QProgressBar;
class QTimer;

// The wait window: always on top, no title-bar buttons, a progress bar; while
// shown the main window is disabled, and it closes itself after 10 seconds.
class TFProgress : public QWidget
{
    Q_OBJECT
public:
    explicit TFProgress(QWidget *mainWindow, QWidget *parent = nullptr);

    QProgressBar *ProgressBar = nullptr;
    QTimer *Timer1 = nullptr;
    int SecondsLeft = 10;

    static constexpr int CountdownSeconds = 10;

    // Show (non-modal) and Close, as the other parts of the console use them.
    void Show();
    void Close();

    void FormShow();
    void Timer1Timer();
    void FormClose();

    // Progress position with the bar's range applied, for a value beyond int.
    void advance(qint64 by);

    static QString captionFor(int seconds);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QWidget *m_mainWindow;
};
