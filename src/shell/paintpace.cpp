#include "shell/paintpace.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include <algorithm>

PaintPace::PaintPace(QWidget *window, bool oncePerFrame)
    : QObject(window)
    , m_window(window)
    , m_oncePerFrame(oncePerFrame)
{
    m_clock.start();
    window->installEventFilter(this);
}

bool PaintPace::eventFilter(QObject *watched, QEvent *event)
{
    // The toolkit paints a window's dirty parts when the window gets an
    // update request; until then the parts stay marked and no further
    // request is made, so holding one back loses nothing.
    if (watched != m_window || event->type() != QEvent::UpdateRequest)
        return false;

    const qint64 now = m_clock.nsecsElapsed();
    m_creditNs = std::min(FrameNs, m_creditNs + (now - m_lastNs) / PauseFactor);
    m_lastNs = now;
    const qint64 frameLeftNs = m_oncePerFrame ? m_paintedNs + FrameNs - now : 0;
    if (m_creditNs < 0 || frameLeftNs > 0) {
        if (!m_deferred) {
            m_deferred = true;
            const qint64 waitNs
                    = std::min(FrameNs, std::max(-m_creditNs * PauseFactor, frameLeftNs));
            QTimer::singleShot(std::max(1, int((waitNs + 999'999) / 1'000'000)), Qt::PreciseTimer,
                               this, [this] {
                                   m_deferred = false;
                                   // Whatever the account says by then, the
                                   // window waits no longer than this.
                                   m_creditNs = std::max<qint64>(m_creditNs, 0);
                                   m_paintedNs = std::min(m_paintedNs,
                                                          m_clock.nsecsElapsed() - FrameNs);
                                   QCoreApplication::postEvent(m_window,
                                                               new QEvent(QEvent::UpdateRequest),
                                                               Qt::LowEventPriority);
                               });
        }
        return true;
    }
    // Painted here, to learn how long a paint of this window takes.
    m_paintedNs = now;
    static_cast<QObject *>(m_window)->event(event);
    const qint64 done = m_clock.nsecsElapsed();
    m_creditNs -= done - now;
    m_lastNs = done;
    return true;
}

PacedLine::PacedLine(QWidget *parent)
    : QLineEdit(parent)
{
    m_frame.setSingleShot(true);
    connect(&m_frame, &QTimer::timeout, this, &PacedLine::showLatest);
    // A text set past the pace (through QLineEdit, or typed) is shown
    // already, and is the latest.
    connect(this, &QLineEdit::textChanged, this, [this](const QString &text) {
        if (m_announcing)
            return;
        m_latest = text;
        m_frame.stop();
        showFromStart();
    });
}

// setText leaves the cursor at the end, which scrolls a long text to its
// tail. A new text is shown from its start, unless the teacher is typing in
// the field.
void PacedLine::showFromStart()
{
    if (isReadOnly() || !hasFocus())
        setCursorPosition(0);
}

void PacedLine::setText(const QString &text)
{
    if (text == m_latest)
        return;
    m_latest = text;
    if (!m_frame.isActive()) {
        const qint64 frameMs = PaintPace::FrameNs / 1'000'000;
        m_frame.start(m_shown.isValid() ? int(std::max<qint64>(0, frameMs - m_shown.elapsed()))
                                        : 0);
    }
    m_announcing = true;
    emit textChanged(text);
    m_announcing = false;
}

void PacedLine::showLatest()
{
    // Told already: the text shown now is no news to anyone.
    const bool wasBlocked = blockSignals(true);
    QLineEdit::setText(m_latest);
    showFromStart();
    blockSignals(wasBlocked);
    m_shown.start();
}
