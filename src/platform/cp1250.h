#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// The agents, the day log and the settings file speak single-byte Windows-1250.
// Bytes stay bytes everywhere inside; these two convert at the edge of a window.
namespace cp1250 {

constexpr const char *DefaultCodecName = "windows-1250";

// Whether the conversion works at all. Windows-1250 itself always does (the
// table is our own); another codec asked of Qt, which one built without ICU
// lacks, may not, and every conversion would then quietly give "?".
bool available();

// The codec every conversion asks Qt for instead of Windows-1250; nullptr
// restores Windows-1250. Lets a test stand for a converter that is missing.
void setCodecName(const char *name);

QString toUnicode(QByteArrayView bytes);

// Characters that Windows-1250 has no byte for become "?".
QByteArray fromUnicode(QStringView text);

} // namespace cp1250
