#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

// What the teacher keeps of a lesson besides the day log: the answers of a
// poll as a spreadsheet file and the pictures of the students' screens, in
// folders of the data folder that only this user may enter. A file is always
// new: an existing name, or a link planted in its place, gets a suffix
// ("_2", "_3", ...) rather than being written through. Every file saved and
// every poll sent leaves an entry in the day log.
namespace evidence {

constexpr const char *PollFolder = "ankiety";
constexpr const char *PictureFolder = "obrazy";

// What a save gave: the path written (with its suffix, if one was needed),
// or the system's error code; a failure is also written to the day log.
struct Saved
{
    QString path;
    int error = 0;
    bool ok() const { return error == 0; }
};

// A table as a spreadsheet reads it without being asked anything: UTF-8 with
// a byte-order mark, ";" between the cells, CR LF after each row. A cell
// holding ";", a quote or a line break is quoted (its quotes doubled); one
// that begins as a formula would is prefixed with "'", since the answers are
// typed by students.
QByteArray csvDocument(const QList<QStringList> &rows);

// A part of a file name made of a text that others choose (a host name):
// separators, control and invisible format characters and the characters
// other systems refuse become "_", leading dots and blanks and trailing dots
// and blanks go, the length is bounded; never empty. Letters stay as they
// are.
QString safeNameComponent(QStringView text);
constexpr int MaxComponentBytes = 80;

// A time as it goes into file and folder names: yyyy-MM-dd_HH-mm-ss; the
// present moment for a time not given.
QString stampOf(const QDateTime &at);

// Where the results of a poll are offered to go: ankiety/<stamp>.csv in the
// data folder, the folder made when missing. Empty when the data folder
// cannot be had.
QString proposedPollPath(const QDateTime &startedAt);

// Writes a table as csvDocument() has it to a new file at path (the
// teacher's choice); the day-log entry is entry followed by the path.
Saved saveTable(const QList<QStringList> &rows, const QString &path, QStringView entry);

// One picture as the agent sent it: its JPEG bytes, written unchanged.
struct Picture
{
    QString hostName;
    QString address;
    QByteArray jpeg;
    QDateTime at; // when it arrived; none given: the moment it is saved
};

// obrazy/<host>_<address>_<stamp>.jpg in the data folder.
Saved savePicture(const Picture &picture);

// Every picture into one new folder obrazy/<stamp of at>/, each named as
// savePicture names it. path is the folder; files lists what was written,
// also when a later file failed.
struct SavedAll : Saved
{
    QStringList files;
};
SavedAll saveAllPictures(const QList<Picture> &pictures, const QDateTime &at);

} // namespace evidence
