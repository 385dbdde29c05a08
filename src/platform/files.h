#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The files and folders the console keeps for the teacher: closed to other
// users, and never written through a link (a symbolic link, or a reparse
// point where the system has those) that someone planted in their place.
// Errors are errno codes on every system, so that callers tell "exists" and
// "missing" alike everywhere.
namespace platform {

// Makes folder (and home above it, when missing) for this user only; a
// folder left open to others by an older version is closed. 0, EEXIST when
// something else stands there, EPERM when it belongs to another user, or
// the error met.
int makePrivateFolder(const QString &home, const QString &folder);

// Appends bytes to the file at path, made for this user only when missing.
// A link in its place is not followed. 0, or the error (ENOENT when the
// folder is missing).
int appendToFile(const QString &path, QByteArrayView bytes);

class Folder;

// A file kept open to be appended to, for a log written many times a
// second: one write per entry instead of an open, a write and a close.
class AppendFile
{
public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile &) = delete;
    AppendFile &operator=(const AppendFile &) = delete;

    // Opens the file name in folder in place of the one open, made for this
    // user only when missing. A link in its place is not followed, and a
    // file that has another name too (a hard link to some other file of
    // the user's) is refused with EMLINK: what is appended here must land
    // in this file only. 0 or the error.
    int open(const Folder &folder, const QString &name);
    bool isOpen() const;
    void close();
    // Appends bytes; a torn block stays as it is. 0 or the error.
    int write(QByteArrayView bytes);
    // Its size: as found when opened, and what was appended since.
    qint64 size() const { return m_size; }
    // Whether the open file still stands as name in folder: not deleted,
    // moved or replaced meanwhile (a link there is not followed).
    bool standsIn(const Folder &folder, const QString &name) const;

private:
    qintptr m_handle = -1;
    quint64 m_device = 0;
    quint64 m_index = 0;
    qint64 m_size = 0;
};

// Makes the folder at path for this user only; 0 or the error.
int makeFolder(const QString &path);

// The whole file at path; empty when it is missing, not a plain file, or a
// link.
QByteArray readOwnFile(const QString &path);

// Writes content over the file at path. A link there is removed, not
// written through; anything else that is not a plain file is left alone.
void overwriteFile(const QString &path, QByteArrayView content);

// Puts content in place of path through a new file beside it, renamed over
// whatever stands at path (a link there is replaced, not followed), so a
// failure leaves the old file whole. 0 or the error.
int replaceFile(const QString &path, QByteArrayView content);

// An open folder, in which files and folders are made by name only.
class Folder
{
public:
    Folder() = default;
    ~Folder();
    Folder(Folder &&other) noexcept;
    Folder &operator=(Folder &&other) noexcept;
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;

    // The folder at path, reached through links if need be (the teacher's
    // choice may be). 0 or the error into *error.
    static Folder open(const QString &path, int *error);

    bool isOpen() const;

    // The folder name inside this one, made for this user only when
    // missing, closed when an older one was left open. A link, a file, or a
    // folder of another user there is refused.
    Folder openPrivate(const QString &name, int *error) const;

    // The folder name inside this one, made for this user only when
    // missing; one open to others is closed, the owner's own permissions
    // stay as they are. A link, a file, or a folder of another user there
    // is refused.
    Folder openClosed(const QString &name, int *error) const;

    // Whether this folder still stands at path (links on the way followed),
    // or as name in parent (a link there not followed): not moved, deleted
    // or replaced meanwhile.
    bool standsAt(const QString &path) const;
    bool standsIn(const Folder &parent, const QString &name) const;

    // Makes the folder name inside this one for this user only: 0, EEXIST
    // when the name is taken, or the error.
    int makeFolder(const QString &name) const;

    // Makes the file name inside this one (for this user only) and writes
    // content whole to disk. EEXIST when anything, a link too, holds the
    // name already; a file that could not be written whole is removed.
    int writeNewFile(const QString &name, QByteArrayView content) const;

private:
    friend class AppendFile;
    Folder openInside(const QString &name, bool ownerBitsToo, int *error) const;

    int m_fd = -1;
    QString m_path;
};

} // namespace platform
