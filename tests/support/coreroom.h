#pragma once

#include "commands/commander.h"
#include "link/classroom.h"
#include "support/samples.h"

#include <QHash>
#include <QStringList>

#include <memory>
#include <vector>

// The console without a window for one test: its own data folder, host names
// in place of the lookup, the classroom listening on a free port of
// 127.0.0.1's machine and the commander giving the teacher's commands. What
// the classroom reports is kept as the window would show it, line by line.
class CoreRoom
{
public:
    explicit CoreRoom(const QHash<QByteArray, QByteArray> &hostNames = {});
    ~CoreRoom();

    TempDataHome data;
    ClassroomNames names;
    Classroom classroom;
    commands::Commander commander{classroom};
    std::vector<std::unique_ptr<TestAgent>> agents;

    // The status line's texts, the receive reports and the answers as the
    // answer field shows them, oldest first.
    QStringList statusLines;
    QStringList receiveLines;
    QStringList answers;

    quint16 port() const { return classroom.MyServer->localPort(); }

    // Connects a new agent from the loopback address (127.0.0.x: each is a
    // peer address of its own) and waits until its computer is listed and
    // its name looked up.
    TestAgent &connectAgent(const QString &address = QStringLiteral("127.0.0.1"));
    // The computer of the agent's connection; null once it has left.
    Computer *computerOf(const TestAgent &agent) const;
    platform::ConnectionPtr connectionOf(const TestAgent &agent) const;
    // As a click on the agent's row.
    void select(const TestAgent &agent) { classroom.select(computerOf(agent)); }
    // The day log's receive entries.
    QList<QByteArray> rcvEntries() const { return logInfos(data, "RCV"); }
};
