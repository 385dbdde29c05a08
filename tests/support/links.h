#pragma once

#include <QString>

// A link planted by a test in the place of one of the console's files or
// folders. Elsewhere a symbolic link; on Windows a reparse point made with
// the system's own calls: a symbolic link to a file, a junction to a folder.
namespace links {

// Plants at a link to target (a file or a folder that exists). Empty when it
// stands, else why this system can make none (the row is skipped with it).
QString plant(const QString &target, const QString &at);

// Whether a link (a reparse point on Windows) stands at path.
bool isLink(const QString &path);

// Gives the second name path to the file existing; false when the system
// will not.
bool hardLink(const QString &existing, const QString &path);

} // namespace links
