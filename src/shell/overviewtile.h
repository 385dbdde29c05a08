#pragma once

#include "shell/overviewview.h"

#include <QDateTime>
#include <QImage>
#include <QPixmap>
#include <QWidget>

class QPainter;

// One computer of the class overview: its screen's thumbnail above its name
// and the age of the picture. A tile is a widget of its own so that a new
// picture repaints this tile alone.
class OverviewTile : public QWidget
{
    Q_OBJECT
public:
    using State = commands::ClassOverview::TileState;

    OverviewTile(const QString &hostName, const QString &address, int pictureWidth,
                 QWidget *parent);

    void setPictureWidth(int width);
    void setHostName(const QString &hostName);
    void setState(State state, const QImage &thumbnail, const QDateTime &pictureTime);
    State state() const { return m_state; }
    // The computer's answer to the open question, shown over its picture.
    void setAnswer(const QString &answer);
    QString answer() const { return m_answer; }

    // What the room plan knows the computer by: its name, or its address
    // when it has none.
    QString key() const { return m_hostName.isEmpty() ? m_address : m_hostName; }
    // The computer has left; its tile stays in the room plan, greyed, and
    // says when.
    void setDeparted(const QDateTime &leftAt);
    QDateTime departedAt() const { return m_leftAt; }
    // In the room plan a tile is dragged to its place.
    void setMovable(bool movable);

    // The name of the action that opens the tile's picture, for assistive tools.
    static QString showPictureAction() { return QStringLiteral("Pokaż obraz"); }

    // The size of the picture's area at a width of the tile's picture.
    static QSize pictureAreaSize(int pictureWidth);
    // The whole tile's: the picture with the two lines of text below it.
    static QSize tileSize(int pictureWidth, int lineHeight);

signals:
    void clicked();
    void doubleClicked();
    // The arrow keys: the teacher walks the grid.
    void stepRequested(int columnStep, int rowStep);
    // Let go after a drag: where its centre is now, in the parent's terms.
    void dropped(QPoint centre);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    QRect pictureArea() const;
    QString title() const;
    QString caption(int width) const;
    QString timeText() const;
    QString stateText() const;
    void updateTexts();
    void paintAnswer(QPainter &painter, const QRect &area);
    const QPixmap &scaledPicture(QSize size);

    QString m_hostName;
    QString m_address;
    State m_state = State::Waiting;
    QImage m_thumbnail;
    QDateTime m_pictureTime;
    // The thumbnail as last drawn: painting a tile is a copy, not a scaling.
    QPixmap m_cache;
    int m_pictureWidth = 0;
    QDateTime m_leftAt;
    QString m_answer;
    bool m_movable = false;
    // Where a press began, and where the tile stood then; the tile moves
    // only once the press has travelled the platform's drag distance.
    QPoint m_pressAt;
    QPoint m_startPos;
    bool m_pressed = false;
    bool m_dragging = false;
};
