#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// The one folder of the current user where the console keeps its settings,
// its day logs and a downloaded installer.
namespace datafolder {

constexpr const char *FolderName = "Mervix-Tablor";

// The folder's path without a trailing separator, created (one level only)
// when missing; an empty text after a failure, which is reported through
// the failure reporter. Asked afresh at every call, never cached.
QString GetDataFolder();

// Where GetDataFolder finds the folder, without looking at the disk; empty
// when the platform names no place for it.
QString folderPath();

// What a failure report goes to: the main window puts the message into its
// status field and the day log. Called on the thread that met the failure;
// the reporter hands it over to the user-interface thread itself.
using FailureReporter = std::function<void(const QString &message)>;
void setFailureReporter(FailureReporter reporter);

// True on the thread whose reporter is running: whoever logs the report must
// not ask for the folder again, since that lookup has just failed.
bool reportingFailure();

// Marks this thread as making a failure report while it lives. A reporter
// that hands the report over to another thread sets one up there, so the
// report is logged once and not looked up again.
class ReportingScope
{
public:
    ReportingScope();
    ~ReportingScope();
    ReportingScope(const ReportingScope &) = delete;
    ReportingScope &operator=(const ReportingScope &) = delete;

private:
    bool m_was;
};

} // namespace datafolder

QString GetDataFolder();
