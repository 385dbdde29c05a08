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

} // namespace agentsim::output
