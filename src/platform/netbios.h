#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

// The computer's own name, asked of the computer itself: a NetBIOS node
// status query. Windows answers it on UDP port 137 whether or not the
// school's name service knows the computer, which in a school it usually
// does not.
namespace netbios {

constexpr quint16 DefaultPort = 137;
// The longest name a workstation can have.
constexpr int NameWidth = 15;

// A node status query for the name "*" with this transaction id.
QByteArray nodeStatusQuery(quint16 transactionId);

// The workstation name (record type 0x00, unique) of a node status answer
// to the query with transactionId: decoded from the OEM code page 852,
// trimmed, only printable characters, at most NameWidth of them. Empty when
// the bytes are no well-formed answer to that query or hold no such name.
// The bytes come from a student's computer: nothing is read outside them.
QString workstationName(QByteArrayView answer, quint16 transactionId);

// Code page 852 to Unicode and back; a character it has no byte for
// becomes "?".
QChar fromCp852(uchar byte);
QByteArray toCp852(QStringView text);

// One name a computer holds, as a node status answer lists it.
struct NameEntry
{
    QByteArray name; // code page 852, padded or cut to NameWidth
    uchar suffix = 0x00;
    bool group = false;
};
// The answer a computer gives to the query with transactionId: what the
// simulator's students say, and what tests start their faults from.
QByteArray nodeStatusAnswer(quint16 transactionId, const QList<NameEntry> &names);

// Asks the computer at address:port and waits for its answer at most
// timeoutMs per attempt. Only an answer from that address and port to the
// query sent counts. Blocks: for a worker thread.
QString askWorkstationName(const QByteArray &address, quint16 port, int timeoutMs, int attempts);

} // namespace netbios
