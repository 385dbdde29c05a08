#include "storage/settings.h"

#include "platform/cp1250.h"
#include "platform/files.h"
#include "storage/datafolder.h"
#include "storage/eventlog.h"

#include <QDir>
#include <QFile>

#include <cerrno>

namespace {

// A path inside the data folder, or nothing when the folder cannot be had:
// then nothing is read or written, rather than falling back to the root of
// the file system.
QString pathInDataFolder(const char *name)
{
    const QString folder = GetDataFolder();
    if (folder.isEmpty())
        return {};
    return folder + QLatin1Char('/') + QLatin1String(name);
}

QList<QByteArray> readLines(const QString &path)
{
    if (path.isEmpty())
        return {};
    // Only the folder's own file: a link in its place counts as no file, and
    // the next write replaces it.
    QList<QByteArray> lines = platform::readOwnFile(path).split('\n');
    // A final line break does not start one more line.
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

} // namespace

QByteArray ReadSetting(const QByteArray &tag)
{
    for (const QByteArray &line : readLines(pathInDataFolder(settings::FileName))) {
        if (line.contains(tag)) {
            const qsizetype gt = line.indexOf('>');
            return gt < 0 ? QByteArray() : line.mid(gt + 1);
        }
    }
    return {};
}

bool WriteSetting(const QByteArray &tag, const QByteArray &value)
{
    const QString readPath = pathInDataFolder(settings::FileName);
    const QString writePath = pathInDataFolder(settings::ScratchName);
    if (readPath.isEmpty() || writePath.isEmpty())
        return false;

    QByteArray content;
    bool found = false;
    for (const QByteArray &line : readLines(readPath)) {
        if (line.contains(tag)) {
            content += tag + value;
            found = true;
        } else {
            content += line;
        }
        content += "\r\n";
    }
    if (!found)
        content += tag + value + "\r\n";

    // The scratch copy, readable by the user only.
    platform::overwriteFile(writePath, content);

    // The replacement goes through a sibling file renamed over the old one,
    // so a failure at any point leaves the old settings whole.
    if (const int code = platform::replaceFile(readPath, content)) {
        // In one step: a path holding "%1" stays as it is.
        const QString message
                = QStringLiteral("Błąd zamiany pliku ustawień, rPath: %1, wPath: %2, Error: %3")
                          .arg(QDir::toNativeSeparators(readPath),
                               QDir::toNativeSeparators(writePath), QString::number(uint(code)));
        WriteLog(cp1250::fromUnicode(message));
        return false;
    }
    return true;
}
