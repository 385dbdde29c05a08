// The class overview's room plan: tiles in the cells of the teacher's grid,
// dragged to their places, and the computers that left kept where they sat.
#include "shell/controls.h"
#include "shell/overviewtile.h"
#include "shell/overviewview.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>

#include <algorithm>

namespace {

constexpr int gridMargin = 8;
constexpr int gridSpacing = 8;

QSpinBox *sideBox(QWidget *bar, const char *name, const QString &caption, int value,
                  QHBoxLayout *row)
{
    auto *box = new QSpinBox(bar);
    box->setObjectName(QLatin1String(name));
    box->setRange(1, roomplan::MaxSide);
    box->setValue(value);
    box->setAccessibleName(caption);
    auto *label = new QLabel(caption, bar);
    label->setBuddy(box);
    row->addWidget(label);
    row->addWidget(box);
    return box;
}

} // namespace

// A row of its own under the top bar: the top bar's width is what the
// window's narrowest width is made of.
QWidget *OverviewView::buildRoomBar()
{
    auto *bar = new QWidget(this);
    auto *row = new QHBoxLayout(bar);
    row->setContentsMargins(row->contentsMargins().left(), 0, row->contentsMargins().right(), 0);
    m_connected = new QLabel(bar);
    m_connected->setObjectName(QStringLiteral("ConnectedCountLabel"));
    m_connected->setAccessibleName(QStringLiteral("Połączone komputery"));
    row->addWidget(m_connected);
    countConnected();
    row->addSpacing(16);

    m_room = makeCheckBox(bar, "RoomPlanCheckBox", QStringLiteral("Układ sali"));
    m_room->setToolTip(QStringLiteral("Kafelki ustawione tak, jak stoją komputery; "
                                      "przeciągnij kafelek na jego miejsce"));
    row->addWidget(m_room);
    m_roomColumns
            = sideBox(bar, "RoomColumnsSpinBox", QStringLiteral("Kolumny:"), m_plan.columns, row);
    m_roomRows = sideBox(bar, "RoomRowsSpinBox", QStringLiteral("Rzędy:"), m_plan.rows, row);
    m_roomColumns->setEnabled(false);
    m_roomRows->setEnabled(false);
    connect(m_room, &QCheckBox::toggled, this, [this](bool shown) {
        m_roomColumns->setEnabled(shown);
        m_roomRows->setEnabled(shown);
        if (!shown)
            clearDeparted();
        for (OverviewTile *tile : std::as_const(m_tiles))
            tile->setMovable(shown);
        m_cells.clear();
        relayout();
        emit roomShownChanged(shown);
    });
    connect(m_roomColumns, &QSpinBox::valueChanged, this, &OverviewView::roomResized);
    connect(m_roomRows, &QSpinBox::valueChanged, this, &OverviewView::roomResized);
    row->addStretch(1);
    return bar;
}

void OverviewView::setRoomPlan(const roomplan::Plan &plan)
{
    m_plan = plan;
    const QSignalBlocker columns(m_roomColumns);
    const QSignalBlocker rows(m_roomRows);
    m_roomColumns->setValue(plan.columns);
    m_roomRows->setValue(plan.rows);
    relayout();
}

void OverviewView::setRoomShown(bool shown)
{
    m_room->setChecked(shown);
}

bool OverviewView::roomShown() const
{
    return m_room && m_room->isChecked();
}

QPoint OverviewView::cellOf(int index) const
{
    return index >= 0 && index < m_tiles.size() ? m_cells.value(m_tiles[index], QPoint(-1, -1))
                                                : QPoint(-1, -1);
}

QRect OverviewView::cellRect(QPoint cell) const
{
    const QSize tile = OverviewTile::tileSize(m_pictureWidth, m_grid->fontMetrics().height());
    return {QPoint(gridMargin + cell.x() * (tile.width() + gridSpacing),
                   gridMargin + cell.y() * (tile.height() + gridSpacing)),
            tile};
}

QList<QWidget *> OverviewView::departedTiles() const
{
    return {m_departed.begin(), m_departed.end()};
}

int OverviewView::connectedCount() const
{
    return int(std::count_if(m_tiles.begin(), m_tiles.end(), [](const OverviewTile *tile) {
        return tile->state() != commands::ClassOverview::TileState::Disconnected;
    }));
}

void OverviewView::countConnected()
{
    const QString count = QString::number(connectedCount());
    m_connected->setText(QStringLiteral("Połączone komputery: %1").arg(count));
    m_connected->setAccessibleDescription(count);
}

// The computer keeps the cell it had: from now on it is placed there.
void OverviewView::keepDeparted(OverviewTile *tile)
{
    const QPoint cell = m_cells.value(tile, QPoint(-1, -1));
    if (!m_plan.places.contains(tile->key()) && m_plan.place(tile->key(), cell))
        emit roomPlanChanged();
    tile->setDeparted(QDateTime::currentDateTime());
    // Computers that come and go under ever new names keep no more tiles
    // than a room holds: the longest gone goes first.
    if (m_departed.size() >= roomplan::MaxComputers)
        dropDeparted(m_departed.first()->key());
    m_departed.append(tile);
    scheduleSettle();
}

// A computer back in the class takes its tile's place again.
void OverviewView::dropDeparted(const QString &key)
{
    for (int i = int(m_departed.size()) - 1; i >= 0; --i) {
        if (m_departed[i]->key() != key)
            continue;
        OverviewTile *tile = m_departed.takeAt(i);
        m_cells.remove(tile);
        tile->disconnect(this);
        tile->hide();
        tile->deleteLater();
        scheduleSettle();
    }
}

void OverviewView::clearDeparted()
{
    while (!m_departed.isEmpty())
        dropDeparted(m_departed.last()->key());
}

void OverviewView::tileDropped(OverviewTile *tile, QPoint centre)
{
    const QSize size = tile->size();
    QPoint cell((centre.x() - gridMargin) / (size.width() + gridSpacing),
                (centre.y() - gridMargin) / (size.height() + gridSpacing));
    cell = {std::clamp(cell.x(), 0, m_plan.columns - 1), std::clamp(cell.y(), 0, m_plan.rows - 1)};
    // Where it stood is its place until now, so that whoever sits in the
    // target cell moves there.
    const QPoint from = m_cells.value(tile, QPoint(-1, -1));
    if (!m_plan.places.contains(tile->key()))
        m_plan.place(tile->key(), from);
    if (m_plan.place(tile->key(), cell))
        emit roomPlanChanged();
    relayout();
}

void OverviewView::roomResized()
{
    m_plan.resize(m_roomColumns->value(), m_roomRows->value());
    relayout();
    emit roomPlanChanged();
}

QSize OverviewView::roomShape() const
{
    QStringList keys;
    for (const OverviewTile *tile : std::as_const(m_tiles))
        keys << tile->key();
    for (const OverviewTile *tile : std::as_const(m_departed))
        keys << tile->key();
    int rows = m_plan.rows;
    for (const QPoint &cell : roomplan::arrange(m_plan, keys))
        rows = std::max(rows, cell.y() + 1);
    return {m_plan.columns, rows};
}

// Puts every tile in its cell; gives the size the grid takes.
QSize OverviewView::arrangeRoom(QSize tile)
{
    QList<OverviewTile *> all = m_tiles + m_departed;
    QStringList keys;
    for (const OverviewTile *t : std::as_const(all))
        keys << t->key();
    const QList<QPoint> cells = roomplan::arrange(m_plan, keys);
    m_cells.clear();
    int rows = m_plan.rows;
    for (int i = 0; i < all.size(); ++i) {
        m_cells.insert(all[i], cells[i]);
        all[i]->move(cellRect(cells[i]).topLeft());
        all[i]->show();
        rows = std::max(rows, cells[i].y() + 1);
    }
    return {2 * gridMargin + m_plan.columns * (tile.width() + gridSpacing) - gridSpacing,
            2 * gridMargin + rows * (tile.height() + gridSpacing) - gridSpacing};
}

void OverviewView::setAnswer(int index, const QString &answer)
{
    if (index >= 0 && index < m_tiles.size())
        m_tiles[index]->setAnswer(answer);
}

OverviewTile *OverviewView::tileAt(QPoint cell) const
{
    for (auto it = m_cells.begin(); it != m_cells.end(); ++it) {
        if (it.value() == cell && m_tiles.contains(it.key()))
            return it.key();
    }
    return nullptr;
}
