#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>

#include <functional>

namespace eventlog {

// The nine fields of a packet as the dump prints them. The log knows nothing
// of the wire: whoever has a packet fills this in, and the texts are the
// bytes of each field up to its zero byte, borrowed for the call.
struct PacketDump
{
    qint32 packetNo = 0;
    qint32 pass = 0;
    qint32 command = 0;
    qint32 flag = 0;
    qint32 streamSize = 0;
    QByteArrayView bufor;
    QByteArrayView procName;
    QByteArrayView windowTitle;
    quint32 procId = 0;
};

// A count with its Polish noun, as the log's entries say it: "1 pakiet",
// "3 pakiety", "5 pakietów", "22 pakiety", "12 pakietów".
QString counted(qint64 count, const QString &one, const QString &few, const QString &many);

} // namespace eventlog

// The day log: "log/ADMIN_<yyyy-MM-dd>.txt" in the data folder, one block a
// call, CR LF line ends, Windows-1250 text. The day's file stays open between
// entries, so an entry costs one write; a file deleted or moved meanwhile is
// made again by its name, with every entry written since it was last seen in
// place (see settle()).
//
// The block: the timestamp line, "Info: " + text, the nine lines of the
// packet dump when asked for, and "----". The day file is readable by the
// user only.
//
// The log is the teacher's record of what happened: the text fields of the
// dump, which an agent fills, show their control bytes as "\xHH" (see
// visible()), so an agent cannot forge entries with line breaks of its own or
// hide text with a terminal's escape sequences. The caller's text is written
// as it is; a caller that puts an agent's text into it passes it through
// visible() first.
void WriteLog(const QByteArray &text, bool dumpPacket = false,
              const eventlog::PacketDump *packet = nullptr);

namespace eventlog {

// text with every control byte (below 0x20 except TAB, and 0x7F) written as
// "\xHH" with upper-case digits, and a backslash that begins "\x" and two hex
// digits written as "\x5C"; every other byte stays as it is.
QByteArray visible(QByteArrayView text);

// The whole block of one entry as it goes into the file.
QByteArray formatEntry(const QDateTime &now, const QByteArray &text, bool dumpPacket,
                       const PacketDump *packet);
QString fileNameFor(const QDate &date);

// The local clock, replaceable so that tests can stand at midnight.
using Clock = std::function<QDateTime()>;
void setClock(Clock clock);

// Entries that could not be written because the data folder was not to be
// had wait here (at most MaxPendingEntries, oldest dropped first) and go into
// their day files with the next entry that finds the folder.
constexpr int MaxPendingEntries = 1000;
int pendingEntries();

// What the students' agents may cost the day log: once the day's file
// holds dailyBytes, the entries they cause are only counted, and the count
// written once every countIntervalMs. 64 MiB is some ten times what a busy
// day of a class writes (two entries of under a kilobyte a command), and
// far below what a flood would write in a lesson.
struct Limits
{
    qint64 dailyBytes = 64 * 1024 * 1024;
    int countIntervalMs = 60 * 1000;
};
void setLimits(const Limits &limits);

// While one lives, the entries this thread writes are caused by the
// students' agents (what they sent, their connecting and leaving), not by
// the teacher, and are subject to Limits.
class AgentEntries
{
public:
    AgentEntries();
    ~AgentEntries();
    AgentEntries(const AgentEntries &) = delete;
    AgentEntries &operator=(const AgentEntries &) = delete;
};

// Whether entries written since the log last looked at its file wait for
// that look (see settle()).
bool unsettled();

// Makes sure that every entry logged so far stands in the day file by its
// name (or waits for the folder) and closes the file; the next entry opens
// it again. Runs as the program ends; the same look, without the closing,
// is taken by itself a moment after an entry.
void settle();

} // namespace eventlog
