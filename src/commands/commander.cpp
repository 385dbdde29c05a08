#include "commands/commander.h"

#include "commands/poll.h"
#include "link/classroom.h"
#include "platform/cp1250.h"

#include <memory>
#include <vector>

namespace commands {

Commander::Commander(Classroom &classroom, QObject *parent)
    : QObject(parent)
    , m_classroom(classroom)
{
    // The record still holds the answer when its report comes.
    connect(&classroom, &Classroom::answerReceived, this,
            [this](const platform::ConnectionPtr &connection) {
                m_poll.record(connection, m_classroom.CurrentPacket);
            });
    connect(&classroom, &Classroom::computerRenamed, this, [this](int index) {
        const Computer &computer = m_classroom.computers()[size_t(index)];
        m_poll.rename(computer.connection, cp1250::toUnicode(computer.hostName));
    });
}

// The command goes into the record before the lookup, whether or not a
// connection is then found.
bool Commander::run(const Command &command, int choice,
                    const std::function<void(PacketRecord &)> &fill)
{
    Classroom &room = m_classroom;
    prepare(room.CurrentPacket, command, choice);
    if (fill)
        fill(room.CurrentPacket);
    if (!room.FindSelectedConnection()) {
        if (reportsOutcome(command))
            room.showStatus(notFoundText());
        return false;
    }
    if (command.showsWait)
        emit waitRequested();
    const platform::ConnectionPtr socket = room.CurrentSocket;
    const bool sent = room.SendPacket(socket, room.CurrentPacket);
    if (!reportsOutcome(command))
        return sent;
    // The name as it stands after the send, which may have closed the connection.
    const QString host = socket ? cp1250::toUnicode(socket->peerHostName()) : QString();
    const QString outcome = outcomeText(command, sent, host);
    if (Computer *computer = room.computerOf(socket)) {
        computer->state.outcome = outcome;
        computer->state.outcomeTime = QDateTime::currentDateTime();
    }
    room.showStatus(outcome);
    return sent;
}

// The computers are walked as they stood when the walk began: a send that
// closes its connection (the time-out after a partial send) removes a
// computer during the walk, and walking by place would then skip the next.
void Commander::walk(int steps, bool selecting, const std::function<void(int)> &visit)
{
    std::vector<std::weak_ptr<platform::Connection>> walked;
    walked.reserve(size_t(steps));
    for (const Computer &computer : m_classroom.computers())
        walked.push_back(computer.connection);
    emit walkStarted(steps);
    for (int i = 0; i < steps; ++i) {
        const platform::ConnectionPtr connection = walked[size_t(i)].lock();
        const int index = connection ? m_classroom.indexOf(connection) : -1;
        if (index >= 0) {
            if (selecting) {
                m_classroom.select(m_classroom.computers()[size_t(index)].address);
                emit computerChosen(index);
            }
            visit(index);
        } else {
            // It has left the list.
            m_classroom.showStatus(notFoundText());
        }
        emit walkAdvanced();
    }
    emit walkEnded();
}

void Commander::runOnAll(const Command &command, int choice)
{
    walk(int(m_classroom.computers().size()), true, [&](int) { run(command, choice); });
}

void Commander::sendPoll(const QString &question, Poll::Kind kind)
{
    QList<Poll::Computer> polled;
    for (const Computer &computer : m_classroom.computers())
        polled.append({computer.connection, cp1250::toUnicode(computer.hostName),
                       cp1250::toUnicode(computer.address)});
    m_poll.start(question, kind, polled);
    int sent = 0;
    Classroom &room = m_classroom;
    // The teacher's selection stays: each question goes to its own connection.
    walk(int(polled.size()), false, [&](int index) {
        // Each to its own connection: the answers are filed by connection,
        // even from computers that share an address.
        room.CurrentSocket = room.computers()[size_t(index)].connection;
        prepare(room.CurrentPacket, Message, 0);
        m_poll.fillPacket(room.CurrentPacket);
        sent += room.SendPacket(room.CurrentSocket, room.CurrentPacket);
    });
    m_poll.logSent(sent);
}

} // namespace commands
