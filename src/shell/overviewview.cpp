#include "shell/overviewview.h"

#include "link/roster.h"
#include "shell/controls.h"
#include "shell/overviewtile.h"

#include <QAbstractItemModel>
#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScrollArea>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace {

// Widths of a tile's picture: from a glance at a full room to reading a
// student's screen without opening it.
constexpr int minPictureWidth = 112;
constexpr int maxPictureWidth = 480;
constexpr int defaultPictureWidth = 240;
constexpr int gridMargin = 8;
constexpr int gridSpacing = 8;

} // namespace

OverviewView::OverviewView(QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(buildTopBar());
    layout->addWidget(buildRoomBar());

    m_scroll = new QScrollArea(this);
    m_scroll->setObjectName(QStringLiteral("OverviewScrollArea"));
    m_scroll->setAccessibleName(QStringLiteral("Ekrany uczniów"));
    // The tiles take the focus; the area scrolls to the focused one.
    m_scroll->setFocusPolicy(Qt::NoFocus);
    m_grid = new QWidget;
    m_scroll->setWidget(m_grid);
    // The grid follows the viewport's width, which the scroll bar changes
    // as well as the window.
    m_scroll->viewport()->installEventFilter(this);
    layout->addWidget(m_scroll, 1);
    m_pictureWidth = m_zoom->value();
}

QWidget *OverviewView::buildTopBar()
{
    auto *bar = new QWidget(this);
    auto *row = m_topBar = new QHBoxLayout(bar);

    m_fit = makeCheckBox(bar, "OverviewFitCheckBox", QStringLiteral("Dopasuj do okna"));
    m_fit->setChecked(true);
    // Unfitted, the tiles keep the size they had: the zoom shows it.
    connect(m_fit, &QCheckBox::toggled, this, [this](bool fit) {
        relayout();
        emit fitToWindowChanged(fit);
    });

    m_zoom = new QSlider(Qt::Horizontal, bar);
    m_zoom->setObjectName(QStringLiteral("OverviewZoomSlider"));
    m_zoom->setRange(smallestPictureWidth(), maxPictureWidth);
    m_zoom->setSingleStep(16);
    m_zoom->setPageStep(80);
    m_zoom->setValue(defaultPictureWidth);
    m_zoom->setAccessibleName(QStringLiteral("Powiększenie:"));
    m_zoom->setAccessibleDescription(QStringLiteral("%1 px").arg(defaultPictureWidth));
    auto *zoomLabel = new QLabel(QStringLiteral("Powiększenie:"), bar);
    zoomLabel->setBuddy(m_zoom);
    connect(m_zoom, &QSlider::valueChanged, this, &OverviewView::zoomChanged);

    m_interval = new QSpinBox(bar);
    m_interval->setObjectName(QStringLiteral("OverviewIntervalSpinBox"));
    m_interval->setRange(1, 60);
    m_interval->setValue(5);
    m_interval->setSuffix(QStringLiteral(" s"));
    m_interval->setAccessibleName(QStringLiteral("Odświeżaj co:"));
    auto *intervalLabel = new QLabel(QStringLiteral("Odświeżaj co:"), bar);
    intervalLabel->setBuddy(m_interval);
    connect(m_interval, &QSpinBox::valueChanged, this, &OverviewView::intervalChanged);

    const QString saveCaption = QStringLiteral("Zapisz wszystkie");
    m_saveAll = new QPushButton(saveCaption, bar);
    m_saveAll->setObjectName(QStringLiteral("SaveAllPicturesButton"));
    m_saveAll->setAccessibleName(saveCaption);
    connect(m_saveAll, &QPushButton::clicked, this, &OverviewView::saveAllRequested);

    row->addWidget(m_fit);
    row->addSpacing(16);
    row->addWidget(zoomLabel);
    row->addWidget(m_zoom, 1);
    row->addSpacing(16);
    row->addWidget(intervalLabel);
    row->addWidget(m_interval);
    row->addStretch(1);
    row->addWidget(m_saveAll);
    return bar;
}

void OverviewView::setModel(QAbstractItemModel *model)
{
    if (m_model)
        m_model->disconnect(this);
    m_model = model;
    using M = QAbstractItemModel;
    connect(model, &M::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) { insertRows(first, last); });
    connect(model, &M::rowsRemoved, this, [this](const QModelIndex &, int first, int last) {
        for (int row = last; row >= first; --row)
            removeTile(row, true);
    });
    // A tile shows its computer's name and picture: an answer or an outcome
    // leaves it alone.
    connect(model, &M::dataChanged, this,
            [this](const QModelIndex &top, const QModelIndex &bottom, const QList<int> &roles) {
                static const QList<int> shown = Roster::tileRoles() + QList<int>{Roster::NameRole};
                if (!roles.isEmpty() && std::none_of(roles.begin(), roles.end(), [](int role) {
                        return shown.contains(role);
                    }))
                    return;
                for (int row = top.row(); row <= bottom.row(); ++row)
                    showRow(row);
            });
    connect(model, &M::layoutChanged, this, &OverviewView::rebuild);
    connect(model, &M::modelReset, this, &OverviewView::rebuild);
    rebuild();
}

void OverviewView::rebuild()
{
    while (!m_tiles.isEmpty())
        removeTile(int(m_tiles.size()) - 1, false);
    if (m_model && m_model->rowCount() > 0)
        insertRows(0, m_model->rowCount() - 1);
}

void OverviewView::insertRows(int first, int last)
{
    for (int row = first; row <= last; ++row) {
        const QModelIndex at = m_model->index(row, 0);
        insertTile(row, at.data(Roster::NameRole).toString(),
                   at.data(Roster::AddressRole).toString());
        showRow(row);
    }
}

// The name, the state and the picture as the class's model has them now.
void OverviewView::showRow(int row)
{
    const QModelIndex at = m_model->index(row, 0);
    renameTile(row, at.data(Roster::NameRole).toString());
    setTile(row, commands::ClassOverview::TileState(at.data(Roster::TileStateRole).toInt()),
            at.data(Roster::ThumbnailRole).value<QImage>(),
            at.data(Roster::PictureTimeRole).toDateTime());
}

void OverviewView::insertTile(int index, const QString &hostName, const QString &address)
{
    index = std::clamp(index, 0, int(m_tiles.size()));
    auto *tile = new OverviewTile(hostName, address, m_pictureWidth, m_grid);
    tile->hide();
    tile->setMovable(roomShown());
    dropDeparted(tile->key());
    connectTile(tile);
    m_tiles.insert(index, tile);
    scheduleSettle();
}

void OverviewView::renameTile(int index, const QString &hostName)
{
    if (index < 0 || index >= m_tiles.size())
        return;
    const QString before = m_tiles[index]->key();
    m_tiles[index]->setHostName(hostName);
    if (m_tiles[index]->key() == before)
        return;
    // Its place in the room goes by its name.
    dropDeparted(m_tiles[index]->key());
    if (roomShown())
        scheduleSettle();
}

void OverviewView::removeTile(int index)
{
    removeTile(index, true);
}

// A computer leaving stays in the room plan; a rebuilt list keeps no one.
void OverviewView::removeTile(int index, bool leaving)
{
    if (index < 0 || index >= m_tiles.size())
        return;
    OverviewTile *tile = m_tiles.takeAt(index);
    // The keyboard stays in the grid, on the tile that took this one's place.
    if (tile->hasFocus() && !m_tiles.isEmpty())
        m_tiles[std::min(index, int(m_tiles.size()) - 1)]->setFocus(Qt::OtherFocusReason);
    if (leaving && roomShown())
        return keepDeparted(tile);
    m_cells.remove(tile);
    tile->disconnect(this);
    tile->hide();
    // The removal may come from a handler of this tile's own click.
    tile->deleteLater();
    scheduleSettle();
}

void OverviewView::scheduleSettle()
{
    if (std::exchange(m_settlePending, true))
        return;
    QMetaObject::invokeMethod(this, &OverviewView::settle, Qt::QueuedConnection);
}

// Once for a whole batch: setting every tile's tab order on each insertion
// made a class connecting cost the square of its size.
void OverviewView::settle()
{
    m_settlePending = false;
    // Tab walks the tiles in the list's order, whatever order they came in.
    QWidget *previous = m_saveAll;
    for (OverviewTile *tile : std::as_const(m_tiles)) {
        QWidget::setTabOrder(previous, tile);
        previous = tile;
    }
    relayout();
    countConnected();
    for (OverviewTile *tile : std::as_const(m_tiles))
        tile->show();
}

int OverviewView::tileCount() const
{
    return m_tiles.size();
}

void OverviewView::setTile(int index, commands::ClassOverview::TileState state,
                           const QImage &thumbnail, const QDateTime &pictureTime)
{
    if (index < 0 || index >= m_tiles.size())
        return;
    using State = commands::ClassOverview::TileState;
    const bool wasConnected = m_tiles[index]->state() != State::Disconnected;
    m_tiles[index]->setState(state, thumbnail, pictureTime);
    if (wasConnected != (state != State::Disconnected))
        countConnected();
}

QSize OverviewView::thumbnailSize() const
{
    return OverviewTile::pictureAreaSize(m_pictureWidth);
}

int OverviewView::intervalSeconds() const
{
    return m_interval->value();
}

void OverviewView::setIntervalSeconds(int seconds)
{
    m_interval->setValue(seconds);
}

QPushButton *OverviewView::saveAllButton() const
{
    return m_saveAll;
}

int OverviewView::smallestPictureWidth() const
{
    // Windows computer names have at most 15 characters.
    return std::max(minPictureWidth,
                    fontMetrics().horizontalAdvance(QStringLiteral("PRACOWNIA-PC-15")));
}

void OverviewView::setPictureWidth(int width)
{
    width = std::clamp(width, m_zoom->minimum(), m_zoom->maximum());
    if (m_zoom->value() == width)
        zoomChanged(width);
    else
        m_zoom->setValue(width);
}

void OverviewView::addToTopBar(QWidget *control)
{
    m_topBar->addWidget(control);
}

QWidget *OverviewView::tileWidget(int index) const
{
    return index >= 0 && index < m_tiles.size() ? m_tiles[index] : nullptr;
}

QRect OverviewView::pictureRect(QSize area, QSize picture)
{
    if (area.isEmpty() || picture.isEmpty())
        return {};
    const QSize fitted = picture.scaled(area, Qt::KeepAspectRatio);
    return {QPoint((area.width() - fitted.width()) / 2, (area.height() - fitted.height()) / 2),
            fitted};
}

bool OverviewView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_scroll->viewport() && event->type() == QEvent::Resize)
        relayout();
    return QWidget::eventFilter(watched, event);
}

void OverviewView::connectTile(OverviewTile *tile)
{
    // A tile learns its place when it speaks: places shift with every
    // insertion and removal before it.
    connect(tile, &OverviewTile::clicked, this, [this, tile] {
        if (const int index = m_tiles.indexOf(tile); index >= 0)
            emit tileClicked(index);
    });
    connect(tile, &OverviewTile::doubleClicked, this, [this, tile] {
        if (const int index = m_tiles.indexOf(tile); index >= 0)
            emit tileDoubleClicked(index);
    });
    connect(tile, &OverviewTile::dropped, this,
            [this, tile](QPoint centre) { tileDropped(tile, centre); });
    connect(tile, &OverviewTile::stepRequested, this,
            [this, tile](int columnStep, int rowStep) { moveFocus(tile, columnStep, rowStep); });
}

// A size the teacher picks overrides the fitting.
void OverviewView::zoomChanged(int width)
{
    if (m_fitting)
        return;
    m_fit->setChecked(false);
    applyPictureWidth(width);
    emit pictureWidthChosen(width);
}

void OverviewView::applyPictureWidth(int width)
{
    m_zoom->setAccessibleDescription(QStringLiteral("%1 px").arg(width));
    if (width != m_pictureWidth) {
        m_pictureWidth = width;
        for (OverviewTile *tile : std::as_const(m_tiles))
            tile->setPictureWidth(width);
        emit thumbnailSizeChanged(thumbnailSize());
    }
    relayout();
}

bool OverviewView::fitsAt(int pictureWidth, QSize area) const
{
    const QSize tile = OverviewTile::tileSize(pictureWidth, m_grid->fontMetrics().height());
    if (roomShown()) {
        const QSize shape = m_shape;
        return 2 * gridMargin + shape.width() * (tile.width() + gridSpacing) - gridSpacing
                       <= area.width()
               && 2 * gridMargin + shape.height() * (tile.height() + gridSpacing) - gridSpacing
                          <= area.height();
    }
    const int columns
            = (area.width() - 2 * gridMargin + gridSpacing) / (tile.width() + gridSpacing);
    if (columns < 1)
        return false;
    const int rows = (std::max(1, int(m_tiles.size())) + columns - 1) / columns;
    return 2 * gridMargin + rows * (tile.height() + gridSpacing) - gridSpacing <= area.height();
}

// The largest picture at which every tile fits the area the scroll bars
// would leave, in as many columns as suit it; the smallest when none does.
int OverviewView::fittingPictureWidth() const
{
    const QSize area = m_scroll->maximumViewportSize();
    const int smallest = smallestPictureWidth();
    for (int width = maxPictureWidth; width > smallest; --width) {
        if (fitsAt(width, area))
            return width;
    }
    return smallest;
}

void OverviewView::relayout()
{
    int width = m_scroll->viewport()->width();
    if (roomShown())
        m_shape = roomShape();
    if (m_fit->isChecked()) {
        const int fitting = fittingPictureWidth();
        const QScopedValueRollback guard(m_fitting, true);
        m_zoom->setValue(fitting);
        if (fitting != m_pictureWidth)
            return applyPictureWidth(fitting);
        // Laid out for the room without scroll bars, so that none is needed.
        if (fitsAt(fitting, m_scroll->maximumViewportSize()))
            width = m_scroll->maximumViewportSize().width();
    }
    if (m_tiles.isEmpty() && m_departed.isEmpty()) {
        m_grid->resize(width, 0);
        return;
    }
    const QSize tile = (m_tiles.isEmpty() ? m_departed : m_tiles).first()->size();
    if (roomShown()) {
        const QSize grid = arrangeRoom(tile);
        m_grid->resize(std::max(width, grid.width()), grid.height());
        return;
    }
    m_columns = std::max(1, (width - 2 * gridMargin + gridSpacing) / (tile.width() + gridSpacing));
    for (int i = 0; i < m_tiles.size(); ++i) {
        const int column = i % m_columns;
        const int row = i / m_columns;
        m_tiles[i]->move(gridMargin + column * (tile.width() + gridSpacing),
                         gridMargin + row * (tile.height() + gridSpacing));
    }
    const int rows = (int(m_tiles.size()) + m_columns - 1) / m_columns;
    // A tile wider than a narrow window scrolls sideways rather than being cut.
    m_grid->resize(std::max(width, 2 * gridMargin + tile.width()),
                   2 * gridMargin + rows * tile.height() + (rows - 1) * gridSpacing);
}

void OverviewView::moveFocus(OverviewTile *from, int columnStep, int rowStep)
{
    const int index = m_tiles.indexOf(from);
    if (roomShown()) {
        OverviewTile *to = tileAt(m_cells.value(from) + QPoint(columnStep, rowStep));
        if (index >= 0 && to) {
            to->setFocus(Qt::OtherFocusReason);
            m_scroll->ensureWidgetVisible(to);
        }
        return;
    }
    const int target = index + columnStep + rowStep * m_columns;
    if (index < 0 || target < 0 || target >= m_tiles.size())
        return;
    m_tiles[target]->setFocus(Qt::OtherFocusReason);
    m_scroll->ensureWidgetVisible(m_tiles[target]);
}
