#pragma once

#include <QByteArray>

// The tagged settings file "settings.set" of the data folder: one setting a
// line, the tag ("<FIRST RUN>") followed by its value; Windows-1250 bytes.

// The value after the first ">" of the first line that holds tag anywhere;
// empty when the file cannot be read or has no such line.
QByteArray ReadSetting(const QByteArray &tag);

// Rewrites the file through "settings.tmp": every line holding tag becomes
// tag + value, other lines are carried over unchanged, and a missing tag is
// added as the last line. False when the new file could not replace the old
// one (the old file is then untouched and the failure is logged).
bool WriteSetting(const QByteArray &tag, const QByteArray &value);

namespace settings {
constexpr const char *FileName = "settings.set";
constexpr const char *ScratchName = "settings.tmp";
constexpr const char *FirstRunTag = "<FIRST RUN>";
} // namespace settings
