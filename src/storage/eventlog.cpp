#include "storage/eventlog.h"

#include "platform/cp1250.h"
#include "platform/files.h"
#include "storage/datafolder.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>

#include <cerrno>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

namespace eventlog {

namespace {

// Guards everything below. Only the user-interface thread logs; the lock is
// never held while the data folder is asked for, since a failed lookup logs
// its own report.
std::mutex stateMutex;
Clock clockOverride;

struct PendingEntry
{
    QDate date;
    QByteArray block;
};
std::deque<PendingEntry> pending;

// An entry is logged with every packet, so the day file stays open between
// entries and an entry costs one write. Whether the file still stands where
// it belongs (not deleted, moved or replaced meanwhile) is looked at once
// per SettleMs rather than at every entry; what was written since the last
// look is kept until then and written again into the file by its name when
// the open one has gone.
constexpr int SettleMs = 50;
constexpr qsizetype MaxUnsettled = 1024 * 1024;

// The day file is reached from the data folder's own descriptor, through
// the log folder's, and never through a link: a link planted at any step is
// refused, as is a day file that is also some other file of the user's.
struct DayFile
{
    platform::Folder data;
    platform::Folder log;
    platform::AppendFile file;
    QString folder;
    QString name;
    QDate date;
    QByteArray unsettled;
    bool settleDue = false;
};
DayFile day;

// The students' agents' share of the day: what they cause is logged until
// the day's file holds the cap, then only counted, and the count written
// once an interval. The teacher's own entries always go in.
Limits limits;
thread_local int agentScopes = 0;
qint64 agentEntriesLeftOut = 0;
bool countDue = false;

// Where the data folder is, asked at every entry without a system call: the
// place follows the environment, which does not change under a running
// console but does between tests.
struct FolderCache
{
    std::string dataHome;
    std::string home;
    QString folder;
    bool valid = false;
};
FolderCache folderCache;

QString expectedFolder()
{
    const char *dataHome = std::getenv("XDG_DATA_HOME");
    const char *home = std::getenv("HOME");
    dataHome = dataHome ? dataHome : "";
    home = home ? home : "";
    if (!folderCache.valid || folderCache.dataHome != dataHome || folderCache.home != home)
        folderCache = {dataHome, home, datafolder::folderPath(), true};
    return folderCache.folder;
}

QDateTime now()
{
    std::lock_guard lock(stateMutex);
    if (clockOverride)
        return clockOverride();
    // Local time asks the system for its time zone, a look at the zone file
    // each time: an entry a packet asks once a second, since the stamp
    // shows whole seconds.
    static qint64 lastSecond = -1;
    static QDateTime lastLocal;
    const qint64 second = QDateTime::currentSecsSinceEpoch();
    if (second != lastSecond) {
        lastLocal = QDateTime::fromSecsSinceEpoch(second);
        lastSecond = second;
    }
    return lastLocal;
}

void keep(const QDate &date, const QByteArray &block)
{
    std::lock_guard lock(stateMutex);
    pending.push_back({date, block});
    while (pending.size() > size_t(MaxPendingEntries))
        pending.pop_front();
}

// Under the lock.
void closeDay()
{
    day.file.close();
    day.log = {};
    day.data = {};
    day.folder.clear();
    day.name.clear();
    day.date = {};
    day.unsettled.clear();
    day.settleDue = false;
}

// Opens the day file of date in folder in place of the one open; under the
// lock. False when it cannot be opened: the entry is then lost.
bool openDay(const QString &folder, const QDate &date)
{
    closeDay();
    const QString name = fileNameFor(date);
    // The log is for the teacher's eyes only, and a link in place of the
    // log folder or the day file is not followed: the entry is then lost
    // like any other, and nothing is reported.
    int error = 0;
    day.data = platform::Folder::open(folder, &error);
    if (error == 0)
        day.log = day.data.openClosed(QStringLiteral("log"), &error);
    if (error == 0)
        error = day.file.open(day.log, name);
    if (error != 0) {
        closeDay();
        return false;
    }
    static const bool settledAtExit = [] {
        // While the toolkit is still there, and once more as the program
        // ends, for whatever logged after it.
        if (QCoreApplication::instance())
            qAddPostRoutine(settle);
        std::atexit(settle);
        return true;
    }();
    Q_UNUSED(settledAtExit);
    day.folder = folder;
    day.name = name;
    day.date = date;
    return true;
}

// Under the lock; a torn block stays as it is.
void writeDay(const QByteArray &block)
{
    day.file.write(block);
    day.unsettled += block;
}

bool standsWhereItBelongs()
{
    return day.data.standsAt(day.folder) && day.log.standsIn(day.data, QStringLiteral("log"))
           && day.file.standsIn(day.log, day.name);
}

void settleDay();
bool scheduleSettle();

// Writes the entries that wait for the folder, then block, into the day file
// by its name, opened afresh.
void writeAfresh(const QDate &date, const QByteArray &block)
{
    const QString folder = GetDataFolder();
    if (folder.isEmpty()) {
        // Kept in memory rather than written at the root of the file system.
        keep(date, block);
        return;
    }
    std::unique_lock lock(stateMutex);
    std::deque<PendingEntry> waiting;
    waiting.swap(pending);
    bool fresh = false;
    const auto write = [&](const QDate &when, const QByteArray &bytes) {
        if ((fresh && day.file.isOpen() && day.date == when) || openDay(folder, when))
            writeDay(bytes);
        fresh = true;
    };
    for (const PendingEntry &entry : waiting)
        write(entry.date, entry.block);
    write(date, block);
    if (scheduleSettle()) {
        lock.unlock();
        settleDay();
    }
}

// Looks whether the open day file still stands where it belongs, and if not,
// writes what went into it since the last look into the file by its name.
// An entry may then stand both in the old file and in the new one; none is
// lost.
void settleDay()
{
    QDate date;
    QByteArray again;
    {
        std::lock_guard lock(stateMutex);
        day.settleDue = false;
        if (!day.file.isOpen() || day.unsettled.isEmpty())
            return;
        if (standsWhereItBelongs()) {
            day.unsettled.clear();
            return;
        }
        // Moved by the environment rather than by a hand on the files: the
        // entries went where the folder was when they were written.
        const bool sameFolder = expectedFolder() == day.folder;
        date = day.date;
        again = std::exchange(day.unsettled, {});
        closeDay();
        if (!sameFolder)
            return;
    }
    // A folder that cannot be had is reported by the next entry, as ever;
    // these wait for it.
    datafolder::ReportingScope quiet;
    writeAfresh(date, again);
}

// Under the lock. True when the caller settles at once, after the lock:
// without an event loop to come back to, or with much written unlooked-at.
bool scheduleSettle()
{
    if (!day.file.isOpen())
        return false;
    if (!QAbstractEventDispatcher::instance() || day.unsettled.size() > MaxUnsettled)
        return true;
    if (!day.settleDue) {
        day.settleDue = true;
        QTimer::singleShot(SettleMs, [] { settleDay(); });
    }
    return false;
}

QByteArray entriesText(qint64 count)
{
    return cp1250::fromUnicode(eventlog::counted(
            count, QStringLiteral("wpis"), QStringLiteral("wpisy"), QStringLiteral("wpisów")));
}

// Writes how many of the agents' entries were left out since the last count.
void writeCount()
{
    qint64 count = 0;
    qint64 cap = 0;
    {
        std::lock_guard lock(stateMutex);
        count = std::exchange(agentEntriesLeftOut, 0);
        countDue = false;
        cap = limits.dailyBytes;
    }
    if (count > 0)
        WriteLog(cp1250::fromUnicode(u"pominięto w dzienniku ") + entriesText(count)
                 + cp1250::fromUnicode(u" od komputerów uczniów: dziennik tego dnia ma już ")
                 + (cap % (1024 * 1024) == 0 ? QByteArray::number(cap >> 20) + " MiB"
                                             : QByteArray::number(cap >> 10) + " KiB"));
}

// Under the lock. True when an entry of the agents' dated date is left out:
// that day's file already holds the day's cap.
bool leftOutOverCap(const QDate &date)
{
    if (agentScopes == 0 || !day.file.isOpen() || day.date != date
        || day.file.size() < limits.dailyBytes)
        return false;
    ++agentEntriesLeftOut;
    if (!countDue && QAbstractEventDispatcher::instance()) {
        countDue = true;
        QTimer::singleShot(limits.countIntervalMs, [] { writeCount(); });
    }
    return true;
}

void writeLine(QByteArray &out, const char *label, QByteArrayView value)
{
    out += label;
    out += value;
    out += "\r\n";
}

} // namespace

QByteArray visible(QByteArrayView text)
{
    static constexpr char Hex[] = "0123456789ABCDEF";
    const auto isHex = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    };
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const auto byte = uchar(text[i]);
        // A backslash that would begin what reads as an escaped byte is
        // escaped itself, so typed "\x0D" never passes for a real CR.
        const bool escapeLike = byte == '\\' && i + 3 < text.size() && text[i + 1] == 'x'
                                && isHex(text[i + 2]) && isHex(text[i + 3]);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7F || escapeLike) {
            out += "\\x";
            out += Hex[byte >> 4];
            out += Hex[byte & 0xF];
        } else {
            out += char(byte);
        }
    }
    return out;
}

QString fileNameFor(const QDate &date)
{
    return QStringLiteral("ADMIN_") + date.toString(QStringLiteral("yyyy-MM-dd"))
           + QStringLiteral(".txt");
}

QByteArray formatEntry(const QDateTime &when, const QByteArray &text, bool dumpPacket,
                       const PacketDump *p)
{
    // Entries come many a second; the stamp of one second is made once.
    // (Date and time, not the moment: comparing local moments asks the
    // system for its time zone.)
    static thread_local QDate stampedDay;
    static thread_local QTime stampedTime;
    static thread_local QByteArray stamp;
    const QDate date = when.date();
    const QTime time = when.time();
    if (stamp.isEmpty() || date != stampedDay || time.second() != stampedTime.second()
        || time.minute() != stampedTime.minute() || time.hour() != stampedTime.hour()) {
        stamp = when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toLatin1() + "\r\n";
        stampedDay = date;
        stampedTime = time;
    }
    QByteArray out;
    out.reserve(stamp.size() + text.size() + 512);
    out += stamp;
    writeLine(out, "Info: ", text);
    if (dumpPacket && p) {
        writeLine(out, "Packet NO: ", QByteArray::number(p->packetNo));
        writeLine(out, "Pass: ", QByteArray::number(p->pass));
        writeLine(out, "Command: ", QByteArray::number(p->command));
        writeLine(out, "Flag: ", QByteArray::number(p->flag));
        writeLine(out, "StreamSize: ", QByteArray::number(p->streamSize));
        writeLine(out, "Bufor: ", visible(p->bufor));
        writeLine(out, "ProcName: ", visible(p->procName));
        writeLine(out, "WindowTitle: ", visible(p->windowTitle));
        writeLine(out, "ProcID: ", QByteArray::number(p->procId));
    }
    out += "----\r\n";
    return out;
}

void setClock(Clock clock)
{
    std::lock_guard lock(stateMutex);
    clockOverride = std::move(clock);
}

void setLimits(const Limits &chosen)
{
    std::lock_guard lock(stateMutex);
    limits = chosen;
}

AgentEntries::AgentEntries()
{
    ++agentScopes;
}

AgentEntries::~AgentEntries()
{
    --agentScopes;
}

void settle()
{
    // A failure now is told to no one: at exit no one is left to show it.
    datafolder::ReportingScope quiet;
    writeCount();
    settleDay();
    // The entries that waited for the folder get a last try.
    bool waiting = false;
    {
        std::lock_guard lock(stateMutex);
        waiting = !pending.empty();
    }
    if (waiting) {
        const QString folder = GetDataFolder();
        if (!folder.isEmpty()) {
            std::lock_guard lock(stateMutex);
            std::deque<PendingEntry> entries;
            entries.swap(pending);
            for (const PendingEntry &entry : entries) {
                if ((day.file.isOpen() && day.date == entry.date) || openDay(folder, entry.date))
                    writeDay(entry.block);
            }
        }
    }
    std::lock_guard lock(stateMutex);
    closeDay();
}

bool unsettled()
{
    std::lock_guard lock(stateMutex);
    return !day.unsettled.isEmpty();
}

int pendingEntries()
{
    std::lock_guard lock(stateMutex);
    return int(pending.size());
}

} // namespace eventlog

void WriteLog(const QByteArray &text, bool dumpPacket, const eventlog::PacketDump *packet)
{
    using namespace eventlog;
    // Date and time from one reading, so the timestamp always matches its file.
    const QDateTime when = now();
    {
        std::lock_guard lock(stateMutex);
        if (leftOutOverCap(when.date()))
            return;
    }
    const QByteArray block = formatEntry(when, text, dumpPacket, packet);

    // The report of a failed folder lookup waits for the next entry rather
    // than asking again: every failed lookup gives one entry, not a chain.
    if (datafolder::reportingFailure()) {
        keep(when.date(), block);
        return;
    }
    {
        std::unique_lock lock(stateMutex);
        // The open day file while it is the one this entry belongs in;
        // entries that wait for the folder go first, into files opened
        // afresh.
        if (day.file.isOpen() && pending.empty() && day.date == when.date()
            && expectedFolder() == day.folder) {
            writeDay(block);
            if (scheduleSettle()) {
                lock.unlock();
                settleDay();
            }
            return;
        }
    }
    writeAfresh(when.date(), block);
}

QString eventlog::counted(qint64 count, const QString &one, const QString &few, const QString &many)
{
    const qint64 tens = count % 100;
    const qint64 ones = count % 10;
    const QString &noun = count == 1                                           ? one
                          : ones >= 2 && ones <= 4 && (tens < 12 || tens > 14) ? few
                                                                               : many;
    return QString::number(count) + u' ' + noun;
}
