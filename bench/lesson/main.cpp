// bench_lesson: a whole lesson on the real console, measured (see lesson.h).
//
//   bench_lesson [--minutes 45] [--students 30] [--capture-delay 200] [--out folder] [--check]
//
// --check is the suite's use: it ends with 1 when something was lost, the
// console stopped or its memory grew beyond --memory-bound; speed is never
// judged there.
#include "benchsupport.h"
#include "lesson.h"
#include "report.h"

#include "platform/tcpserver.h"
#include "shell/dialogs.h"
#include "shell/tfmain.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

// The teacher answers every box at once and starts the same program each time.
class TeacherDialogs : public Dialogs
{
public:
    void message(QWidget *, const QString &, const QString &text, Icon) override
    {
        std::fprintf(stderr, "lesson: box: %s\n", qPrintable(text));
    }
    bool question(QWidget *, const QString &, const QString &) override { return true; }
    bool inputText(QWidget *, const QString &, const QString &, QString &text) override
    {
        text = QStringLiteral("kalkulator.exe");
        return true;
    }
    QString saveFileName(QWidget *, const QString &, const QString &, const QString &) override
    {
        return {};
    }
};

struct Run
{
    lesson::Options options;
    bool check = false;
    double memoryBoundMiB = 400;
};

bool parse(const QStringList &arguments, Run &run, QString &error)
{
    QCommandLineParser parser;
    const QList<QCommandLineOption> options = {
            {QStringLiteral("minutes"), QStringLiteral("Length (fractions allowed)."),
             QStringLiteral("n")},
            {QStringLiteral("students"), QStringLiteral("Well-behaved students."),
             QStringLiteral("n")},
            {QStringLiteral("capture-delay"), QStringLiteral("Students' capture pause."),
             QStringLiteral("ms")},
            {QStringLiteral("screen-size"), QStringLiteral("Students' screens."),
             QStringLiteral("WxH")},
            {QStringLiteral("interval"), QStringLiteral("Overview interval."), QStringLiteral("s")},
            {QStringLiteral("poll-every"), QStringLiteral("A question to all."),
             QStringLiteral("s")},
            {QStringLiteral("group-every"), QStringLiteral("A group command."),
             QStringLiteral("s")},
            {QStringLiteral("out"), QStringLiteral("Folder for the CSV and chart."),
             QStringLiteral("folder")},
            {QStringLiteral("simulator"), QStringLiteral("The agent simulator."),
             QStringLiteral("path")},
            {QStringLiteral("memory-bound"), QStringLiteral("--check: growth allowed."),
             QStringLiteral("MiB")},
            {QStringLiteral("check"),
             QStringLiteral("Fail on anything lost or the console stopping.")},
            {QStringLiteral("quick"), QStringLiteral("A 3-minute lesson.")},
    };
    parser.addOptions(options);
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return false;
    }
    lesson::Options &o = run.options;
    bool ok = true;
    auto number = [&](const QString &name, auto &target) {
        if (parser.isSet(name)) {
            bool good = false;
            target = decltype(+target)(parser.value(name).toDouble(&good));
            ok = ok && good && target > 0;
        }
    };
    if (parser.isSet(QStringLiteral("quick")))
        o.minutes = 3;
    number(QStringLiteral("minutes"), o.minutes);
    number(QStringLiteral("students"), o.students);
    number(QStringLiteral("capture-delay"), o.captureDelayMs);
    number(QStringLiteral("interval"), o.overviewSeconds);
    number(QStringLiteral("poll-every"), o.pollSeconds);
    number(QStringLiteral("group-every"), o.groupSeconds);
    number(QStringLiteral("memory-bound"), run.memoryBoundMiB);
    if (parser.isSet(QStringLiteral("screen-size"))) {
        const QStringList wh = parser.value(QStringLiteral("screen-size")).split(QLatin1Char('x'));
        o.screenSize = QSize(wh.value(0).toInt(), wh.value(1).toInt());
        ok = ok && o.screenSize.width() >= 16 && o.screenSize.height() >= 16;
    }
    o.simulator = parser.isSet(QStringLiteral("simulator"))
                          ? parser.value(QStringLiteral("simulator"))
                          : QStringLiteral(DOCENTOR_AGENTSIM);
    o.outputFolder = parser.isSet(QStringLiteral("out"))
                             ? parser.value(QStringLiteral("out"))
                             : QStringLiteral("lesson-")
                                       + QDateTime::currentDateTime().toString(
                                               QStringLiteral("yyyyMMdd-HHmmss"));
    run.check = parser.isSet(QStringLiteral("check"));
    if (!ok)
        error = QStringLiteral("a number is not valid");
    return ok;
}

// What must never happen, whatever the machine's load.
int judgeCheck(const lesson::Lesson &lesson, const lesson::Verdicts &v, double boundMiB)
{
    QStringList faults;
    if (lesson.totals().simulatorFailed)
        faults << QStringLiteral("the simulator failed");
    if (v.lostAnswers || v.lostPackets || v.lostPictures)
        faults << QStringLiteral("lost: %1 answers, %2 packets, %3 pictures")
                          .arg(v.lostAnswers)
                          .arg(v.lostPackets)
                          .arg(v.lostPictures);
    if (lesson.totals().answers.sent == 0 || lesson.totals().pictures.sent == 0)
        faults << QStringLiteral("no answers or no pictures were sent at all");
    if (v.memoryGrowthMiB > boundMiB)
        faults << QStringLiteral("memory grew %1 MiB").arg(v.memoryGrowthMiB);
    // A window that let an event wait half a minute had stopped.
    if (lesson.totals().worstWaitMs > 30000 || v.commandsAnswered == 0)
        faults << QStringLiteral("the console stopped answering");
    for (const QString &fault : std::as_const(faults))
        std::fprintf(stderr, "lesson check: %s\n", qPrintable(fault));
    return faults.isEmpty() ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    bench::prepareEnvironment();
    QApplication app(argc, argv);
    Run run;
    QString error;
    if (!parse(app.arguments(), run, error)) {
        std::fprintf(stderr, "bench_lesson: %s\n", qPrintable(error));
        return 2;
    }
    TeacherDialogs dialogs;
    Dialogs::install(&dialogs);
    QDir().mkpath(run.options.outputFolder);
    bench::raiseFileLimit();
    bench::printMachine();
    bench::PrivateHome home;
    platform::TcpServer::setHostNameResolver([](const QByteArray &address) {
        return "SALA-" + address.mid(address.lastIndexOf('.') + 1);
    });
    int result = 0;
    {
        bench::Console console;
        lesson::Lesson lesson(console.main(), home.logFolder(), run.options);
        lesson.run();
        const lesson::Verdicts verdicts = lesson::judge(lesson, run.options);
        const QString chart = QDir(run.options.outputFolder).filePath(QStringLiteral("lesson.png"));
        if (!lesson::writeCsv(lesson, run.options.outputFolder)
            || !lesson::drawChart(lesson, run.options, chart))
            std::fprintf(stderr, "bench_lesson: could not write into %s\n",
                         qPrintable(run.options.outputFolder));
        // The day log goes with the figures: where something was lost, it tells how.
        const QDir logs(home.logFolder());
        QDir(run.options.outputFolder).mkpath(QStringLiteral("log"));
        for (const QString &name : logs.entryList(QDir::Files))
            QFile::copy(logs.filePath(name),
                        QDir(run.options.outputFolder).filePath(QStringLiteral("log/") + name));
        lesson::printSummary(lesson, verdicts);
        bench::printNote(QStringLiteral("lesson: samples, commands and chart in ")
                         + QDir(run.options.outputFolder).absolutePath());
        if (run.check)
            result = judgeCheck(lesson, verdicts, run.memoryBoundMiB);
        console.main().closeWithoutAsking = true;
    }
    platform::TcpServer::setHostNameResolver({});
    Dialogs::install(nullptr);
    return result;
}
