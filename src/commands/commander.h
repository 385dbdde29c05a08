#pragma once

#include "commands/commandtable.h"
#include "commands/poll.h"

#include <QObject>

#include <functional>

class Classroom;

namespace commands {

// Gives the teacher's commands: to the selected computer, or to every listed
// computer one after another as the teacher would select each in turn.
class Commander : public QObject
{
    Q_OBJECT
public:
    explicit Commander(Classroom &classroom, QObject *parent = nullptr);

    // Writes the command into the working record, started clean, with the
    // teacher's choice (for a command whose flag is chosen), then fill's
    // fields, then sends it to the selected computer and reports the outcome. An error fill raises
    // leaves the command in the record, unsent.
    // True when it went out.
    bool run(const Command &command, int choice,
             const std::function<void(PacketRecord &)> &fill = {});

    // Selects every listed computer in turn, in the list's order as it stood
    // when the walk began, and runs the command for it.
    void runOnAll(const Command &command, int choice);

    // Starts a new poll for every listed computer and sends its question to
    // each of them as the message command does; their answers go into it.
    void sendPoll(const QString &question, Poll::Kind kind);
    const Poll &poll() const { return m_poll; }

signals:
    // Up before the send: the answer may come at once.
    void waitRequested();
    void walkStarted(int steps);
    void walkAdvanced();
    void walkEnded();
    // The walk has selected the computer at this place of the list.
    void computerChosen(int index);

private:
    void walk(int steps, bool selecting, const std::function<void(int index)> &visit);

    Classroom &m_classroom;
    Poll m_poll;
};

} // namespace commands
