// Class overview: 30 and 60 students with full-HD screens, played by the agent
// simulator (tools/agentsim) as a process of its own. Figures: one full round
// of the overview, from switching to its tab until every tile shows a picture
// asked for since, against bare loops that ask the same simulator for the
// same pictures over blocking sockets, as many at once as the overview asks
// (and one at a time), receive them and decode them to the same thumbnail
// size; how long an event posted to the window every millisecond waits while
// the overview goes round; the resident memory a tile costs; and, beside
// students who trickle their streams or never answer, how long the other
// tiles and a teacher's picture take.
#include "overviewclass.h"
#include "overviewconsole.h"

#include "commands/classoverview.h"

#include <QApplication>

#include <cstdio>
#include <vector>

using namespace bench;
using namespace bench::overview;

namespace {

int optionValue(const QStringList &arguments, const QString &name, int fallback)
{
    for (const QString &a : arguments) {
        if (a.startsWith(name + QLatin1Char('=')))
            return a.mid(name.size() + 1).toInt();
    }
    return fallback;
}

QString caseName(const Behaviour &b)
{
    return QStringLiteral("%1 students %2 x %3, capture %4 ms, stream %5 ms after announcing")
            .arg(b.students)
            .arg(Screen.width())
            .arg(Screen.height())
            .arg(b.captureDelayMs)
            .arg(b.streamDelayMs);
}

struct Run
{
    Behaviour students;
    int rounds = 0;
    int waitRounds = 0; // 0: no posted-event waits, no memory
    bool phases = false;
    QString target;
};

void printWaitsAndMemory(const QString &name, const std::vector<double> &waits,
                         const OverviewConsole &console, int students)
{
    printResult(QStringLiteral("overview"),
                name + QStringLiteral(": posted event wait, p99 of %1").arg(waits.size()),
                percentile(waits, 99), NAN, QStringLiteral("ms"), Better::Lower,
                QStringLiteral("<= 20 ms"));
    printResult(QStringLiteral("overview"), name + QStringLiteral(": posted event wait, worst"),
                maximum(waits), NAN, QStringLiteral("ms"), Better::Lower, {});
    printResult(QStringLiteral("overview"), name + QStringLiteral(": resident memory before"),
                double(console.residentBeforeKiB) / 1024, NAN, QStringLiteral("MiB"), Better::Lower,
                {});
    printResult(QStringLiteral("overview"), name + QStringLiteral(": memory per tile"),
                double(console.residentAfterKiB - console.residentBeforeKiB) / 1024 / students, NAN,
                QStringLiteral("MiB"), Better::Lower, QStringLiteral("<= 0.5 MiB"));
}

// One console and one floor, each with a simulator of its own, taking turns;
// the floor asks as many at once as the overview, and then one at a time.
bool runCase(const Run &run)
{
    OverviewConsole console(run.students, run.phases);
    OverviewFloor floor(console.bound(), run.students);
    if (!console.ready() || !floor.ready()) {
        std::fprintf(stderr, "overview: the students did not all connect\n");
        return false;
    }
    std::vector<double> consoleRounds, floorRounds, serialRounds;
    for (int r = 0; r < run.rounds; ++r) {
        consoleRounds.push_back(console.round());
        floorRounds.push_back(floor.round(commands::ClassOverview::MaxOutstanding));
        serialRounds.push_back(floor.round(1));
    }
    const std::vector<double> waits = run.waitRounds > 0 ? console.waitsDuringRounds(run.waitRounds)
                                                         : std::vector<double>{};
    if (run.phases) {
        console.phases().print("console");
        floor.phases().print("floors");
    }
    const QString name = caseName(run.students);
    if (console.lost() > 0)
        printNote(QStringLiteral("overview, %1: %2 pictures announced did not come whole")
                          .arg(name)
                          .arg(console.lost()));
    const QSize bound = console.bound();
    printResult(QStringLiteral("overview"),
                name
                        + QStringLiteral(": one round (%1 x %2 tiles, %3 asked at once)")
                                  .arg(bound.width())
                                  .arg(bound.height())
                                  .arg(commands::ClassOverview::MaxOutstanding),
                median(consoleRounds), median(floorRounds), QStringLiteral("ms"), Better::Lower,
                run.target);
    printResult(QStringLiteral("overview"),
                name + QStringLiteral(": the floor asking one at a time"), median(serialRounds),
                NAN, QStringLiteral("ms"), Better::Lower, {});
    if (run.waitRounds > 0)
        printWaitsAndMemory(name, waits, console, run.students.students);
    return true;
}

// Beside students who trickle every picture over trickleSeconds, and
// students who never answer, for seconds with the overview's interval.
bool runBeside(const Behaviour &students, int trickling, int trickleSeconds, int silent,
               int intervalSeconds, int seconds)
{
    std::vector<Behaviour> others;
    if (trickling > 0) {
        Behaviour slow = students;
        slow.students = trickling;
        slow.faults = {QStringLiteral("--slow-stream"),
                       QStringLiteral("--slow-seconds=%1").arg(trickleSeconds)};
        others.push_back(slow);
    }
    if (silent > 0) {
        Behaviour mute = students;
        mute.students = silent;
        mute.captureDelayMs = 3600 * 1000; // asked, never answering in the run
        others.push_back(mute);
    }
    OverviewConsole console(students, false, others);
    if (!console.ready()) {
        std::fprintf(stderr, "overview: the students did not all connect\n");
        return false;
    }
    console.setIntervalSeconds(intervalSeconds);
    const OverviewConsole::Beside figures = console.beside(seconds);
    QString name
            = caseName(students) + QStringLiteral(", overview every %1 s").arg(intervalSeconds);
    if (trickling > 0)
        name += QStringLiteral(", %1 more trickling their streams over %2 s")
                        .arg(trickling)
                        .arg(trickleSeconds);
    if (silent > 0)
        name += QStringLiteral(", %1 more never answering").arg(silent);
    name += QStringLiteral(", for %1 s").arg(seconds);
    printResult(QStringLiteral("overview"),
                name + QStringLiteral(": longest wait of a well-behaved tile for its next picture"),
                figures.gapMs, NAN, QStringLiteral("ms"), Better::Lower,
                QStringLiteral("<= %1 ms").arg(2000 * intervalSeconds));
    printResult(
            QStringLiteral("overview"),
            name + QStringLiteral(": longest wait of a well-behaved tile for its first picture"),
            figures.firstMs, NAN, QStringLiteral("ms"), Better::Lower, {});
    printResult(QStringLiteral("overview"),
                name + QStringLiteral(": the teacher's \"Podgląd ekranu\" of another computer"),
                figures.teacherMs, NAN, QStringLiteral("ms"), Better::Lower,
                QStringLiteral("<= 2000 ms"));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    prepareEnvironment();
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const bool quick = arguments.contains(QStringLiteral("--quick"));
    // "--phases" prints where the time of each picture goes; "--stream-delay=N"
    // runs the cases with that pause of the students instead.
    const bool phases = arguments.contains(QStringLiteral("--phases"));
    printMachine();
    printNote(QStringLiteral("overview: the students are tools/agentsim with --after-stream-gap=0, "
                             "the capture delay and the pause between announcement and stream "
                             "given in the case; overview interval 1 s"));
    const int streamDelay = optionValue(arguments, QStringLiteral("--stream-delay"), 200);
    const Behaviour thirty{30, 200, streamDelay, {}};
    const Behaviour sixty{60, 200, streamDelay, {}};
    const Run class30{thirty, quick ? 1 : 5, quick ? 1 : 3, phases,
                      QStringLiteral("<= 1000 ms, <= 1.3x")};
    const Run class60{sixty, quick ? 1 : 3, quick ? 1 : 3, phases,
                      QStringLiteral("<= 2000 ms, <= 1.3x")};
    // The honest tiles beside a class gone wrong: 32 silent and 16
    // trickling computers beside 14 students, at the lesson's interval.
    const Behaviour fourteen{14, 200, streamDelay, {}};
    const bool beside = runBeside(thirty, 1, quick ? 5 : 15, 0, 1, quick ? 5 : 15)
                        && runBeside(fourteen, 16, 15, 32, 5, quick ? 20 : 60);
    return runCase(class30) && runCase(class60) && beside ? 0 : 1;
}
