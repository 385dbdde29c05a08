#include "storage/wakelist.h"

#include "platform/cp1250.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSaveFile>

namespace wakelist {

namespace {

// The first line names the format, so that a later one can be told apart.
const QByteArray Header = "DOCENTOR KOMPUTERY 1";
constexpr qint64 MaxFileSize = 256 * 1024;
const QString TimeFormat = QStringLiteral("yyyy-MM-ddTHH:mm:ss");

bool isIpv4(const QString &text)
{
    QHostAddress address;
    return address.setAddress(text) && address.protocol() == QAbstractSocket::IPv4Protocol;
}

// "hardware;address;broadcast;seen;name", the name last and in Windows-1250:
// it is a student's computer's own, and may hold anything but a line break.
std::optional<Entry> parseLine(const QByteArray &line)
{
    const QList<QByteArray> fields = line.split(';');
    if (fields.size() < 5)
        return std::nullopt;
    Entry entry;
    entry.hardwareAddress = QByteArray::fromHex(QByteArray(fields.at(0)).replace(':', ""));
    entry.address = QString::fromLatin1(fields.at(1));
    entry.broadcast = QString::fromLatin1(fields.at(2));
    entry.seen = QDateTime::fromString(QString::fromLatin1(fields.at(3)), TimeFormat);
    entry.name = cp1250::toUnicode(line.mid(fields.at(0).size() + fields.at(1).size()
                                           + fields.at(2).size() + fields.at(3).size() + 4));
    if (entry.hardwareAddress.size() != 6 || fields.at(0).size() != 17 || !isIpv4(entry.address)
        || (!entry.broadcast.isEmpty() && !isIpv4(entry.broadcast)) || !entry.seen.isValid())
        return std::nullopt;
    return entry;
}

QString keptAsidePath(const QString &path)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = path + QStringLiteral(".uszkodzony-") + stamp;
    for (int n = 2; QFileInfo::exists(aside) || QFileInfo(aside).isSymLink(); ++n)
        aside = path + QStringLiteral(".uszkodzony-%1-%2").arg(stamp).arg(n);
    return aside;
}

} // namespace

QString hardwareText(const QByteArray &hardwareAddress)
{
    return QString::fromLatin1(hardwareAddress.toHex(':').toUpper());
}

Loaded load(const QString &folder)
{
    const QString path = folder + QLatin1Char('/') + QLatin1String(FileName);
    QFile file(path);
    if (!file.exists())
        return {};
    Loaded loaded;
    bool whole = file.open(QIODevice::ReadOnly) && file.size() <= MaxFileSize;
    const QList<QByteArray> lines = whole ? file.read(MaxFileSize).split('\n') : QList<QByteArray>();
    file.close();
    whole = whole && !lines.isEmpty() && lines.first().trimmed() == Header
            && lines.size() <= MaxEntries + 2;
    for (qsizetype i = 1; whole && i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty() && i == lines.size() - 1)
            break;
        const std::optional<Entry> entry = parseLine(line);
        whole = entry.has_value();
        if (whole)
            loaded.entries.append(*entry);
    }
    if (whole && loaded.entries.size() <= MaxEntries)
        return loaded;
    const QString aside = keptAsidePath(path);
    const bool moved = QFile::rename(path, aside);
    loaded.entries.clear();
    loaded.error = moved ? QStringLiteral("Lista komputerów do włączania „%1” jest uszkodzona. "
                                          "Odłożono ją jako „%2”; konsola zaczyna nową listę.")
                                   .arg(path, aside)
                         : QStringLiteral("Lista komputerów do włączania „%1” jest uszkodzona "
                                          "i nie można jej odłożyć; konsola jej nie zmienia.")
                                   .arg(path);
    return loaded;
}

bool save(const QString &folder, const QList<Entry> &entries)
{
    if (folder.isEmpty())
        return false;
    const QString path = folder + QLatin1Char('/') + QLatin1String(FileName);
    // A damaged file that could not be put aside stays as it is.
    if (QFileInfo::exists(path) && !load(folder).error.isEmpty() && QFileInfo::exists(path))
        return false;
    QByteArray text = Header + "\r\n";
    for (const Entry &entry : entries) {
        QByteArray name = cp1250::fromUnicode(entry.name);
        name.replace('\r', ' ').replace('\n', ' ');
        text += hardwareText(entry.hardwareAddress).toLatin1() + ';' + entry.address.toLatin1()
                + ';' + entry.broadcast.toLatin1() + ';' + entry.seen.toString(TimeFormat).toLatin1()
                + ';' + name + "\r\n";
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return file.write(text) == text.size() && file.commit();
}

QList<Entry> remember(QList<Entry> entries, const Entry &entry)
{
    entries.removeIf([&entry](const Entry &known) {
        return known.hardwareAddress == entry.hardwareAddress
               || (!entry.name.isEmpty() && known.name == entry.name);
    });
    entries.append(entry);
    while (entries.size() > MaxEntries)
        entries.removeFirst();
    return entries;
}

} // namespace wakelist
