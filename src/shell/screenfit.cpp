#include "shell/screenfit.h"

#include "link/jpegimage.h"

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
    connect(actualSize, &QCheckBox::toggled, this, [this] {
        refit();
        tellBound();
    });
}

void ScreenFit::show(const QImage &picture, QSize fullSize, const QByteArray &jpeg)
{
    m_picture = picture;
    m_fullSize = fullSize.isEmpty() ? picture.size() : fullSize;
    m_jpeg = m_fullSize == picture.size() ? QByteArray() : jpeg;
    refit();
}

QSize ScreenFit::bound() const
{
    return m_actualSize->isChecked() ? QSize() : room();
}

void ScreenFit::fitOutOfSightTo(QWidget *pages)
{
    m_pages = pages;
    pages->installEventFilter(this);
    tellBound();
}

// The room a picture has on the tab; out of sight, the room it had when last
// seen. A picture that comes while the teacher looks at another tab is thus
// decoded and kept at about the size it will be shown at, not at the
// student's full screen: a quarter of the memory for a full-HD one.
QSize ScreenFit::room() const
{
    const QSize inSight = m_area->maximumViewportSize();
    if (m_area->isVisible() && !inSight.isEmpty())
        return inSight;
    if (!m_room.isEmpty())
        return m_room;
    return m_pages && m_pages->isVisible() ? m_pages->size() : QSize();
}

void ScreenFit::tellBound()
{
    if (bound() == m_told)
        return;
    m_told = bound();
    emit boundChanged(m_told);
}

bool ScreenFit::eventFilter(QObject *watched, QEvent *event)
{
    // Fitted to the tab as it is when it comes into sight, and as it grows
    // and shrinks.
    // Compared by the pointer kept: the area may be half destroyed.
    const bool resized = event->type() == QEvent::Resize || event->type() == QEvent::Show;
    if (watched == m_pages && resized && m_room.isEmpty())
        tellBound();
    if (watched == m_viewport && resized) {
        // Out of sight the tab has no size of its own yet; hidden again, it
        // keeps the size it had.
        const QSize room = m_area->maximumViewportSize();
        if (m_area->isVisible() && !room.isEmpty())
            m_room = room;
        refit();
        tellBound();
    }
    return QObject::eventFilter(watched, event);
}

// The picture as large as it came from the student.
const QImage &ScreenFit::whole()
{
    if (m_picture.size() != m_fullSize) {
        const QImage full = jpegimage::decode(m_jpeg);
        if (full.size() == m_fullSize)
            m_picture = full;
        m_fullSize = m_picture.size();
        m_jpeg.clear();
    }
    return m_picture;
}

void ScreenFit::refit()
{
    if (m_picture.isNull())
        return;
    const QSize room = this->room();
    const bool shrink
            = !m_actualSize->isChecked() && !room.isEmpty()
              && (m_fullSize.width() > room.width() || m_fullSize.height() > room.height());
    const QSize fitted = m_fullSize.scaled(room, Qt::KeepAspectRatio);
    // A picture decoded at the tab's size is shown as it came; one smaller
    // than wanted is decoded whole first. The decoder's layout is the
    // screen's own (RGB32): no conversion, and a new picture costs one paint
    // of what is in sight.
    QImage shown;
    if (!shrink)
        shown = whole();
    else if (qAbs(m_picture.width() - fitted.width()) <= 1
             && qAbs(m_picture.height() - fitted.height()) <= 1 && m_picture.width() <= room.width()
             && m_picture.height() <= room.height())
        shown = m_picture;
    else if (m_picture.width() < fitted.width())
        shown = whole().scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    else // to the student's proportions, not those of a picture fitted before
        shown = m_picture.scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    m_label->setPixmap(QPixmap::fromImage(shown, Qt::NoFormatConversion));
    m_label->resize(shown.size());
    const QString scale
            = QStringLiteral("%1 %").arg(qRound(100.0 * shown.width() / m_fullSize.width()));
    m_actualSize->setAccessibleDescription(scale);
}
