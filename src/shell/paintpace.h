#pragma once

#include <QElapsedTimer>
#include <QObject>

class QWidget;

// Keeps the painting of a window to a share of the user-interface thread.
// Every accepted packet and every step of a stream's progress changes a
// status line, and the toolkit would repaint the window for each: with an
// agent sending at full speed that is thousands of paints a second, far more
// than a screen shows, costing more than the packets themselves.
//
// Painting earns time as the clock runs (one part for every PauseFactor parts
// of time passed, at most a screen frame's worth saved up) and spends the
// time each paint takes. A repaint that finds the account overdrawn waits
// until it is even again, never longer than a frame. A window that paints
// seldom therefore paints at once, and a window always ends up showing its
// latest state.
class PaintPace : public QObject
{
public:
    static constexpr qint64 PauseFactor = 4;
    // Both the most time saved up and the longest a repaint waits: one
    // frame of a 60 Hz screen.
    static constexpr qint64 FrameNs = 16'000'000;

    // Watches the window's repaints; owned by the window.
    explicit PaintPace(QWidget *window);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *m_window;
    QElapsedTimer m_clock;
    qint64 m_lastNs = 0;
    qint64 m_creditNs = FrameNs;
    bool m_deferred = false;
};
