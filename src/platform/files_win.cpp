#include "platform/files.h"

#include <QDir>

#include <cerrno>

#include <windows.h>

// The local application-data folder is the user's own by its access list,
// so there is no owner or mode to check or mend here; what is left is never
// to go through a reparse point (a link or a junction) someone planted.
namespace platform {

namespace {

std::wstring native(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

int errnoOf(DWORD code)
{
    switch (code) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_CANT_ACCESS_FILE:
    case ERROR_CANT_RESOLVE_FILENAME:
        return ELOOP;
    default:
        return EIO;
    }
}

int lastError()
{
    return errnoOf(::GetLastError());
}

DWORD attributesOf(const QString &path)
{
    return ::GetFileAttributesW(native(path).c_str());
}

bool isReparsePoint(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Opens the path itself, never what a reparse point there leads to; one
// found there is refused with ELOOP, as a link is elsewhere. Others may
// still rename or delete it meanwhile, as on Linux: the day log stays open.
HANDLE openOwn(const QString &path, DWORD access, DWORD disposition, int *error)
{
    const HANDLE h = ::CreateFileW(
            native(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = lastError();
        return h;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(h, &info) || isReparsePoint(info.dwFileAttributes)
        || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::CloseHandle(h);
        *error = ELOOP;
        return INVALID_HANDLE_VALUE;
    }
    *error = 0;
    return h;
}

int writeWhole(HANDLE h, QByteArrayView bytes)
{
    const char *data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        DWORD written = 0;
        const DWORD chunk = DWORD(std::min<qsizetype>(left, 1 << 30));
        if (!::WriteFile(h, data, chunk, &written, nullptr))
            return lastError();
        if (written == 0)
            return EIO;
        data += written;
        left -= written;
    }
    return 0;
}

int makeOneFolder(const QString &path)
{
    if (::CreateDirectoryW(native(path).c_str(), nullptr))
        return 0;
    return lastError();
}

} // namespace

int makePrivateFolder(const QString &home, const QString &folder)
{
    const DWORD attributes = attributesOf(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (!QDir().mkpath(home))
            return lastError();
        return makeOneFolder(folder);
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : EEXIST;
}

int appendToFile(const QString &path, QByteArrayView bytes)
{
    int error = 0;
    const HANDLE h = openOwn(path, FILE_APPEND_DATA, OPEN_ALWAYS, &error);
    if (h == INVALID_HANDLE_VALUE)
        return error;
    error = writeWhole(h, bytes);
    ::CloseHandle(h);
    return error;
}

namespace {

// The file's identity: its volume and its index on it.
bool identify(HANDLE h, quint64 *device, quint64 *index)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(h, &info))
        return false;
    *device = info.dwVolumeSerialNumber;
    *index = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

} // namespace

AppendFile::~AppendFile()
{
    close();
}

int AppendFile::open(const Folder &folder, const QString &name)
{
    close();
    int error = 0;
    const HANDLE h = openOwn(folder.m_path + QLatin1Char('/') + name, FILE_APPEND_DATA, OPEN_ALWAYS,
                             &error);
    if (h == INVALID_HANDLE_VALUE)
        return error;
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER size{};
    if (!::GetFileInformationByHandle(h, &info) || !::GetFileSizeEx(h, &size))
        error = lastError();
    else if (info.nNumberOfLinks > 1)
        error = EMLINK;
    if (error != 0) {
        ::CloseHandle(h);
        return error;
    }
    m_device = info.dwVolumeSerialNumber;
    m_index = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    m_size = qint64(size.QuadPart);
    m_handle = qintptr(h);
    return 0;
}

bool AppendFile::isOpen() const
{
    return m_handle != -1;
}

void AppendFile::close()
{
    if (m_handle != -1)
        ::CloseHandle(HANDLE(m_handle));
    m_handle = -1;
    m_device = m_index = 0;
    m_size = 0;
}

int AppendFile::write(QByteArrayView bytes)
{
    if (m_handle == -1)
        return EBADF;
    m_size += bytes.size();
    return writeWhole(HANDLE(m_handle), bytes);
}

bool AppendFile::standsIn(const Folder &folder, const QString &name) const
{
    if (m_handle == -1 || !folder.isOpen())
        return false;
    const QString path = folder.m_path + QLatin1Char('/') + name;
    // Opened for nothing but its identity, and the path itself rather than
    // what a reparse point there leads to.
    const HANDLE h = ::CreateFileW(native(path).c_str(), 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    quint64 device = 0;
    quint64 index = 0;
    const bool same = identify(h, &device, &index) && device == m_device && index == m_index;
    ::CloseHandle(h);
    return same;
}

int makeFolder(const QString &path)
{
    return makeOneFolder(path);
}

QByteArray readOwnFile(const QString &path)
{
    int error = 0;
    const HANDLE h = openOwn(path, GENERIC_READ, OPEN_EXISTING, &error);
    if (h == INVALID_HANDLE_VALUE)
        return {};
    QByteArray content;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0)
        content.append(buffer, got);
    ::CloseHandle(h);
    return content;
}

void overwriteFile(const QString &path, QByteArrayView content)
{
    if (isReparsePoint(attributesOf(path)))
        ::DeleteFileW(native(path).c_str());
    int error = 0;
    const HANDLE h = openOwn(path, GENERIC_WRITE, OPEN_ALWAYS, &error);
    if (h == INVALID_HANDLE_VALUE)
        return;
    if (::SetEndOfFile(h))
        writeWhole(h, content);
    ::CloseHandle(h);
}

int replaceFile(const QString &path, QByteArrayView content)
{
    QString temp;
    int error = EEXIST;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int n = 0; n < 100 && error == EEXIST; ++n) {
        temp = path + QStringLiteral(".%1").arg(::GetTickCount64() + n, 6, 16, QLatin1Char('0'));
        h = openOwn(temp, GENERIC_WRITE, CREATE_NEW, &error);
    }
    if (h == INVALID_HANDLE_VALUE)
        return error;
    error = writeWhole(h, content);
    if (error == 0 && !::FlushFileBuffers(h))
        error = lastError();
    ::CloseHandle(h);
    if (error == 0
        && !::MoveFileExW(native(temp).c_str(), native(path).c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = lastError();
    if (error != 0)
        ::DeleteFileW(native(temp).c_str());
    return error;
}

Folder::~Folder() = default;

Folder::Folder(Folder &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
    , m_path(std::move(other.m_path))
{}

Folder &Folder::operator=(Folder &&other) noexcept
{
    m_fd = std::exchange(other.m_fd, -1);
    m_path = std::move(other.m_path);
    return *this;
}

Folder Folder::open(const QString &path, int *error)
{
    Folder folder;
    const DWORD attributes = attributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        *error = lastError();
    else
        *error = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : ENOTDIR;
    if (*error == 0) {
        folder.m_fd = 0; // open: made and named by path only
        folder.m_path = path;
    }
    return folder;
}

// A folder is named by its path here: it stands where it is found as a
// folder that is no reparse point.
bool Folder::standsAt(const QString &path) const
{
    const DWORD attributes = attributesOf(path);
    return isOpen() && attributes != INVALID_FILE_ATTRIBUTES && !isReparsePoint(attributes)
           && (attributes & FILE_ATTRIBUTE_DIRECTORY) && QDir(path) == QDir(m_path);
}

bool Folder::standsIn(const Folder &parent, const QString &name) const
{
    return parent.isOpen() && standsAt(parent.m_path + QLatin1Char('/') + name);
}

Folder Folder::openInside(const QString &name, bool, int *error) const
{
    Folder folder;
    const QString path = m_path + QLatin1Char('/') + name;
    *error = makeOneFolder(path);
    if (*error != 0 && *error != EEXIST)
        return folder;
    const DWORD attributes = attributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        *error = lastError();
    else if (isReparsePoint(attributes))
        *error = ELOOP;
    else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        *error = ENOTDIR;
    else
        *error = 0;
    if (*error == 0) {
        folder.m_fd = 0;
        folder.m_path = path;
    }
    return folder;
}

int Folder::makeFolder(const QString &name) const
{
    return makeOneFolder(m_path + QLatin1Char('/') + name);
}

int Folder::writeNewFile(const QString &name, QByteArrayView content) const
{
    const QString path = m_path + QLatin1Char('/') + name;
    int error = 0;
    // A new file only: a link in the name's place counts as taken.
    const HANDLE h = openOwn(path, GENERIC_WRITE, CREATE_NEW, &error);
    if (h == INVALID_HANDLE_VALUE)
        return error;
    error = writeWhole(h, content);
    if (error == 0 && !::FlushFileBuffers(h))
        error = lastError();
    ::CloseHandle(h);
    if (error != 0)
        ::DeleteFileW(native(path).c_str());
    return error;
}

} // namespace platform
