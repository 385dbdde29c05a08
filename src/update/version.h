#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The console's own version and the one its vendor's web server offers.
namespace update {

struct Version
{
    qint32 major = 0;
    qint32 minor = 0;
    qint32 release = 0;

    // "major.minor.release" in signed decimal, no padding.
    QString text() const;
    // Major first, then minor, then release, as signed numbers.
    bool isNewerThan(const Version &other) const;
    friend bool operator==(const Version &, const Version &) = default;
};

// The version of this program, set once in the top CMakeLists.txt.
inline constexpr Version ProgramVersion{DOCENTOR_VERSION_MAJOR, DOCENTOR_VERSION_MINOR,
                                        DOCENTOR_VERSION_RELEASE};

// The version file holds three little-endian signed 32-bit integers, major,
// minor and release, in its first 12 bytes; what follows them is ignored.
// A body of 8 to 11 bytes gives major and minor, and the release stays what
// it was in previous; a shorter body is no version at all.
inline constexpr int VersionFileSize = 12;
inline constexpr int ShortestVersionFile = 8;
std::optional<Version> parseVersionFile(const QByteArray &body, const Version &previous);

// What the server offered at the last check that read a version; 1.0.0
// until then. Checks run on their own threads, so this is guarded.
Version serverVersion();
void setServerVersion(const Version &version);
// Reads body over serverVersion() as parseVersionFile() does, in one step,
// and gives the version now held; nothing changes when body is no version.
std::optional<Version> readServerVersion(const QByteArray &body);

// Where the vendor's web server keeps the two files.
inline constexpr const char *VersionFilePath = "/mervix/tablor/program/admin_wersja.bin";
inline constexpr const char *InstallerFilePath = "/mervix/tablor/program/tabloradminsetup.exe";

} // namespace update
