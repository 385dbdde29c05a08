#pragma once

#include <QString>

// The simulator's own console output: one line per event, written and flushed
// at once so that a test reading the pipe sees each line as it happens.
namespace agentsim::output {

void line(const QString &text);
// With many students the lines are more than anybody reads; --quiet drops them.
void setQuiet(bool quiet);

// A text value in an output line: in double quotes, with backslash, quote and
// line breaks escaped, so a line always stays one line.
QString quoted(const QString &text);

// Counts of what the students did, for whoever drives a long run and checks
// the console kept all of it: count() adds one under a name, writeTally()
// writes "name=count" lines (names sorted) to a file; false when it cannot.
void count(const char *what);
bool writeTally(const QString &path);

} // namespace agentsim::output
