#pragma once

#include "link/packet.h"
#include "link/streamreception.h"
#include "platform/tcpserver.h"

#include <QByteArray>
#include <QDateTime>
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
    QDateTime outcomeTime;
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

// One connected computer: the list's row, the overview's tile and the poll's
// line all show this record.
struct Computer
{
    platform::ConnectionPtr connection;
    QByteArray address;
    // As its lookup found it: empty until the lookup has ended (see
    // platform/hostnames.h), and what every text that names it shows.
    QByteArray hostName;
    quint16 port = 0;
    ComputerState state;
    Conversation conversation;
    Channel channel;
    Tile tile;
};

// The connected computers in the list's order (by the address text as the
// locale compares it; those of one address in the order they came). Every
// view of the class follows its signals and reads the record it names.
class Roster : public QObject
{
    Q_OBJECT
public:
    enum class Change { Name, State };

    using QObject::QObject;

    const std::vector<Computer> &computers() const { return m_computers; }
    std::vector<Computer> &computers() { return m_computers; }
    int indexOf(const platform::ConnectionPtr &connection) const;
    Computer *computerOf(const platform::ConnectionPtr &connection);

    // Takes the connection into its place; returns the place.
    int add(const platform::ConnectionPtr &connection);
    // Takes the computer out of the list and hands its record over, with
    // whatever it was still asked; left is raised before this returns.
    Computer remove(int index);
    void rename(int index, const QByteArray &hostName);
    // What the console learnt of the computer changed (its state).
    void touch(const platform::ConnectionPtr &connection);

signals:
    void joined(int index);
    // After the computer has left the list; index is where it stood.
    void left(int index);
    void changed(int index, Roster::Change what);

private:
    std::vector<Computer> m_computers;
};
