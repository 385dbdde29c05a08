#include "storage/evidence.h"

#include "platform/cp1250.h"
#include "platform/writeall.h"
#include "storage/datafolder.h"
#include "storage/eventlog.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace evidence {

namespace {

// Beyond this many files of one name something is wrong; better a failure
// than an endless search.
constexpr int MaxSuffix = 999;

class Descriptor
{
public:
    explicit Descriptor(int fd)
        : m_fd(fd)
    {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

QByteArray encoded(const QString &name)
{
    return QFile::encodeName(name);
}

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

// Opens the folder name inside parent, made closed to others when missing,
// and closes it when an older one was left open. A link in its place, a
// file, or a folder of another user is refused. The descriptor or -errno.
int openPrivateFolder(int parent, const QByteArray &name)
{
    if (::mkdirat(parent, name.constData(), 0700) != 0 && errno != EEXIST)
        return -errno;
    const int fd
            = ::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    struct stat st = {};
    int error = 0;
    if (::fstat(fd, &st) != 0)
        error = errno;
    else if (st.st_uid != ::geteuid())
        error = EPERM;
    else if ((st.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0)
        error = errno;
    if (error != 0) {
        ::close(fd);
        return -error;
    }
    return fd;
}

QString numbered(const QString &base, int n, const QString &extension)
{
    if (n == 1)
        return base + extension;
    return base + QLatin1Char('_') + QString::number(n) + extension;
}

// A folder made afresh inside parent: base, else base_2, base_3 ...
int openFreshFolder(int parent, const QString &base, QString *used)
{
    for (int n = 1; n <= MaxSuffix; ++n) {
        const QString name = numbered(base, n, {});
        if (::mkdirat(parent, encoded(name).constData(), 0700) == 0) {
            *used = name;
            return openPrivateFolder(parent, encoded(name));
        }
        if (errno != EEXIST)
            return -errno;
    }
    return -EEXIST;
}

// A file made afresh inside folder, as openFreshFolder names it. Whatever
// holds a name already, a link too, is left alone.
int createFreshFile(int folder, const QString &base, const QString &extension, QString *used)
{
    for (int n = 1; n <= MaxSuffix; ++n) {
        const QString name = numbered(base, n, extension);
        const int fd = ::openat(folder, encoded(name).constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            *used = name;
            return fd;
        }
        if (errno != EEXIST)
            return -errno;
    }
    return -EEXIST;
}

// Writes content to a new file in folder (whose path is folderPath). A file
// that could not be written whole is removed: half a record is no record.
Saved writeNewFile(int folder, const QString &folderPath, const QString &base,
                   const QString &extension, const QByteArray &content)
{
    QString name;
    const int fd = createFreshFile(folder, base, extension, &name);
    if (fd < 0)
        return {folderPath + QLatin1Char('/') + base + extension, -fd};
    // Exactly the owner's, whatever the umask left.
    int error = ::fchmod(fd, 0600) == 0 ? 0 : errno;
    if (error == 0)
        error = platform::writeAll(fd, content);
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0)
        ::unlinkat(folder, encoded(name).constData(), 0);
    return {folderPath + QLatin1Char('/') + name, error};
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
int openDataSubfolder(const char *name, QString *path)
{
    const QString data = GetDataFolder();
    if (data.isEmpty())
        return -ENOENT; // the data folder has reported it
    *path = data + QLatin1Char('/') + QLatin1String(name);
    const Descriptor dataFolder(
            ::open(encoded(data).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dataFolder.get() < 0)
        return -errno;
    return openPrivateFolder(dataFolder.get(), name);
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
    const Descriptor fd(openDataSubfolder(PollFolder, &folder));
    if (fd.get() < 0)
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
    const Descriptor folder(
            ::open(encoded(folderPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0)
        saved.error = errno;
    else
        saved = writeNewFile(folder.get(), folderPath, base, extension, csvDocument(rows));
    logSaved(entry, saved);
    return saved;
}

Saved savePicture(const Picture &picture)
{
    QString folderPath;
    const Descriptor folder(openDataSubfolder(PictureFolder, &folderPath));
    const QString name = pictureName(picture);
    Saved saved{folderPath.isEmpty() ? name + PictureExtension
                                     : folderPath + QLatin1Char('/') + name + PictureExtension,
                0};
    if (folder.get() < 0)
        saved.error = -folder.get();
    else
        saved = writeNewFile(folder.get(), folderPath, name, PictureExtension, picture.jpeg);
    logSaved(u"Zapisano obraz: ", saved);
    return saved;
}

SavedAll saveAllPictures(const QList<Picture> &pictures, const QDateTime &at)
{
    SavedAll all;
    if (pictures.isEmpty())
        return all; // nothing to keep, no empty folder either
    QString picturesPath;
    const Descriptor pictureFolder(openDataSubfolder(PictureFolder, &picturesPath));
    QString name = stampOf(at);
    all.path = picturesPath + QLatin1Char('/') + name;
    if (pictureFolder.get() < 0) {
        all.error = -pictureFolder.get();
        logSaved(u"Zapisano obraz: ", all);
        return all;
    }
    const Descriptor folder(openFreshFolder(pictureFolder.get(), stampOf(at), &name));
    all.path = picturesPath + QLatin1Char('/') + name;
    if (folder.get() < 0) {
        all.error = -folder.get();
        logSaved(u"Zapisano obraz: ", all);
        return all;
    }
    // One failed picture does not cost the others; the first failure is
    // reported.
    for (const Picture &picture : pictures) {
        const Saved saved = writeNewFile(folder.get(), all.path, pictureName(picture),
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
