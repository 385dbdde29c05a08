#include "support/links.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <QTest>

#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <vector>
#else
#include <unistd.h>
#endif

namespace links {

#ifdef Q_OS_WIN

namespace {

std::wstring native(const QString &path)
{
    return QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(path).absoluteFilePath()))
            .toStdWString();
}

// The layout the system expects for a mount point (junction).
struct MountPointBuffer
{
    DWORD tag;
    WORD dataLength;
    WORD reserved;
    WORD substituteOffset;
    WORD substituteLength;
    WORD printOffset;
    WORD printLength;
    WCHAR paths[1];
};

// A junction at at (an empty folder made here) leading to the folder target.
bool junction(const QString &target, const QString &at)
{
    if (!::CreateDirectoryW(native(at).c_str(), nullptr))
        return false;
    const HANDLE h
            = ::CreateFileW(native(at).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    bool made = false;
    if (h != INVALID_HANDLE_VALUE) {
        const std::wstring print = native(target);
        const std::wstring substitute = L"\\??\\" + print;
        const WORD substituteBytes = WORD(substitute.size() * sizeof(WCHAR));
        const WORD printBytes = WORD(print.size() * sizeof(WCHAR));
        std::vector<char> buffer(sizeof(MountPointBuffer) + substituteBytes + printBytes + 8);
        auto *mount = reinterpret_cast<MountPointBuffer *>(buffer.data());
        mount->tag = IO_REPARSE_TAG_MOUNT_POINT;
        mount->substituteLength = substituteBytes;
        mount->printOffset = WORD(substituteBytes + sizeof(WCHAR));
        mount->printLength = printBytes;
        std::memcpy(mount->paths, substitute.c_str(), substituteBytes + sizeof(WCHAR));
        std::memcpy(reinterpret_cast<char *>(mount->paths) + mount->printOffset, print.c_str(),
                    printBytes + sizeof(WCHAR));
        mount->dataLength
                = WORD(4 * sizeof(WORD) + substituteBytes + printBytes + 2 * sizeof(WCHAR));
        DWORD returned = 0;
        made = ::DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buffer.data(),
                                 DWORD(mount->dataLength + 8), nullptr, 0, &returned, nullptr);
        ::CloseHandle(h);
    }
    if (!made)
        ::RemoveDirectoryW(native(at).c_str());
    return made && isLink(at);
}

// Wine makes no reparse point with the calls above, but shows a symbolic
// link of its host to a folder as one: the test asks the host for that.
bool hostLinkUnderWine(const QString &target, const QString &at)
{
    using UnixName = char *(CDECL *)(LPCWSTR);
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void *>(
            ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName)
        return false;
    char *from = unixName(native(target).c_str());
    char *to = unixName(native(at).c_str());
    bool made = false;
    if (from && to) {
        // Named as the program itself: a search for it would look for ln.exe.
        std::wstring command
                = QStringLiteral("/bin/ln -s \"%1\" \"%2\"")
                          .arg(QString::fromLocal8Bit(from), QString::fromLocal8Bit(to))
                          .toStdWString();
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        // Wine hands back no handle to wait on for a program of its host:
        // the link is waited for instead.
        made = ::CreateProcessW(L"Z:\\bin\\ln", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                nullptr, &startup, &process)
               && QTest::qWaitFor([&at] { return isLink(at); }, 10000);
        for (const HANDLE h : {process.hProcess, process.hThread})
            if (h)
                ::CloseHandle(h);
    }
    ::HeapFree(::GetProcessHeap(), 0, from);
    ::HeapFree(::GetProcessHeap(), 0, to);
    return made && isLink(at);
}

} // namespace

QString plant(const QString &target, const QString &at)
{
    if (QFileInfo(target).isDir()) {
        if (junction(target, at) || hostLinkUnderWine(target, at))
            return {};
        return QStringLiteral("this system makes no junction");
    }
    // Without the privilege (or developer mode) Windows refuses; Wine says
    // yes and makes nothing, and shows a link of its host to a file as the
    // file itself.
    if (::CreateSymbolicLinkW(native(at).c_str(), native(target).c_str(),
                              SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)
        && isLink(at))
        return {};
    return QStringLiteral("this system makes no symbolic link to a file for this user (Wine "
                          "makes none at all)");
}

bool isLink(const QString &path)
{
    const DWORD attributes = ::GetFileAttributesW(native(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool hardLink(const QString &existing, const QString &path)
{
    return ::CreateHardLinkW(native(path).c_str(), native(existing).c_str(), nullptr);
}

#else

QString plant(const QString &target, const QString &at)
{
    return QFile::link(target, at) ? QString() : QStringLiteral("no symbolic link made");
}

bool isLink(const QString &path)
{
    return QFileInfo(path).isSymLink();
}

bool hardLink(const QString &existing, const QString &path)
{
    return ::link(QFile::encodeName(existing).constData(), QFile::encodeName(path).constData())
           == 0;
}

#endif

} // namespace links
