// The connected computers, one object each, and the model every view reads.
#include "link/roster.h"

#include "platform/cp1250.h"

#include <QImage>

#include <algorithm>

Computer::Computer(const platform::ConnectionPtr &connection, quint64 arrival, QObject *parent)
    : QObject(parent)
    , connection(connection)
    , address(connection->peerAddress())
    , port(connection->peerPort())
    , arrival(arrival)
    , hostName(connection->peerHostName())
{}

QString Computer::shownName() const
{
    return cp1250::toUnicode(hostName.isEmpty() ? address : hostName);
}

Tile::State Computer::tileState() const
{
    return isOpen() ? tile.state : Tile::State::Disconnected;
}

// Those that left and are not deleted yet go with the roster.
Roster::~Roster() = default;

int Roster::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_computers.size());
}

QVariant Roster::data(const QModelIndex &index, int role) const
{
    if (index.model() != this || index.row() < 0 || index.row() >= int(m_computers.size()))
        return {};
    const Computer *c = m_computers[size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return c->shownName();
    case ComputerRole:
        return QVariant::fromValue(static_cast<QObject *>(const_cast<Computer *>(c)));
    case AddressRole:
        return cp1250::toUnicode(c->address);
    case NameRole:
        return cp1250::toUnicode(c->hostName);
    case PortRole:
        return int(c->port);
    case ArrivalRole:
        return qulonglong(c->arrival);
    case TileStateRole:
        return int(c->tileState());
    case ThumbnailRole:
        return c->state.thumbnail;
    case PictureTimeRole:
        return c->state.pictureTime;
    case AnswerRole:
        return c->state.answer;
    case OutcomeRole:
        return c->state.outcome;
    default:
        return {};
    }
}

QHash<int, QByteArray> Roster::roleNames() const
{
    QHash<int, QByteArray> names = QAbstractListModel::roleNames();
    names.insert({{ComputerRole, "computer"},
                  {AddressRole, "address"},
                  {NameRole, "name"},
                  {PortRole, "port"},
                  {ArrivalRole, "arrival"},
                  {TileStateRole, "tileState"},
                  {ThumbnailRole, "thumbnail"},
                  {PictureTimeRole, "pictureTime"},
                  {AnswerRole, "answer"},
                  {OutcomeRole, "outcome"}});
    return names;
}

const QList<int> &Roster::tileRoles()
{
    static const QList<int> roles{TileStateRole, ThumbnailRole, PictureTimeRole};
    return roles;
}

Computer *Roster::computerAt(const QModelIndex &index)
{
    // Through any proxy: the row's own record says which computer it is.
    return qobject_cast<Computer *>(index.data(ComputerRole).value<QObject *>());
}

Computer *Roster::computerOf(const platform::ConnectionPtr &connection) const
{
    return connection ? m_byConnection.value(connection.get()) : nullptr;
}

// The rows stand in arrival order: a computer is found by its number, as
// often as every command of a group walk asks.
int Roster::rowOf(const Computer *computer) const
{
    const auto listed = m_arrivalOf.constFind(computer);
    if (listed == m_arrivalOf.cend())
        return -1;
    const auto found = std::lower_bound(
            m_computers.begin(), m_computers.end(), *listed,
            [](const Computer *c, quint64 arrival) { return c->arrival < arrival; });
    return found != m_computers.end() && *found == computer ? int(found - m_computers.begin()) : -1;
}

Computer *Roster::add(const platform::ConnectionPtr &connection)
{
    const int row = int(m_computers.size());
    auto *computer = new Computer(connection, ++m_arrivals, this);
    beginInsertRows({}, row, row);
    m_computers.push_back(computer);
    m_byConnection.insert(connection.get(), computer);
    m_arrivalOf.insert(computer, computer->arrival);
    endInsertRows();
    emit joined(computer);
    return computer;
}

void Roster::remove(Computer *computer)
{
    const int row = rowOf(computer);
    if (row < 0)
        return;
    beginRemoveRows({}, row, row);
    m_computers.erase(m_computers.begin() + row);
    m_byConnection.remove(computer->connection.get());
    m_arrivalOf.remove(computer);
    endRemoveRows();
    emit left(computer);
    // A caller up the stack may still hold it (a send that closed its
    // connection): it goes once the event loop runs again.
    computer->deleteLater();
}

void Roster::rename(Computer *computer, const QByteArray &hostName)
{
    if (computer->hostName == hostName)
        return;
    computer->hostName = hostName;
    const QModelIndex at = index(rowOf(computer));
    emit dataChanged(at, at, {Qt::DisplayRole, Qt::AccessibleTextRole, NameRole});
    emit renamed(computer);
}

// A view that shows none of the roles, or an order that depends on none,
// has nothing to do: a group walk touches every computer.
void Roster::touch(Computer *computer, const QList<int> &roles)
{
    const int row = rowOf(computer);
    if (row < 0)
        return;
    emit dataChanged(index(row), index(row), roles);
    emit changed(computer);
}
