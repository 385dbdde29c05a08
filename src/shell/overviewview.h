#pragma once

#include "commands/classoverview.h"
#include "storage/roomplan.h"

#include <QDateTime>
#include <QHash>
#include <QImage>
#include <QList>
#include <QWidget>

class OverviewTile;
class QAbstractItemModel;
class QCheckBox;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QScrollArea;
class QSlider;
class QSpinBox;

// The class at a glance: one tile per computer of the list, in its order,
// each showing a small picture of that student's screen and how fresh it is.
// The view only shows what it is given; the caller asks the computers for
// pictures and scales them down to thumbnailSize() before handing them over,
// so no full screen picture is held here.
//
// By default the tiles are sized so that the whole class fits the visible
// area, never smaller than smallestPictureWidth(); a size the teacher picks
// with the zoom takes over from that, and the grid scrolls.
class OverviewView : public QWidget
{
    Q_OBJECT
public:
    explicit OverviewView(QWidget *parent = nullptr);

    // One tile for each row of the model (the class in the list's order,
    // rows as the roster gives them), kept as the rows come, go and change.
    void setModel(QAbstractItemModel *model);

    // Tiles mirror the computer list: same order, inserted and removed by
    // place. A batch of them (a class connecting) is laid out and put in tab
    // order once, when the event loop next runs.
    void insertTile(int index, const QString &hostName, const QString &address);
    void removeTile(int index);
    void renameTile(int index, const QString &hostName);
    int tileCount() const;
    // A null thumbnail keeps the picture the tile has; an invalid time then
    // keeps its time too.
    void setTile(int index, commands::ClassOverview::TileState state, const QImage &thumbnail,
                 const QDateTime &pictureTime);

    // The largest thumbnail a tile shows at the current zoom without scaling it.
    QSize thumbnailSize() const;
    int intervalSeconds() const;
    void setIntervalSeconds(int seconds);
    QPushButton *saveAllButton() const;
    // The narrowest picture a tile shows: below it a computer's name of the
    // longest the system allows no longer fits under its picture.
    int smallestPictureWidth() const;
    // The size the teacher picks; switches the fitting off.
    void setPictureWidth(int width);
    // Puts a control of the tab's owner at the end of the top bar.
    void addToTopBar(QWidget *control);

    // The answer to the open question a tile of the list shows (none: empty).
    void setAnswer(int index, const QString &answer);

    // The tile at a place of the list, for focusing it or reading what
    // assistive tools read; null outside the list.
    QWidget *tileWidget(int index) const;

    // The room plan ("Układ sali"): tiles stand in the cells of a grid the
    // teacher sizes and drags them to; computers not placed take the first
    // free cells, and one that leaves stays in its cell, greyed, saying when
    // it left. Unshown, the tiles follow the list's order again.
    void setRoomPlan(const roomplan::Plan &plan);
    const roomplan::Plan &roomPlan() const { return m_plan; }
    void setRoomShown(bool shown);
    bool roomShown() const;
    // The cell a tile of the list stands in (-1, -1 outside the plan).
    QPoint cellOf(int index) const;
    // Where a cell is in the grid's own terms, for dropping a tile on it.
    QRect cellRect(QPoint cell) const;
    // The tiles of computers that left, kept in the plan.
    QList<QWidget *> departedTiles() const;
    // The computers connected now, as the top bar counts them.
    int connectedCount() const;

    // Where a picture is drawn in an area: as large as fits, its proportions
    // kept, centred.
    static QRect pictureRect(QSize area, QSize picture);

signals:
    void tileClicked(int index);
    void tileDoubleClicked(int index);
    void intervalChanged(int seconds);
    void saveAllRequested();
    // The tile size changed: pictures for the tiles are best scaled to this size.
    void thumbnailSizeChanged(QSize size);
    void fitToWindowChanged(bool fit);
    void pictureWidthChosen(int width);
    // The teacher moved a computer or resized the room.
    void roomPlanChanged();
    void roomShownChanged(bool shown);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *buildTopBar();
    QWidget *buildRoomBar();
    void countConnected();
    void keepDeparted(OverviewTile *tile);
    void dropDeparted(const QString &key);
    void clearDeparted();
    void tileDropped(OverviewTile *tile, QPoint centre);
    void roomResized();
    QSize arrangeRoom(QSize tile);
    QSize roomShape() const;
    OverviewTile *tileAt(QPoint cell) const;
    void removeTile(int index, bool leaving);
    void insertRows(int first, int last);
    void showRow(int row);
    void rebuild();
    void connectTile(OverviewTile *tile);
    void zoomChanged(int width);
    void applyPictureWidth(int width);
    bool fitsAt(int pictureWidth, QSize area) const;
    int fittingPictureWidth() const;
    void scheduleSettle();
    void settle();
    void relayout();
    void moveFocus(OverviewTile *from, int columnStep, int rowStep);

    QAbstractItemModel *m_model = nullptr;
    QHBoxLayout *m_topBar = nullptr;
    QCheckBox *m_fit = nullptr;
    QSlider *m_zoom = nullptr;
    QSpinBox *m_interval = nullptr;
    QPushButton *m_saveAll = nullptr;
    QScrollArea *m_scroll = nullptr;
    QWidget *m_grid = nullptr;
    QList<OverviewTile *> m_tiles;
    QCheckBox *m_room = nullptr;
    QSpinBox *m_roomColumns = nullptr;
    QSpinBox *m_roomRows = nullptr;
    QLabel *m_connected = nullptr;
    roomplan::Plan m_plan;
    QList<OverviewTile *> m_departed;
    QHash<OverviewTile *, QPoint> m_cells;
    // The room's columns and rows, the ones added below it included.
    QSize m_shape;
    int m_columns = 1;
    int m_pictureWidth = 0;
    bool m_settlePending = false;
    bool m_fitting = false;
};
