#pragma once

// The scripted exchanges of the receive tests: which agent sends what, and
// the numbers a received packet's log entry names.
#include "link/packet.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>

// One packet of a scripted exchange: which agent sends it and what.
struct Step
{
    int agent;
    qint32 pass;
    qint32 number;
    QByteArray bufor;
};
using Steps = QList<Step>;
Q_DECLARE_METATYPE(Steps)

constexpr qint32 Pass = packet::PassValue;

inline QString numbers(int command, int flag, int number)
{
    return QStringLiteral("%1, iFlag: %2, iPacketNo: %3").arg(command).arg(flag).arg(number);
}
