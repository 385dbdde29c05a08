#pragma once

#include "link/packet.h"
#include "link/streamreception.h"
#include "platform/tcpserver.h"

#include <QAbstractListModel>
#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>

#include <memory>
#include <vector>

// What the console last learnt of one computer, with when it learnt it.
struct ComputerState
{
    // The latest screen picture as the agent sent it (JPEG bytes up to its
    // end marker); empty when it was too large to keep or was let go for
    // newer pictures of other computers.
    QByteArray picture;
    QDateTime pictureTime;
    // The latest answer to a message, as the answer field shows it.
    QString answer;
    QDateTime answerTime;
    // The outcome line of the latest command sent to it.
    QString outcome;
    // The latest picture fitted into the class overview's tile.
    QImage thumbnail;
};

// The console's side of the conversation with one connection: what its
// packets are checked against and whether the teacher spoke to it. One
// computer's packets never decide how another's are taken.
struct Conversation
{
    // The number of the last packet accepted from this connection; its next
    // packet with the same number is a copy.
    qint32 lastAcceptedNo = 0;
    // The last packet read from it: what a text that leaves out fields is
    // read onto.
    PacketRecord received;
    // When the teacher's latest command went to it (ms on the classroom's
    // clock; -1: never): only then is a status it sends shown.
    qint64 commandedAt = -1;
    // When the teacher's question (yes/no or typed, a poll's too) went to
    // it and has not been answered yet; -1: none.
    qint64 questionAt = -1;
};

// What is asked of one computer and not answered yet, and what it sends
// beyond that: all of it ends when the computer leaves.
struct Channel
{
    // Bytes of a stream nobody asked for, still to be read off.
    qint64 dropLeft = 0;
    qint64 dropLastBytesAt = 0;
    qint64 unaskedReportedAt = -1;
    // The stream being received from it; while there is one, it alone
    // reads the connection.
    std::unique_ptr<StreamReception> reception;
    // The overview's picture requests, in the order asked: a computer
    // answers in the order it was asked.
    struct Glance
    {
        QSize bound;
        QDateTime askedAt;
    };
    std::vector<Glance> glances;
};

// The class overview's tile of one computer: what it shows, when the
// overview last asked the computer for its screen, and when the teacher's
// latest wait for it ended (began, while it lasts).
struct Tile
{
    enum class State { Waiting, Current, NoAnswer, Disconnected };
    State state = State::Waiting;
    qint64 askedAt = -1;   // ms on the overview's clock; -1: never
    qint64 teacherAt = -1; // ditto
    // Requests in a row that brought no picture: each doubles the wait
    // before the next one, up to a bound.
    int failures = 0;
};

// One connected computer: the link to it and all the console knows of it.
// It is the unit the console acts on: the selection, a walk over the class
// and every signal about a computer name this object, never a list place.
// It lives while its connection is listed and is deleted soon after it has
// left (QPointer tells whether it still stands).
class Computer : public QObject
{
    Q_OBJECT
public:
    Computer(const platform::ConnectionPtr &connection, quint64 arrival, QObject *parent);

    const platform::ConnectionPtr connection;
    const QByteArray address;
    const quint16 port;
    // In the order of coming: tells computers of one address apart.
    const quint64 arrival;
    // As its lookup found it: empty until the lookup has ended (see
    // platform/hostnames.h), and what every text that names it shows.
    QByteArray hostName;
    ComputerState state;
    Conversation conversation;
    Channel channel;
    Tile tile;

    bool isOpen() const { return connection && connection->isOpen(); }
    // The name as the list shows it: the host name, or the address while
    // none is known.
    QString shownName() const;
    // What the overview's tile shows of it: a closed connection shows it.
    Tile::State tileState() const;
};

// The class: every connected computer, one row each, in the order they came.
// The views show it in the order they choose (the address order is the
// window's); its signals name the computer, and its rows carry what the list,
// the tiles and the poll show.
class Roster : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Role {
        ComputerRole = Qt::UserRole + 1, // Computer * as QObject *
        AddressRole,                     // QString
        NameRole,                        // QString, empty while unknown
        PortRole,                        // int
        ArrivalRole,                     // qulonglong
        TileStateRole,                   // int (Tile::State)
        ThumbnailRole,                   // QImage
        PictureTimeRole,                 // QDateTime
        AnswerRole,                      // QString
        OutcomeRole,                     // QString
    };

    using QAbstractListModel::QAbstractListModel;
    ~Roster() override;

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    static Computer *computerAt(const QModelIndex &index);

    // In the order they came.
    const std::vector<Computer *> &computers() const { return m_computers; }
    // In constant time; null when the connection is not listed.
    Computer *computerOf(const platform::ConnectionPtr &connection) const;
    int rowOf(const Computer *computer) const;

    // Takes the connection in as the last row.
    Computer *add(const platform::ConnectionPtr &connection);
    // Takes the computer out; left is raised before this returns, and the
    // object is deleted once the event loop runs again.
    void remove(Computer *computer);
    void rename(Computer *computer, const QByteArray &hostName);
    // What the console learnt of the computer changed: the roles given
    // (its tile's, its answer, its outcome), or all of them.
    void touch(Computer *computer, const QList<int> &roles = {});
    static const QList<int> &tileRoles();

signals:
    void joined(Computer *computer);
    // After its row has gone.
    void left(Computer *computer);
    void renamed(Computer *computer);
    void changed(Computer *computer);

private:
    std::vector<Computer *> m_computers;
    QHash<const platform::Connection *, Computer *> m_byConnection;
    // The arrival of each listed computer, read without touching the
    // object: a caller may ask about one that has left and gone.
    QHash<const Computer *, quint64> m_arrivalOf;
    quint64 m_arrivals = 0;
};
