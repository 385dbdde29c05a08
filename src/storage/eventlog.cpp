#include "storage/eventlog.h"

#include "platform/files.h"
#include "storage/datafolder.h"

#include <QFile>

#include <cerrno>
#include <deque>
#include <mutex>


namespace eventlog {

namespace {

std::mutex stateMutex;
Clock clockOverride;

struct PendingEntry
{
    QDate date;
    QByteArray block;
};
std::deque<PendingEntry> pending;

QDateTime now()
{
    std::lock_guard lock(stateMutex);
    return clockOverride ? clockOverride() : QDateTime::currentDateTime();
}

void keep(const QDate &date, const QByteArray &block)
{
    std::lock_guard lock(stateMutex);
    pending.push_back({date, block});
    while (pending.size() > size_t(MaxPendingEntries))
        pending.pop_front();
}

bool append(const QString &folder, const QDate &date, const QByteArray &block)
{
    // Every packet costs an entry, so an entry costs no more than it must:
    // the folder is looked at only when the file cannot be opened, and the
    // file is written through its descriptor (open, one write, close).
    const QString logFolder = folder + QStringLiteral("/log");
    const QString path = logFolder + QLatin1Char('/') + fileNameFor(date);
    // The log is for the teacher's eyes only, and a link in place of the day
    // file is not followed: the entry is then lost like any other. A torn
    // block stays as it is.
    int error = platform::appendToFile(path, block);
    if (error == ENOENT) {
        // A failure shows when the file does not open.
        platform::makeFolder(logFolder);
        error = platform::appendToFile(path, block);
    }
    return error == 0; // else the entry is lost; nothing is reported
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
    QByteArray out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = uchar(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
            out += "\\x";
            out += Hex[byte >> 4];
            out += Hex[byte & 0xF];
        } else {
            out += c;
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
    QByteArray out;
    out += when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toLatin1();
    out += "\r\n";
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
    const QByteArray block = formatEntry(when, text, dumpPacket, packet);

    // The report of a failed folder lookup waits for the next entry rather
    // than asking again: every failed lookup gives one entry, not a chain.
    if (datafolder::reportingFailure()) {
        keep(when.date(), block);
        return;
    }
    const QString folder = GetDataFolder();
    if (folder.isEmpty()) {
        // Kept in memory rather than written at the root of the file system.
        keep(when.date(), block);
        return;
    }

    std::deque<PendingEntry> waiting;
    {
        std::lock_guard lock(stateMutex);
        waiting.swap(pending);
    }
    for (const PendingEntry &entry : waiting)
        append(folder, entry.date, entry.block);
    append(folder, when.date(), block);
}
