#pragma once

#include "platform/neighbours.h"
#include "storage/wakelist.h"

#include <QObject>

#include <functional>

class Classroom;
class Computer;

namespace commands {

// Powers the room on: learns each connected computer's hardware address from
// the system's neighbour table, keeps it in the data folder, and wakes the
// computers known but not connected with the network's magic packet.
class PowerOn : public QObject
{
    Q_OBJECT
public:
    explicit PowerOn(Classroom &classroom, QObject *parent = nullptr);

    // 6 bytes of 0xFF, then the hardware address 16 times.
    static QByteArray magicPacket(const QByteArray &hardwareAddress);
    // The port the magic packet goes to: 9 (discard), as network cards expect.
    static inline quint16 wakePort = 9;

    // Where hardware addresses are looked up: the system's table unless a
    // test gives another.
    using Lookup = std::function<std::optional<platform::Neighbour>(const QString &address)>;
    void setLookup(Lookup lookup) { m_lookup = std::move(lookup); }

    // Looks the computer up and keeps what is found.
    void learn(Computer *computer);

    // Sends the magic packet for every known computer not connected now, to
    // the broadcast address it was seen under and to its last address, with
    // a day-log entry for each. Returns how many computers were woken.
    int wakeAbsent();

    const QList<wakelist::Entry> &known();
    // The message about a damaged list, once, when it was read; then empty.
    QString takeError() { return std::exchange(m_error, QString()); }

private:
    void loadOnce();

    Classroom &m_classroom;
    Lookup m_lookup;
    QList<wakelist::Entry> m_known;
    QString m_error;
    bool m_loaded = false;
};

} // namespace commands
