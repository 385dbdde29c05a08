#include "shell/screenfit.h"

#include <QCheckBox>
#include <QEvent>
#include <QLabel>
#include <QPixmap>
#include <QScrollArea>

ScreenFit::ScreenFit(QScrollArea *area, QLabel *label, QCheckBox *actualSize)
    : QObject(area)
    , m_area(area)
    , m_label(label)
    , m_actualSize(actualSize)
{
    m_viewport = area->viewport();
    m_viewport->installEventFilter(this);
    connect(actualSize, &QCheckBox::toggled, this, &ScreenFit::refit);
}

void ScreenFit::show(const QImage &picture)
{
    m_picture = picture;
    refit();
}

bool ScreenFit::eventFilter(QObject *watched, QEvent *event)
{
    // Fitted to the tab as it is when it comes into sight, and as it grows
    // and shrinks.
    // Compared by the pointer kept: the area may be half destroyed.
    if (watched == m_viewport
        && (event->type() == QEvent::Resize || event->type() == QEvent::Show))
        refit();
    return QObject::eventFilter(watched, event);
}

void ScreenFit::refit()
{
    if (m_picture.isNull())
        return;
    const QSize room = m_area->maximumViewportSize();
    // Out of sight the tab has no size of its own yet.
    const bool shrink = !m_actualSize->isChecked() && m_area->isVisible() && !room.isEmpty()
                        && (m_picture.width() > room.width() || m_picture.height() > room.height());
    // The decoder's layout is the screen's own (RGB32): at 100 % no
    // conversion, and a new picture costs one paint of what is in sight.
    const QImage shown
            = shrink ? m_picture.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                     : m_picture;
    m_label->setPixmap(QPixmap::fromImage(shown, Qt::NoFormatConversion));
    m_label->resize(shown.size());
    const QString scale
            = QStringLiteral("%1 %").arg(qRound(100.0 * shown.width() / m_picture.width()));
    m_actualSize->setAccessibleDescription(scale);
}
