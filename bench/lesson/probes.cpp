#include "probes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace lesson {

namespace {

const QEvent::Type ProbeType = QEvent::Type(QEvent::registerEventType());

struct ProbeEvent : QEvent
{
    explicit ProbeEvent(std::chrono::steady_clock::time_point at)
        : QEvent(ProbeType)
        , postedAt(at)
    {}
    std::chrono::steady_clock::time_point postedAt;
};

// /proc files tell no size: they are read to their end.
QByteArray readAll(const char *path)
{
    QFile file(QString::fromLatin1(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qint64 statusValue(const QByteArray &status, const QByteArray &key)
{
    for (const QByteArray &line : status.split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

qint64 dumpValue(const QByteArray &block, const QByteArray &key)
{
    const qsizetype at = block.indexOf("\r\n" + key);
    if (at < 0)
        return -1;
    const qsizetype from = at + 2 + key.size();
    return block.mid(from, block.indexOf('\r', from) - from).toLongLong();
}

} // namespace

ProcessFigures readProcess()
{
    const QByteArray status = readAll("/proc/self/status");
    ProcessFigures f;
    f.residentMiB = double(statusValue(status, "VmRSS:")) / 1024.0;
    f.threads = int(statusValue(status, "Threads:"));
    f.descriptors = int(
            QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
    return f;
}

qint64 folderBytes(const QString &folder)
{
    qint64 total = 0;
    for (const QFileInfo &info : QDir(folder).entryInfoList(QDir::Files))
        total += info.size();
    return total;
}

LoggedPackets countLoggedPackets(const QString &folder, qint64 firstOtherNumber)
{
    // "pominięto w dzienniku N pakietów": the words before the number are
    // written in Windows-1250, so only the plain ones are matched.
    static const QRegularExpression leftOut(QStringLiteral("w dzienniku (\\d+)"));
    LoggedPackets counted;
    const QDir dir(folder);
    for (const QString &name : dir.entryList({QStringLiteral("ADMIN_*.txt")}, QDir::Files)) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray all = file.readAll();
        for (qsizetype from = 0, end = 0; from < all.size(); from = end + 6) {
            end = all.indexOf("----\r\n", from);
            if (end < 0)
                end = all.size();
            const QByteArray block = all.mid(from, end - from);
            const qsizetype info = block.indexOf("Info: ");
            if (info < 0)
                continue;
            const QByteArray line = block.mid(info, block.indexOf('\r', info) - info);
            const QRegularExpressionMatch m = leftOut.match(QString::fromLatin1(line));
            if (m.hasMatch()) {
                counted.leftOut += m.captured(1).toLongLong();
                continue;
            }
            if (!line.startsWith("Info: RCV:") || dumpValue(block, "Pass: ") != 48213
                || dumpValue(block, "Command: ") == 2)
                continue;
            ++(dumpValue(block, "Packet NO: ") < firstOtherNumber ? counted.wellBehaved
                                                                  : counted.other);
            if (line.contains("kopia"))
                ++counted.copies;
        }
    }
    return counted;
}

PostedWaitProbe::PostedWaitProbe(int periodMs)
{
    m_thread = std::thread([this, periodMs] { run(periodMs); });
}

PostedWaitProbe::~PostedWaitProbe()
{
    m_stop = true;
    m_thread.join();
    QCoreApplication::removePostedEvents(this, ProbeType);
}

void PostedWaitProbe::run(int periodMs)
{
    while (!m_stop) {
        const Clock::time_point now = Clock::now();
        {
            std::lock_guard lock(m_mutex);
            m_pending.push_back(now);
        }
        QCoreApplication::postEvent(this, new ProbeEvent(now));
        std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
    }
}

bool PostedWaitProbe::event(QEvent *event)
{
    if (event->type() != ProbeType)
        return QObject::event(event);
    const auto *probe = static_cast<ProbeEvent *>(event);
    const double ms
            = std::chrono::duration<double, std::milli>(Clock::now() - probe->postedAt).count();
    std::lock_guard lock(m_mutex);
    if (!m_pending.empty())
        m_pending.pop_front();
    m_worst = std::max(m_worst, ms);
    m_worstEver = std::max(m_worstEver, ms);
    ++m_deliveredCount;
    if (ms > 100)
        ++m_over100;
    return true;
}

double PostedWaitProbe::takeWorst()
{
    std::lock_guard lock(m_mutex);
    double worst = m_worst;
    if (!m_pending.empty())
        worst = std::max(worst,
                         std::chrono::duration<double, std::milli>(Clock::now() - m_pending.front())
                                 .count());
    m_worst = 0;
    return worst;
}

} // namespace lesson
