#include "commands/commander.h"

#include "commands/poll.h"
#include "link/classroom.h"
#include "platform/cp1250.h"

#include <QPointer>

#include <vector>

namespace commands {

Commander::Commander(Classroom &classroom, QObject *parent)
    : QObject(parent)
    , m_classroom(classroom)
{
    connect(&classroom, &Classroom::answerReceived, this,
            [this](Computer *computer, const PacketRecord &packet) {
                m_poll.record(computer ? Poll::Key(computer->connection) : Poll::Key(), packet);
            });
    connect(&classroom.roster(), &Roster::renamed, this, [this](Computer *computer) {
        m_poll.rename(computer->connection, cp1250::toUnicode(computer->hostName));
    });
}

// The command is made before the lookup, whether or not a connection is
// then found.
bool Commander::run(const Command &command, int choice,
                    const std::function<void(PacketRecord &)> &fill)
{
    Classroom &room = m_classroom;
    PacketRecord packet = prepare(command, choice);
    if (fill)
        fill(packet);
    if (!room.FindSelectedConnection()) {
        if (reportsOutcome(command))
            room.showStatus(notFoundText());
        return false;
    }
    // A send that fails closes the connection, which takes the computer
    // out of the class: it is deleted only once the event loop runs.
    const QPointer<Computer> computer = room.selected();
    if (command.showsWait)
        emit waitRequested(computer);
    const bool sent = room.send(computer, packet);
    if (!reportsOutcome(command) || !computer)
        return sent;
    // The name as it stands after the send, which may have closed the connection.
    const QString outcome
            = outcomeText(command, sent, cp1250::toUnicode(computer->connection->peerHostName()));
    if (room.computerOf(computer->connection) == computer) {
        computer->state.outcome = outcome;
        room.roster().touch(computer, {Roster::OutcomeRole});
    }
    room.showStatus(outcome);
    return sent;
}

const Commander::Order &Commander::orderOr(const Order &order) const
{
    return order.empty() ? m_classroom.computers() : order;
}

// The computers are walked as they stood when the walk began: a send that
// closes its connection removes a computer during the walk, and one that has
// left is not visited.
void Commander::walk(const Order &order, bool selecting,
                     const std::function<void(Computer *)> &visit)
{
    const std::vector<QPointer<Computer>> walked(order.begin(), order.end());
    emit walkStarted(int(walked.size()));
    for (const QPointer<Computer> &computer : walked) {
        if (computer && m_classroom.computerOf(computer->connection) == computer) {
            if (selecting) {
                m_classroom.select(computer);
                emit computerChosen(computer);
            }
            visit(computer);
        } else {
            m_classroom.showStatus(notFoundText());
        }
        emit walkAdvanced();
    }
    emit walkEnded();
}

void Commander::runOnAll(const Command &command, int choice, const Order &order,
                         const std::function<void(PacketRecord &)> &fill)
{
    walk(orderOr(order), true, [&](Computer *) { run(command, choice, fill); });
}

void Commander::runSeriesOnAll(std::span<const Command *const> series, const Order &order)
{
    walk(orderOr(order), true, [&](Computer *) {
        for (const Command *command : series) {
            if (!run(*command, 0))
                break;
        }
    });
}

void Commander::sendPoll(const QString &question, Poll::Kind kind, const Order &order)
{
    if (kind == Poll::Plain) {
        runOnAll(Message, packet::PlainMessage, order, [&question](PacketRecord &packet) {
            packet::setFieldText(packet.Bufor, cp1250::fromUnicode(question));
        });
        return;
    }
    const Order polledOrder = orderOr(order);
    QList<Poll::Computer> polled;
    for (const Computer *computer : polledOrder)
        polled.append({computer->connection, cp1250::toUnicode(computer->hostName),
                       cp1250::toUnicode(computer->address)});
    m_poll.start(question, kind, polled);
    int sent = 0;
    // Each to its own connection: the answers are filed by connection, even
    // from computers that share an address.
    walk(polledOrder, false, [&](Computer *computer) {
        PacketRecord packet = prepare(Message, 0);
        m_poll.fillPacket(packet);
        sent += m_classroom.send(computer, packet);
    });
    m_poll.logSent(sent);
}

} // namespace commands
