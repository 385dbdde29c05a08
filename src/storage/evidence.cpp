#include "storage/evidence.h"

#include "platform/cp1250.h"
#include "platform/files.h"
#include "storage/datafolder.h"
#include "storage/eventlog.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>

namespace evidence {

namespace {

// Beyond this many files of one name something is wrong; better a failure
// than an endless search.
constexpr int MaxSuffix = 999;

QString csvCell(const QString &cell)
{
    static const QString formulaStarts = QStringLiteral("=+-@\t\r");
    QString text = cell;
    if (!text.isEmpty() && formulaStarts.contains(text.front()))
        text.prepend(QLatin1Char('\''));
    if (text.contains(QLatin1Char(';')) || text.contains(QLatin1Char('"'))
        || text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n'))) {
        text.replace(QLatin1String("\""), QLatin1String("\"\""));
        text = QLatin1Char('"') + text + QLatin1Char('"');
    }
    return text;
}

bool isUnsafe(char32_t c)
{
    // What a path would split at, what another system's file names refuse,
    // and what does not show: controls, line breaks, direction marks.
    static const QString refused = QStringLiteral("/\\:*?\"<>|");
    if (c < 0x80 && refused.contains(QChar(c)))
        return true;
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return c == 0xFFFD; // what a broken UTF-16 sequence became
    }
}

void trimEnds(QString &name)
{
    const auto loose = [](QChar c) {
        return c == QLatin1Char('.') || c.isSpace();
    };
    qsizetype start = 0;
    while (start < name.size() && loose(name.at(start)))
        ++start;
    name.remove(0, start);
    while (!name.isEmpty() && loose(name.back()))
        name.chop(1);
}

QString numbered(const QString &base, int n, const QString &extension)
{
    if (n == 1)
        return base + extension;
    return base + QLatin1Char('_') + QString::number(n) + extension;
}

// A folder made afresh inside parent: base, else base_2, base_3 ...
platform::Folder openFreshFolder(const platform::Folder &parent, const QString &base,
                                 QString *used, int *error)
{
    for (int n = 1; n <= MaxSuffix; ++n) {
        const QString name = numbered(base, n, {});
        *error = parent.makeFolder(name);
        if (*error == 0) {
            *used = name;
            return parent.openPrivate(name, error);
        }
        if (*error != EEXIST)
            return {};
    }
    *error = EEXIST;
    return {};
}

// Writes content to a new file in folder (whose path is folderPath), named
// as openFreshFolder names it. Whatever holds a name already, a link too, is
// left alone.
Saved writeNewFile(const platform::Folder &folder, const QString &folderPath, const QString &base,
                   const QString &extension, const QByteArray &content)
{
    for (int n = 1; n <= MaxSuffix; ++n) {
        const QString name = numbered(base, n, extension);
        const int error = folder.writeNewFile(name, content);
        if (error != EEXIST)
            return {folderPath + QLatin1Char('/') + name, error};
    }
    return {folderPath + QLatin1Char('/') + base + extension, EEXIST};
}

void logSaved(QStringView what, const Saved &saved)
{
    // The path may hold a host name: shown, not obeyed.
    const QByteArray path = eventlog::visible(cp1250::fromUnicode(saved.path));
    if (saved.ok()) {
        WriteLog(cp1250::fromUnicode(what) + path);
        return;
    }
    WriteLog(cp1250::fromUnicode(u"Błąd zapisu pliku: ") + path
             + cp1250::fromUnicode(u"\nKod błędu: ") + QByteArray::number(uint(saved.error)));
}

// The private folder name of the data folder, opened; its path into path.
platform::Folder openDataSubfolder(const char *name, QString *path, int *error)
{
    const QString data = GetDataFolder();
    if (data.isEmpty()) {
        *error = ENOENT; // the data folder has reported it
        return {};
    }
    *path = data + QLatin1Char('/') + QLatin1String(name);
    const platform::Folder dataFolder = platform::Folder::open(data, error);
    if (!dataFolder.isOpen())
        return {};
    return dataFolder.openPrivate(QLatin1String(name), error);
}

QString pictureName(const Picture &picture)
{
    return safeNameComponent(picture.hostName) + QLatin1Char('_')
           + safeNameComponent(picture.address) + QLatin1Char('_') + stampOf(picture.at);
}

const QString PictureExtension = QStringLiteral(".jpg");

} // namespace

QByteArray csvDocument(const QList<QStringList> &rows)
{
    QString text;
    for (const QStringList &row : rows) {
        QStringList cells;
        cells.reserve(row.size());
        for (const QString &cell : row)
            cells.append(csvCell(cell));
        text += cells.join(QLatin1Char(';'));
        text += QLatin1String("\r\n");
    }
    return QByteArray("\xEF\xBB\xBF") + text.toUtf8();
}

QString safeNameComponent(QStringView text)
{
    QString name;
    for (const char32_t c : text.toUcs4()) {
        if (isUnsafe(c))
            name += QLatin1Char('_');
        else
            name += QString::fromUcs4(&c, 1);
    }
    trimEnds(name);
    // Bounded in bytes, as file systems count, and cut between characters.
    qsizetype bytes = 0;
    qsizetype keep = 0;
    for (const char32_t c : name.toUcs4()) {
        bytes += QString::fromUcs4(&c, 1).toUtf8().size();
        if (bytes > MaxComponentBytes)
            break;
        keep += QChar::requiresSurrogates(c) ? 2 : 1;
    }
    name.truncate(keep);
    trimEnds(name);
    return name.isEmpty() ? QStringLiteral("nieznany") : name;
}

QString stampOf(const QDateTime &at)
{
    // A name without its time would tell nothing and collide with every other.
    const QDateTime when = at.isValid() ? at : QDateTime::currentDateTime();
    return when.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss"));
}

QString proposedPollPath(const QDateTime &startedAt)
{
    QString folder;
    int error = 0;
    if (!openDataSubfolder(PollFolder, &folder, &error).isOpen())
        return {};
    return folder + QLatin1Char('/') + stampOf(startedAt) + QStringLiteral(".csv");
}

Saved saveTable(const QList<QStringList> &rows, const QString &path, QStringView entry)
{
    const QFileInfo info(path);
    const QString folderPath = info.absolutePath();
    const QString name = info.fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString base = dot > 0 ? name.left(dot) : name;
    const QString extension = dot > 0 ? name.mid(dot) : QString();

    Saved saved{path, 0};
    // The folder is the teacher's choice and may be reached through links of
    // their own; only the file's name is never followed.
    const platform::Folder folder = platform::Folder::open(folderPath, &saved.error);
    if (folder.isOpen())
        saved = writeNewFile(folder, folderPath, base, extension, csvDocument(rows));
    logSaved(entry, saved);
    return saved;
}

Saved savePicture(const Picture &picture)
{
    QString folderPath;
    int error = 0;
    const platform::Folder folder = openDataSubfolder(PictureFolder, &folderPath, &error);
    const QString name = pictureName(picture);
    Saved saved{folderPath.isEmpty() ? name + PictureExtension
                                     : folderPath + QLatin1Char('/') + name + PictureExtension,
                0};
    if (!folder.isOpen())
        saved.error = error;
    else
        saved = writeNewFile(folder, folderPath, name, PictureExtension, picture.jpeg);
    logSaved(u"Zapisano obraz: ", saved);
    return saved;
}

SavedAll saveAllPictures(const QList<Picture> &pictures, const QDateTime &at)
{
    SavedAll all;
    if (pictures.isEmpty())
        return all; // nothing to keep, no empty folder either
    QString picturesPath;
    const platform::Folder pictureFolder
            = openDataSubfolder(PictureFolder, &picturesPath, &all.error);
    QString name = stampOf(at);
    all.path = picturesPath + QLatin1Char('/') + name;
    if (!pictureFolder.isOpen()) {
        logSaved(u"Zapisano obraz: ", all);
        return all;
    }
    const platform::Folder folder = openFreshFolder(pictureFolder, stampOf(at), &name, &all.error);
    all.path = picturesPath + QLatin1Char('/') + name;
    if (!folder.isOpen()) {
        logSaved(u"Zapisano obraz: ", all);
        return all;
    }
    // One failed picture does not cost the others; the first failure is
    // reported.
    for (const Picture &picture : pictures) {
        const Saved saved = writeNewFile(folder, all.path, pictureName(picture),
                                         PictureExtension, picture.jpeg);
        logSaved(u"Zapisano obraz: ", saved);
        if (saved.ok())
            all.files.append(saved.path);
        else if (all.error == 0)
            all.error = saved.error;
    }
    return all;
}

} // namespace evidence
