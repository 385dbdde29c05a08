#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// The agents, the day log and the settings file speak single-byte Windows-1250.
// Bytes stay bytes everywhere inside; these two convert at the edge of a window.
namespace cp1250 {

QString toUnicode(QByteArrayView bytes);

// Characters that Windows-1250 has no byte for become "?".
QByteArray fromUnicode(QStringView text);

} // namespace cp1250
