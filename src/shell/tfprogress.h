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
    // Shown for work that holds the user-interface thread until it closes
    // the window again (a walk over the class): no input can reach the main
    // window meanwhile, so it is disabled only should the thread be let go
    // while the window stands. Disabling it would tell each of its widgets,
    // and assistive tools with them, twice for a walk of a millisecond.
    void showWhileHeld();

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
    void disableMainWindow();

    QWidget *m_mainWindow;
    bool m_held = false;
};
