#include "shell/tfprogress.h"

#include <QProgressBar>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>

#include <algorithm>

TFProgress::TFProgress(QWidget *mainWindow, QWidget *parent)
    : QWidget(parent,
              Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
    , m_mainWindow(mainWindow)
{
    setObjectName(QStringLiteral("FProgress"));
    // No accessible name of its own: assistive tools read the caption, which
    // counts down.
    setWindowTitle(captionFor(CountdownSeconds));
    setFixedSize(480, 34);

    ProgressBar = new QProgressBar(this);
    ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
    ProgressBar->setAccessibleName(QStringLiteral("Postęp"));
    ProgressBar->setGeometry(8, 8, 465, 17);
    ProgressBar->setRange(0, 100);
    ProgressBar->setTextVisible(false);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TFProgress::Timer1Timer);
}

QString TFProgress::captionFor(int seconds)
{
    return QStringLiteral("Proszę czekać (%1s)...").arg(seconds);
}

void TFProgress::Show()
{
    if (isVisible()) {
        FormShow(); // showing again restarts the countdown
        return;
    }
    if (const QScreen *screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
    show();
}

void TFProgress::showWhileHeld()
{
    m_held = true;
    Show();
    m_held = false;
}

void TFProgress::Close()
{
    if (isVisible())
        hide();
    else
        FormClose(); // closing a hidden window enables the main window again
}

void TFProgress::FormShow()
{
    SecondsLeft = CountdownSeconds;
    ProgressBar->setValue(0);
    ProgressBar->setMinimum(0);
    if (!m_held)
        disableMainWindow();
    else // runs only once the thread is let go
        QTimer::singleShot(0, this, [this] {
            if (isVisible())
                disableMainWindow();
        });
    Timer1->start();
}

void TFProgress::disableMainWindow()
{
    if (m_mainWindow)
        m_mainWindow->setEnabled(false);
}

void TFProgress::Timer1Timer()
{
    // Each tick shows the seconds as they stood before it, then puts the
    // design caption back unless the window closes now: a window that closed
    // itself keeps "(1s)" until its next showing.
    setWindowTitle(captionFor(SecondsLeft));
    --SecondsLeft;
    if (SecondsLeft <= 0) {
        if (m_mainWindow)
            m_mainWindow->setEnabled(true);
        Close();
        return;
    }
    setWindowTitle(captionFor(CountdownSeconds));
}

void TFProgress::FormClose()
{
    Timer1->stop();
    if (m_mainWindow)
        m_mainWindow->setEnabled(true);
}

void TFProgress::advance(qint64 by)
{
    const qint64 position = qint64(ProgressBar->value()) + by;
    // The bar would repaint itself at once whenever its percentage changes;
    // a stream moves it hundreds of times a second, so it is painted with
    // the window instead, at the window's pace.
    ProgressBar->setUpdatesEnabled(false);
    ProgressBar->setValue(
            int(std::clamp<qint64>(position, ProgressBar->minimum(), ProgressBar->maximum())));
    ProgressBar->setUpdatesEnabled(true);
}

void TFProgress::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TFProgress::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    if (!event->spontaneous())
        FormClose();
}
