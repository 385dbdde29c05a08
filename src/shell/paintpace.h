#pragma once

#include <QElapsedTimer>
#include <QLineEdit>
#include <QObject>
#include <QTimer>

// Keeps the painting of a window to a share of the user-interface thread.
// Every accepted packet and every step of a stream's progress changes a
// status line, and the toolkit would repaint the window for each: with an
// agent sending at full speed that is thousands of paints a second, far more
// than a screen shows, costing more than the packets themselves.
//
// Painting earns time as the clock runs (one part for every PauseFactor parts
// of time passed, at most a screen frame's worth saved up) and spends the
// time each paint takes. A repaint that finds the account overdrawn waits
// until it is even again, never longer than a frame; a window paced to
// frames also waits out the frame of its last paint. A window that paints
// seldom therefore paints at once, and a window always ends up showing its
// latest state.
class PaintPace : public QObject
{
public:
    static constexpr qint64 PauseFactor = 4;
    // Both the most time saved up and the longest a repaint waits: one
    // frame of a 60 Hz screen.
    static constexpr qint64 FrameNs = 16'000'000;

    // Watches the window's repaints; owned by the window. oncePerFrame: at
    // most one paint a frame, for a window that changes with every read of
    // a stream however cheap its paint.
    explicit PaintPace(QWidget *window, bool oncePerFrame = false);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *m_window;
    const bool m_oncePerFrame;
    QElapsedTimer m_clock;
    qint64 m_lastNs = 0;
    qint64 m_creditNs = FrameNs;
    qint64 m_paintedNs = -FrameNs;
    bool m_deferred = false;
};

// A one-line field the console writes far more often than a screen shows
// (a line for every packet): each text is the field's text at once, for
// whoever asks (text(), textChanged), but laying a text out costs more than
// the packet it tells of, so the field lays out and shows only the latest,
// at most once a frame, and always the latest in the end.
//
// Only callers that hold the field as a PacedLine are paced; a text set
// through QLineEdit itself is shown at once and becomes the latest.
class PacedLine : public QLineEdit
{
public:
    explicit PacedLine(QWidget *parent = nullptr);

    void setText(const QString &text);
    QString text() const { return m_latest; }

private:
    void showLatest();
    void showFromStart();

    QString m_latest;
    QTimer m_frame;
    QElapsedTimer m_shown;
    bool m_announcing = false;
};
