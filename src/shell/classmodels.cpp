// The class as the window's views read it, from the roster's one model.
#include "shell/classmodels.h"

#include "link/roster.h"
#include "platform/cp1250.h"

ClassOrder::ClassOrder(Roster &roster, QObject *parent)
    : QSortFilterProxyModel(parent)
    , m_roster(roster)
{
    connect(&roster, &Roster::left, this,
            [this](Computer *computer) { m_addressTexts.erase(computer); });
    setSourceModel(&roster);
    setDynamicSortFilter(true);
    // Only a change of this role could move a row; none does (an address
    // never changes), so the other changes pass straight through.
    setSortRole(Roster::AddressRole);
    sort(0);
}

const QString &ClassOrder::addressText(const Computer *computer) const
{
    auto known = m_addressTexts.find(computer);
    if (known == m_addressTexts.end())
        known = m_addressTexts.emplace(computer, cp1250::toUnicode(computer->address)).first;
    return known->second;
}

bool ClassOrder::lessThan(const QModelIndex &left, const QModelIndex &right) const
{
    const Computer *leftComputer = m_roster.computers()[size_t(left.row())];
    const Computer *rightComputer = m_roster.computers()[size_t(right.row())];
    const int byAddress = m_collator.compare(addressText(leftComputer), addressText(rightComputer));
    if (byAddress != 0)
        return byAddress < 0;
    return leftComputer->arrival < rightComputer->arrival;
}

Computer *ClassOrder::computerAt(int row) const
{
    return Roster::computerAt(index(row, 0));
}

int ClassOrder::rowOf(const Computer *computer) const
{
    const int sourceRow = m_roster.rowOf(computer);
    return sourceRow < 0 ? -1 : mapFromSource(m_roster.index(sourceRow)).row();
}

std::vector<Computer *> ClassOrder::computers() const
{
    std::vector<Computer *> ordered;
    ordered.reserve(size_t(rowCount()));
    for (int row = 0; row < rowCount(); ++row)
        ordered.push_back(computerAt(row));
    return ordered;
}

RoleColumns::RoleColumns(const QList<Column> &columns, QObject *parent)
    : QAbstractProxyModel(parent)
    , m_columns(columns)
{}

// Rows come and go as the source's; a change of a row is a change of all
// its columns.
void RoleColumns::setSourceModel(QAbstractItemModel *source)
{
    beginResetModel();
    if (sourceModel())
        sourceModel()->disconnect(this);
    QAbstractProxyModel::setSourceModel(source);
    using M = QAbstractItemModel;
    connect(source, &M::rowsAboutToBeInserted, this,
            [this](const QModelIndex &, int first, int last) { beginInsertRows({}, first, last); });
    connect(source, &M::rowsInserted, this, [this] { endInsertRows(); });
    connect(source, &M::rowsAboutToBeRemoved, this,
            [this](const QModelIndex &, int first, int last) { beginRemoveRows({}, first, last); });
    connect(source, &M::rowsRemoved, this, [this] { endRemoveRows(); });
    connect(source, &M::dataChanged, this, &RoleColumns::forwardDataChanged);
    connect(source, &M::modelAboutToBeReset, this, [this] { beginResetModel(); });
    connect(source, &M::modelReset, this, [this] { endResetModel(); });
    connect(source, &M::layoutAboutToBeChanged, this, &RoleColumns::forwardLayoutAboutToChange);
    connect(source, &M::layoutChanged, this, &RoleColumns::forwardLayoutChanged);
    endResetModel();
}

// Only the columns whose role changed: a change the list does not show
// (a picture, an answer, an outcome) repaints none of it.
void RoleColumns::forwardDataChanged(const QModelIndex &top, const QModelIndex &bottom,
                                     const QList<int> &roles)
{
    static const QList<int> shownRoles{Qt::DisplayRole, Qt::AccessibleTextRole};
    for (int column = 0; column < columnCount(); ++column) {
        if (roles.isEmpty() || roles.contains(m_columns[column].role))
            emit dataChanged(index(top.row(), column), index(bottom.row(), column), shownRoles);
    }
}

// The persistent indexes (the view's current row and selection) follow
// their rows through a new order of the source.
void RoleColumns::forwardLayoutAboutToChange()
{
    emit layoutAboutToBeChanged();
    m_layoutProxy.clear();
    m_layoutSource.clear();
    for (const QModelIndex &proxy : persistentIndexList()) {
        m_layoutProxy << proxy;
        m_layoutSource << mapToSource(proxy);
    }
}

void RoleColumns::forwardLayoutChanged()
{
    for (qsizetype i = 0; i < m_layoutProxy.size(); ++i) {
        const QModelIndex source = m_layoutSource[i];
        changePersistentIndex(m_layoutProxy[i],
                              source.isValid() ? index(source.row(), m_layoutProxy[i].column())
                                               : QModelIndex());
    }
    m_layoutProxy.clear();
    m_layoutSource.clear();
    emit layoutChanged();
}

QModelIndex RoleColumns::index(int row, int column, const QModelIndex &parent) const
{
    if (parent.isValid() || row < 0 || row >= rowCount() || column < 0 || column >= columnCount())
        return {};
    return createIndex(row, column);
}

QModelIndex RoleColumns::parent(const QModelIndex &) const
{
    return {};
}

int RoleColumns::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() || !sourceModel() ? 0 : sourceModel()->rowCount();
}

int RoleColumns::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_columns.size());
}

QModelIndex RoleColumns::mapToSource(const QModelIndex &proxy) const
{
    return proxy.isValid() && sourceModel() ? sourceModel()->index(proxy.row(), 0) : QModelIndex();
}

QModelIndex RoleColumns::mapFromSource(const QModelIndex &source) const
{
    return source.isValid() ? index(source.row(), 0) : QModelIndex();
}

QVariant RoleColumns::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole)
        return mapToSource(index).data(m_columns[index.column()].role).toString();
    return mapToSource(index).data(role);
}

QVariant RoleColumns::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && section >= 0 && section < columnCount()
        && (role == Qt::DisplayRole || role == Qt::AccessibleTextRole))
        return m_columns[section].caption;
    return QAbstractProxyModel::headerData(section, orientation, role);
}
