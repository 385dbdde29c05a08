#pragma once

#include <QDateTime>
#include <QImage>
#include <QList>
#include <QWidget>

class OverviewTile;
class QPushButton;
class QScrollArea;
class QSlider;
class QSpinBox;

// The class at a glance: one tile per computer of the list, in its order,
// each showing a small picture of that student's screen and how fresh it is.
// The view only shows what it is given; the caller asks the computers for
// pictures and scales them down to thumbnailSize() before handing them over,
// so no full screen picture is held here.
class OverviewView : public QWidget
{
    Q_OBJECT
public:
    enum class TileState { Waiting, Current, NoAnswer, Disconnected };
    Q_ENUM(TileState)

    explicit OverviewView(QWidget *parent = nullptr);

    // Tiles mirror the computer list: same order, inserted and removed by place.
    void insertTile(int index, const QString &hostName, const QString &address);
    void removeTile(int index);
    void renameTile(int index, const QString &hostName);
    int tileCount() const;
    // A null thumbnail keeps the picture the tile has; an invalid time then
    // keeps its time too.
    void setTile(int index, TileState state, const QImage &thumbnail, const QDateTime &pictureTime);

    // The largest thumbnail a tile shows at the current zoom without scaling it.
    QSize thumbnailSize() const;
    int intervalSeconds() const;
    void setIntervalSeconds(int seconds);
    QPushButton *saveAllButton() const;

    // The tile at a place of the list, for focusing it or reading what
    // assistive tools read; null outside the list.
    QWidget *tileWidget(int index) const;

    // Where a picture is drawn in an area: as large as fits, its proportions
    // kept, centred.
    static QRect pictureRect(QSize area, QSize picture);

signals:
    void tileClicked(int index);
    void tileDoubleClicked(int index);
    void intervalChanged(int seconds);
    void saveAllRequested();
    // The zoom changed: pictures for the tiles are best scaled to this size.
    void thumbnailSizeChanged(QSize size);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *buildTopBar();
    void connectTile(OverviewTile *tile);
    void setTileWidth(int width);
    void relayout();
    void moveFocus(OverviewTile *from, int columnStep, int rowStep);

    QSlider *m_zoom = nullptr;
    QSpinBox *m_interval = nullptr;
    QPushButton *m_saveAll = nullptr;
    QScrollArea *m_scroll = nullptr;
    QWidget *m_grid = nullptr;
    QList<OverviewTile *> m_tiles;
    int m_columns = 1;
};
