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
// A shorter body is no version at all.
inline constexpr int VersionFileSize = 12;
std::optional<Version> parseVersionFile(const QByteArray &body);

// What the server offered at the last check that read a version; 1.0.0
// until then. Checks run on their own threads, so this is guarded.
Version serverVersion();
void setServerVersion(const Version &version);

// Where the vendor's web server keeps the two files.
inline constexpr const char *VersionFilePath = "/mervix/tablor/program/admin_wersja.bin";
inline constexpr const char *InstallerFilePath = "/mervix/tablor/program/tabloradminsetup.exe";

} // namespace update
