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

#include "commands/classoverview.h"
#include "link/classroom.h"
#include "shell/tfmain.h"

#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QTreeView>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

using namespace bench;
using namespace bench::overview;

namespace {

// Runs the event loop until done() holds or timeoutMs has passed.
bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start(5);
    if (!done())
        loop.exec();
    return done();
}

void pause(int ms)
{
    waitFor([] { return false; }, ms);
}

// Posts an event to an object every millisecond, each noting how long it
// waited, until destroyed.
class Prober
{
public:
    explicit Prober(QObject *target)
        : m_thread([this, target] {
            while (m_running.load()) {
                const Clock::time_point posted = Clock::now();
                QMetaObject::invokeMethod(
                        target,
                        [this, posted] {
                            std::lock_guard lock(m_mutex);
                            m_waits.push_back(msBetween(posted, Clock::now()));
                        },
                        Qt::QueuedConnection);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        })
    {}
    ~Prober() { stop(); }
    std::vector<double> stop()
    {
        m_running = false;
        if (m_thread.joinable())
            m_thread.join();
        QCoreApplication::processEvents(); // the last ones posted
        std::lock_guard lock(m_mutex);
        return m_waits;
    }

private:
    std::atomic<bool> m_running{true};
    std::mutex m_mutex;
    std::vector<double> m_waits;
    std::thread m_thread;
};

// The console with the students listed and the overview's interval at one
// second; the overview is switched on by showing its tab. Misbehaving
// students, when given, are listed too but left out of the rounds' count.
class OverviewConsole
{
public:
    OverviewConsole(const Behaviour &students, bool phases,
                    const std::vector<Behaviour> &others = {});
    bool ready() const { return m_ready; }
    QSize bound() { return overview().thumbnailBound(); }
    // Milliseconds from showing the tab until every tile shows a picture
    // asked for since; NaN when that takes over a minute.
    double round();
    // The first round's resident memory before the tab was shown and after.
    qint64 residentBeforeKiB = 0;
    qint64 residentAfterKiB = 0;
    // The waits of events posted to the window while the overview goes
    // round this many times.
    std::vector<double> waitsDuringRounds(int rounds);
    void setIntervalSeconds(int seconds) { overview().setIntervalSeconds(seconds); }
    // Over this many seconds: the longest any well-behaved student's tile
    // went without a new picture, and the teacher's picture of one of them
    // asked halfway, from the click to its arrival (ms).
    std::pair<double, double> beside(int seconds);
    // Pictures announced whose stream did not come whole.
    int lost() const { return m_lost; }
    const Phases &phases() const { return m_phases; }

private:
    TFMain &main() { return m_console.main(); }
    commands::ClassOverview &overview() { return main().overview(); }
    void tileChanged(int index);
    void letIntervalPass();
    void switchOff();
    bool runUntil(std::function<bool()> done, int limitMs = 60000);
    static bool wellBehaved(const Computer &computer)
    {
        return computer.address.startsWith("127.0.1.");
    }
    void watchPhases();
    void askTeacherPicture(int row);

    PrivateHome m_home;
    LocalNames m_names;
    Console m_console;
    int m_students = 0;
    std::unique_ptr<Simulator> m_simulator;
    std::vector<std::unique_ptr<Simulator>> m_others;
    bool m_ready = false;
    QEventLoop m_loop;
    std::function<bool()> m_done;
    Clock::time_point m_doneAt;
    std::set<int> m_fresh;
    std::vector<Clock::time_point> m_refreshed; // while trickling: each tile's last
    std::vector<double> m_gaps;                 // and its longest wait
    int m_pictures = 0;
    int m_lost = 0;
    int m_rounds = 0;
    Phases m_phases;
    Clock::time_point m_shown, m_announced;
    std::atomic<Clock::time_point> m_lastRead{};
};

OverviewConsole::OverviewConsole(const Behaviour &students, bool phases,
                                 const std::vector<Behaviour> &others)
    : m_students(students.students)
{
    m_simulator
            = std::make_unique<Simulator>(m_console.port(), QStringLiteral("127.0.1.1"), students);
    int rows = m_students;
    for (const Behaviour &b : others) {
        const QString base = QStringLiteral("127.0.%1.1").arg(3 + m_others.size());
        m_others.push_back(std::make_unique<Simulator>(m_console.port(), base, b));
        rows += b.students;
    }
    QTreeView *list = main().RemoteComputersListView;
    m_ready = waitFor([list, rows] { return list->model()->rowCount() == rows; }, 60000);
    overview().setIntervalSeconds(1);
    QObject::connect(&main().classroom().roster(), &Roster::changed, &m_loop,
                     [this](Computer *computer) {
                         tileChanged(main().classroom().roster().rowOf(computer));
                     });
    if (phases)
        watchPhases();
    // A picture that does not come costs the round the reception's idle
    // limit: worth telling apart from a slow console.
    QObject::connect(
            &main().classroom(), &Classroom::glanceReceived, &m_loop,
            [this, phases](const platform::ConnectionPtr &c, const StreamReception::Result &r) {
                if (r.complete && !r.picture.isNull())
                    return;
                ++m_lost;
                if (phases)
                    std::fprintf(stderr, "console: %s sent %lld of %d bytes\n",
                                 c->peerAddress().constData(), r.received, r.declared);
            });
}

void OverviewConsole::tileChanged(int index)
{
    if (index < 0)
        return;
    const Computer &computer = *main().classroom().computers()[size_t(index)];
    const auto state = overview().stateOf(computer.connection);
    if (state == commands::ClassOverview::TileState::Current) {
        if (wellBehaved(computer))
            m_fresh.insert(index);
        ++m_pictures;
        if (size_t(index) < m_refreshed.size()) {
            const Clock::time_point now = Clock::now();
            m_gaps[size_t(index)]
                    = std::max(m_gaps[size_t(index)], msBetween(m_refreshed[size_t(index)], now));
            m_refreshed[size_t(index)] = now;
        }
    }
    if (m_done && m_done()) {
        m_doneAt = Clock::now();
        m_done = nullptr;
        m_loop.quit();
    }
}
// Where the time of each picture goes: the glance's announcement, the last
// read of its stream (on the reception's thread), and the tile told, which
// the overview does while the decoded picture is handed over; it asks for
// the next picture right after.
void OverviewConsole::watchPhases()
{
    Classroom &classroom = main().classroom();
    classroom.environment.streamReadHook = [this](qint64) {
        m_lastRead = Clock::now();
    };
    QObject::connect(&classroom, &Classroom::glanceAnnounced, &m_loop, [this] {
        m_announced = Clock::now();
        if (m_shown != Clock::time_point{})
            m_phases.ask.push_back(msBetween(m_shown, m_announced));
    });
    QObject::connect(&main().classroom().roster(), &Roster::changed, &m_loop, [this] {
        m_shown = Clock::now();
        m_phases.read.push_back(msBetween(m_announced, m_lastRead.load()));
        m_phases.decode.push_back(msBetween(m_lastRead.load(), m_shown));
    });
}

// The overview switched off, and no glance on its way: nothing of the
// console's runs while the floor has the machine.
void OverviewConsole::switchOff()
{
    main().PageControl1->setCurrentWidget(main().TabSheet1);
    Classroom &classroom = main().classroom();
    waitFor(
            [&classroom] {
                if (classroom.StreamInProgress.load())
                    return false;
                for (const Computer *c : classroom.computers()) {
                    if (classroom.glancesAwaited(c->connection) > 0)
                        return false;
                }
                return true;
            },
            30000);
}

// Shows the overview's tab and runs until done() holds (false after a
// minute without).
bool OverviewConsole::runUntil(std::function<bool()> done, int limitMs)
{
    m_done = std::move(done);
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &m_loop, &QEventLoop::quit);
    limit.start(limitMs);
    const Clock::time_point begin = Clock::now();
    main().PageControl1->setCurrentWidget(main().TabSheet5);
    // The tab's switch itself: its layout, and the overview's first request.
    m_phases.tabSwitch.push_back(msBetween(begin, Clock::now()));
    m_loop.exec();
    const bool met = !m_done;
    m_done = nullptr;
    return met;
}

// Every computer due again: the interval has passed since the last request.
void OverviewConsole::letIntervalPass()
{
    pause(overview().intervalSeconds() * 1000 + 100);
}

double OverviewConsole::round()
{
    letIntervalPass();
    m_fresh.clear();
    m_shown = {};
    const bool first = m_rounds++ == 0;
    if (first)
        residentBeforeKiB = residentKiB();
    const Clock::time_point begin = Clock::now();
    const bool met = runUntil([this] { return int(m_fresh.size()) == m_students; });
    if (first)
        residentAfterKiB = residentKiB();
    switchOff();
    if (!met) {
        std::fprintf(stderr, "console: %zu of %d tiles in a minute\n", m_fresh.size(), m_students);
        return NAN;
    }
    return msBetween(begin, m_doneAt);
}

std::vector<double> OverviewConsole::waitsDuringRounds(int rounds)
{
    letIntervalPass();
    m_pictures = 0;
    Prober prober(&main());
    if (!runUntil([this, rounds] { return m_pictures >= rounds * m_students; }))
        std::fprintf(stderr, "console: %d pictures in a minute\n", m_pictures);
    std::vector<double> waits = prober.stop();
    switchOff();
    return waits;
}

// As the teacher does: a click on the row, then on "Podgląd ekranu".
void OverviewConsole::askTeacherPicture(int row)
{
    QTreeView *list = main().RemoteComputersListView;
    list->setCurrentIndex(list->model()->index(row, 0));
    main().RemoteComputersListViewClick();
    main().ScreenShootButton->click();
}

std::pair<double, double> OverviewConsole::beside(int seconds)
{
    letIntervalPass();
    const Clock::time_point begin = Clock::now();
    const size_t tiles = main().classroom().computers().size();
    m_refreshed.assign(tiles, begin);
    m_gaps.assign(tiles, 0);
    double teacherMs = NAN;
    Clock::time_point asked;
    const QMetaObject::Connection arrived
            = QObject::connect(&main().classroom(), &Classroom::streamReceived, &m_loop,
                               [&] { teacherMs = msBetween(asked, Clock::now()); });
    QTimer::singleShot(seconds * 500, &m_loop, [&] {
        asked = Clock::now();
        askTeacherPicture(0);
    });
    runUntil([&] { return msBetween(begin, Clock::now()) >= seconds * 1000.0; },
             seconds * 1000 + 5000);
    QObject::disconnect(arrived);
    double worst = 0;
    const Clock::time_point end = Clock::now();
    for (size_t i = 0; i < tiles; ++i) {
        if (!wellBehaved(*main().classroom().computers()[i]))
            continue;
        worst = std::max({worst, m_gaps[i], msBetween(m_refreshed[i], end)});
    }
    m_refreshed.clear();
    switchOff();
    return {worst, teacherMs};
}

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
    const auto [worstGap, teacher] = console.beside(seconds);
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
                name + QStringLiteral(": longest wait of a well-behaved tile for its picture"),
                worstGap, NAN, QStringLiteral("ms"), Better::Lower,
                QStringLiteral("<= %1 ms").arg(2000 * intervalSeconds));
    printResult(QStringLiteral("overview"),
                name + QStringLiteral(": the teacher's \"Podgląd ekranu\" of another computer"),
                teacher, NAN, QStringLiteral("ms"), Better::Lower, QStringLiteral("<= 2000 ms"));
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
