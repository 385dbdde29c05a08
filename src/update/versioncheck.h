#pragma once

#include "update/version.h"

#include <QUrl>

#include <atomic>

// Reading the version file from the vendor's web server.
namespace update {

struct VersionAnswer
{
    enum Kind {
        Found,        // a 200 answer with all 12 bytes: the server's version
        NotAvailable, // the server answered, but not with a version file
        NoConnection, // the server could not be reached, or fell silent
        Stopped,      // the console is closing
    };
    Kind kind = NoConnection;
    Version version;
};

// Runs on the calling worker thread until the answer is known.
VersionAnswer fetchServerVersion(const QUrl &url, const std::atomic<bool> &stop);

// How many checks have ended with everything they show already shown;
// counted on the user-interface thread. Lets a caller wait for a check that
// shows nothing.
int completedChecks();
void countCompletedCheck();

} // namespace update
