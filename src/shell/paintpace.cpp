#include "shell/paintpace.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include <algorithm>

PaintPace::PaintPace(QWidget *window)
    : QObject(window)
    , m_window(window)
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
    if (m_creditNs < 0) {
        if (!m_deferred) {
            m_deferred = true;
            const qint64 waitNs = std::min(FrameNs, -m_creditNs * PauseFactor);
            QTimer::singleShot(std::max(1, int((waitNs + 999'999) / 1'000'000)), Qt::PreciseTimer,
                               this, [this] {
                                   m_deferred = false;
                                   // Whatever the account says by then, the
                                   // window waits no longer than this.
                                   m_creditNs = std::max<qint64>(m_creditNs, 0);
                                   QCoreApplication::postEvent(m_window,
                                                               new QEvent(QEvent::UpdateRequest),
                                                               Qt::LowEventPriority);
                               });
        }
        return true;
    }
    // Painted here, to learn how long a paint of this window takes.
    static_cast<QObject *>(m_window)->event(event);
    const qint64 done = m_clock.nsecsElapsed();
    m_creditNs -= done - now;
    m_lastNs = done;
    return true;
}
