#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

// The computers the console has seen, with their hardware addresses, kept in
// the data folder so that the room can be powered on while they are off.
namespace wakelist {

struct Entry
{
    QByteArray hardwareAddress; // 6 bytes
    QString address;            // the last IPv4 address it connected from
    QString broadcast;          // of the interface it was seen on; may be empty
    QDateTime seen;
    QString name; // may be empty
};

// A class of 1000 computers at most: the one seen longest ago goes first.
constexpr int MaxEntries = 1000;
constexpr const char *FileName = "komputery.txt";

struct Loaded
{
    QList<Entry> entries;
    // Empty, or the teacher's message: the file was damaged and is kept
    // aside under another name, the list starts anew.
    QString error;
};

// Reads the list from the folder; a missing file is an empty list. A file
// that does not read whole (a line that is no entry, more entries than the
// bound, an unknown first line) is never used nor overwritten: it is renamed
// beside itself and the error says where.
Loaded load(const QString &folder);

// Writes the list in place of the old one, whole or not at all. False when
// it could not be written.
bool save(const QString &folder, const QList<Entry> &entries);

// The list with this computer in it as the last seen: an entry of the same
// hardware address or the same name goes; past the bound, the oldest goes.
QList<Entry> remember(QList<Entry> entries, const Entry &entry);

// "02:00:5E:10:00:01".
QString hardwareText(const QByteArray &hardwareAddress);

} // namespace wakelist
