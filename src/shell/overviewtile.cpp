#include "shell/overviewtile.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStringList>

#include <utility>

namespace {

// Room for the focus frame around the picture, and between picture and text.
constexpr int frameMargin = 3;
constexpr int textGap = 4;
const QColor emptyPicture(32, 32, 32);

} // namespace

namespace {

// What assistive tools are given of a tile: a button that selects its
// computer, with a second action that opens its picture, since a double
// click is out of their reach.
class TileAccessible : public QAccessibleWidget
{
public:
    explicit TileAccessible(QWidget *tile)
        : QAccessibleWidget(tile, QAccessible::Button)
    {}

    QStringList actionNames() const override
    {
        return QAccessibleWidget::actionNames()
               << pressAction() << OverviewTile::showPictureAction();
    }

    void doAction(const QString &name) override
    {
        auto *tile = static_cast<OverviewTile *>(widget());
        if (name == pressAction())
            emit tile->clicked();
        else if (name == OverviewTile::showPictureAction())
            emit tile->doubleClicked();
        else
            QAccessibleWidget::doAction(name);
    }
};

QAccessibleInterface *tileAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String("OverviewTile") && object && object->isWidgetType())
        return new TileAccessible(static_cast<QWidget *>(object));
    return nullptr;
}

} // namespace

OverviewTile::OverviewTile(const QString &hostName, const QString &address, int pictureWidth,
                           QWidget *parent)
    : QWidget(parent)
    , m_hostName(hostName)
    , m_address(address)
{
    static const bool accessible = (QAccessible::installFactory(tileAccessible), true);
    Q_UNUSED(accessible);
    setFocusPolicy(Qt::StrongFocus);
    setPictureWidth(pictureWidth);
    setAccessibleName(m_hostName.isEmpty() ? m_address : m_hostName);
    // The whole caption, when a small tile shows the name alone.
    setToolTip(title());
    updateTexts();
}

void OverviewTile::setHostName(const QString &hostName)
{
    if (hostName == m_hostName)
        return;
    m_hostName = hostName;
    // Read as the list shows the computer.
    setAccessibleName(m_hostName.isEmpty() ? m_address : m_hostName);
    updateTexts();
    update();
}

QSize OverviewTile::pictureAreaSize(int pictureWidth)
{
    // Most classroom screens are wide; a tall one is shown narrow, not cut.
    return {pictureWidth, pictureWidth * 9 / 16};
}

QSize OverviewTile::tileSize(int pictureWidth, int lineHeight)
{
    const QSize area = pictureAreaSize(pictureWidth);
    return {area.width() + 2 * frameMargin,
            area.height() + textGap + 2 * lineHeight + 2 * frameMargin};
}

void OverviewTile::setPictureWidth(int width)
{
    m_pictureWidth = width;
    setFixedSize(tileSize(width, fontMetrics().height()));
    update();
}

void OverviewTile::setState(State state, const QImage &thumbnail, const QDateTime &pictureTime)
{
    const bool wasGrey = m_state == State::Disconnected;
    m_state = state;
    if (!thumbnail.isNull()) {
        // A caller that hands over a whole screen by mistake must not make
        // thirty tiles hold thirty screens.
        const QSize area = pictureAreaSize(m_pictureWidth);
        m_thumbnail
                = thumbnail.width() > area.width() || thumbnail.height() > area.height()
                          ? thumbnail.scaled(area, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                          : thumbnail;
        m_cache = QPixmap();
    }
    if (!thumbnail.isNull() || pictureTime.isValid())
        m_pictureTime = pictureTime;
    if (wasGrey != (state == State::Disconnected))
        m_cache = QPixmap();
    updateTexts();
    update();
}

QRect OverviewTile::pictureArea() const
{
    return {QPoint(frameMargin, frameMargin), pictureAreaSize(m_pictureWidth)};
}

QString OverviewTile::title() const
{
    if (m_hostName.isEmpty())
        return m_address;
    if (m_address.isEmpty())
        return m_hostName;
    return QStringLiteral("%1 (%2)").arg(m_hostName, m_address);
}

// A small tile drops the address before it cuts the name: the teacher knows
// the room by its computers' names.
QString OverviewTile::caption(int width) const
{
    const QString full = title();
    if (fontMetrics().horizontalAdvance(full) <= width || m_hostName.isEmpty())
        return full;
    return fontMetrics().elidedText(m_hostName, Qt::ElideRight, width);
}

QString OverviewTile::timeText() const
{
    if (m_thumbnail.isNull() || !m_pictureTime.isValid())
        return {};
    return m_pictureTime.toString(QStringLiteral("HH:mm:ss"));
}

QString OverviewTile::stateText() const
{
    switch (m_state) {
    case State::Waiting:
        return QStringLiteral("czekam na obraz");
    case State::Current:
        break;
    case State::NoAnswer:
        return QStringLiteral("brak odpowiedzi");
    case State::Disconnected:
        if (m_leftAt.isValid())
            return QStringLiteral("rozłączony o %1")
                    .arg(m_leftAt.toString(QStringLiteral("HH:mm")));
        return QStringLiteral("rozłączony");
    }
    return {};
}

void OverviewTile::updateTexts()
{
    QStringList parts;
    if (const QString state = stateText(); !state.isEmpty())
        parts << state;
    if (const QString time = timeText(); !time.isEmpty())
        parts << QStringLiteral("obraz z %1").arg(time);
    if (!m_answer.isEmpty())
        parts << QStringLiteral("odpowiedź: %1").arg(m_answer);
    const QString description
            = parts.isEmpty() ? QStringLiteral("brak obrazu") : parts.join(QStringLiteral(", "));
    // Each change is announced to assistive tools: a new picture in the
    // same second announces nothing.
    if (description != accessibleDescription())
        setAccessibleDescription(description);
}

const QPixmap &OverviewTile::scaledPicture(QSize size)
{
    if (m_cache.isNull() || m_cache.deviceIndependentSize().toSize() != size) {
        const qreal ratio = devicePixelRatioF();
        // A disconnected computer's last picture stays, greyed: it is old.
        const QImage source = m_state == State::Disconnected
                                      ? m_thumbnail.convertToFormat(QImage::Format_Grayscale8)
                                      : m_thumbnail;
        m_cache = QPixmap::fromImage(
                source.scaled(size * ratio, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
        m_cache.setDevicePixelRatio(ratio);
    }
    return m_cache;
}

void OverviewTile::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect area = pictureArea();
    painter.fillRect(area, emptyPicture);
    if (!m_thumbnail.isNull()) {
        const QRect target = OverviewView::pictureRect(area.size(), m_thumbnail.size())
                                     .translated(area.topLeft());
        if (m_state == State::Disconnected)
            painter.setOpacity(0.7);
        painter.drawPixmap(target.topLeft(), scaledPicture(target.size()));
        painter.setOpacity(1.0);
    }
    paintAnswer(painter, area);

    // The texts keep full contrast: greyed text is hard to read, and the
    // state already says the computer is gone.
    painter.setPen(palette().color(QPalette::WindowText));
    const int lineHeight = fontMetrics().height();
    QRect line(area.left(), area.bottom() + 1 + textGap, area.width(), lineHeight);
    painter.drawText(line, Qt::AlignLeft | Qt::AlignVCenter, caption(line.width()));
    QStringList status;
    if (const QString time = timeText(); !time.isEmpty())
        status << time;
    if (const QString state = stateText(); !state.isEmpty())
        status << state;
    line.translate(0, lineHeight);
    painter.drawText(line, Qt::AlignLeft | Qt::AlignVCenter,
                     fontMetrics().elidedText(status.join(QStringLiteral(" · ")), Qt::ElideRight,
                                              line.width()));

    if (hasFocus()) {
        painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
    }
}

void OverviewTile::setAnswer(const QString &answer)
{
    if (answer == m_answer)
        return;
    m_answer = answer;
    // The whole answer, however little of it the tile has room for.
    setToolTip(m_answer.isEmpty() ? title()
                                  : QStringLiteral("%1\nOdpowiedź: %2").arg(title(), m_answer));
    updateTexts();
    update();
}

// A band across the picture's foot: read from the back of the room.
void OverviewTile::paintAnswer(QPainter &painter, const QRect &area)
{
    if (m_answer.isEmpty())
        return;
    const int height = fontMetrics().height() + 4;
    const QRect band(area.left(), area.bottom() + 1 - height, area.width(), height);
    painter.fillRect(band, QColor(0, 0, 0, 190));
    painter.setPen(Qt::white);
    // One line: a typed answer's line breaks are a student's, not the tile's.
    QString line = m_answer;
    line.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    painter.drawText(band.adjusted(4, 0, -4, 0), Qt::AlignLeft | Qt::AlignVCenter,
                     fontMetrics().elidedText(line, Qt::ElideRight, band.width() - 8));
}

void OverviewTile::setDeparted(const QDateTime &leftAt)
{
    m_leftAt = leftAt;
    setFocusPolicy(Qt::NoFocus);
    setState(State::Disconnected, QImage(), QDateTime());
}

void OverviewTile::setMovable(bool movable)
{
    m_movable = movable;
    setCursor(movable ? Qt::OpenHandCursor : Qt::ArrowCursor);
}

void OverviewTile::mousePressEvent(QMouseEvent *event)
{
    m_pressed = event->button() == Qt::LeftButton;
    m_dragging = false;
    m_pressAt = mapToParent(event->position().toPoint());
    m_startPos = pos();
    QWidget::mousePressEvent(event);
}

void OverviewTile::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_movable || !m_pressed || !(event->buttons() & Qt::LeftButton))
        return QWidget::mouseMoveEvent(event);
    const QPoint at = mapToParent(event->position().toPoint());
    if (!m_dragging && (at - m_pressAt).manhattanLength() < QApplication::startDragDistance())
        return;
    m_dragging = true;
    raise();
    move(m_startPos + at - m_pressAt);
}

void OverviewTile::mouseReleaseEvent(QMouseEvent *event)
{
    m_pressed = false;
    if (std::exchange(m_dragging, false)) {
        emit dropped(geometry().center());
        return;
    }
    // A press dragged off the tile is taken back, as on a button.
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
}

void OverviewTile::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        emit doubleClicked();
}

void OverviewTile::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Left:
        emit stepRequested(-1, 0);
        break;
    case Qt::Key_Right:
        emit stepRequested(1, 0);
        break;
    case Qt::Key_Up:
        emit stepRequested(0, -1);
        break;
    case Qt::Key_Down:
        emit stepRequested(0, 1);
        break;
    case Qt::Key_Enter:
    case Qt::Key_Return:
        emit clicked();
        break;
    case Qt::Key_Space: // as a double click
        emit doubleClicked();
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}

void OverviewTile::focusInEvent(QFocusEvent *event)
{
    QWidget::focusInEvent(event);
    update();
}

void OverviewTile::focusOutEvent(QFocusEvent *event)
{
    QWidget::focusOutEvent(event);
    update();
}
