#pragma once

#include "link/processlist.h"

#include <QByteArray>
#include <QList>
#include <QSet>

namespace agentsim {

// The processes one simulated student reports: either the real processes of
// this machine or a made-up Windows-like list, minus those the teacher closed,
// plus those the teacher started. Nothing real is ever closed or started.
class ProcessTable
{
public:
    // number: the student's number from 1; padTo: least length of a made-up list.
    ProcessTable(bool synthetic, int number, int padTo);

    QList<processlist::ProcessEntry> entries() const;
    // True when the process was listed (it is gone from now on).
    bool close(quint32 processId);
    // The new process's id.
    quint32 start(const QByteArray &programName);

private:
    QList<processlist::ProcessEntry> baseEntries() const;

    bool m_synthetic;
    int m_number;
    int m_padTo;
    QList<processlist::ProcessEntry> m_started;
    QSet<quint32> m_closed;
    quint32 m_nextId;
};

// The processes of this machine from /proc: the short name as the name, the
// command line as the description, both in Windows-1250.
QList<processlist::ProcessEntry> machineProcesses();

} // namespace agentsim
