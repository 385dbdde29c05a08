#pragma once

#include <QString>
#include <QUrl>

// The address of the vendor's web server. It is looked for, first to last:
//   1. the environment variable DOCENTOR_UPDATE_HOST,
//   2. the line "<UPDATE HOST>http://..." of the settings file,
//   3. the address built into the program (DOCENTOR_UPDATE_HOST at build time).
// A value that is no http or https address with a host name is passed over,
// so a mistyped setting falls back to the built-in server instead of
// breaking the check. Reads the settings file: user-interface thread only.
namespace update {

inline constexpr const char *HostEnvironmentVariable = "DOCENTOR_UPDATE_HOST";
inline constexpr const char *HostSettingTag = "<UPDATE HOST>";

// The server address in use, without a trailing "/".
QString updateHost();

// The server address followed by path ("/mervix/...").
QUrl updateUrl(const char *path);

// The address as the server address, or an empty text when it is not one.
QString validatedHost(const QString &candidate);

} // namespace update
