#pragma once

// What a lesson leaves behind: the samples and the teacher's commands as
// CSV, one chart, and a line per target saying whether it was met.

#include "lesson.h"

namespace lesson {

struct Verdicts
{
    qint64 lostAnswers = 0;
    qint64 lostPackets = 0;
    qint64 lostPictures = 0;
    double memorySpreadMiB = 0; // after the settling minutes
    double memoryGrowthMiB = 0; // last sample minus the first after settling
    double freshShare = 0;      // of the samples, those with every tile fresh
    double commandsInTime = 0;  // share answered within 2 s of the student
    int commandsAnswered = 0;
};

Verdicts judge(const Lesson &lesson, const Options &options);

bool writeCsv(const Lesson &lesson, const QString &folder);
bool drawChart(const Lesson &lesson, const Options &options, const QString &path);

// The result lines bench/run.sh gathers, each with its target and whether
// it was met.
void printSummary(const Lesson &lesson, const Verdicts &verdicts);

} // namespace lesson
