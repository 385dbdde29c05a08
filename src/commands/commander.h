#pragma once

#include "commands/commandtable.h"
#include "commands/poll.h"

#include <QObject>

#include <functional>
#include <span>
#include <vector>

class Classroom;
class Computer;

namespace commands {

// Gives the teacher's commands: to the selected computer, or to every listed
// computer one after another as the teacher would select each in turn.
class Commander : public QObject
{
    Q_OBJECT
public:
    explicit Commander(Classroom &classroom, QObject *parent = nullptr);

    // The computers in the order the teacher sees them.
    using Order = std::vector<Computer *>;

    // A new packet of the command with the teacher's choice (for a command
    // whose flag is chosen), then fill's fields, sent to the selected
    // computer, and its outcome reported. An error fill raises sends
    // nothing. True when it went out.
    bool run(const Command &command, int choice,
             const std::function<void(PacketRecord &)> &fill = {});

    // Selects every computer of the order in turn, as it stood when the walk
    // began, and runs the command for it; the last one stays selected. An
    // empty order is the class in the order the computers came.
    // fill writes the command's fields (a program's name, a message's
    // text) into each packet, as for run.
    void runOnAll(const Command &command, int choice, const Order &order = {},
                  const std::function<void(PacketRecord &)> &fill = {});

    // Runs the commands of a series, in turn, for each computer of the order
    // in one walk (one progress, each packet logged as a single command's
    // is): the class locked or released at one click. A computer whose send
    // fails gets no more of the series.
    void runSeriesOnAll(std::span<const Command *const> series, const Order &order = {});

    // Starts a new poll for the computers of the order (as runOnAll) and
    // sends its question to each of them as the message command does; their
    // answers go into it. The teacher's selection stays. A plain message
    // asks nothing: it goes out as the message command to all (runOnAll,
    // each computer selected in turn) and the last poll stays as it was.
    void sendPoll(const QString &question, Poll::Kind kind, const Order &order = {});
    const Poll &poll() const { return m_poll; }

signals:
    // Up before the send to this computer: the answer may come at once.
    void waitRequested(Computer *computer);
    void walkStarted(int steps);
    void walkAdvanced();
    void walkEnded();
    // The walk has selected this computer.
    void computerChosen(Computer *computer);

private:
    void walk(const Order &order, bool selecting, const std::function<void(Computer *)> &visit);
    const Order &orderOr(const Order &order) const;

    Classroom &m_classroom;
    Poll m_poll;
};

} // namespace commands
