// Class overview: thirty students with full-HD screens, played by the agent
// simulator (tools/agentsim) as a process of its own. Figures: one full round
// of the overview, from switching to its tab until the thirtieth tile shows a
// picture asked for since, against a bare loop that asks the same simulator
// for the same thirty pictures over blocking sockets, receives them and
// decodes them to the same thumbnail size; how long an event posted to the
// window every millisecond waits while the overview goes round; and the
// resident memory a tile costs.
#include "overviewclass.h"

#include "commands/classoverview.h"
#include "link/classroom.h"
#include "shell/tfmain.h"

#include <QApplication>
#include <QEventLoop>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>

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

// The console with the thirty students listed and the overview's interval at
// one second; the overview is switched on by showing its tab.
class OverviewConsole
{
public:
    OverviewConsole(int streamDelayMs, bool phases);
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
    // Pictures announced whose stream did not come whole.
    int lost() const { return m_lost; }
    const Phases &phases() const { return m_phases; }

private:
    TFMain &main() { return m_console.main(); }
    commands::ClassOverview &overview() { return main().overview(); }
    void tileChanged(int index);
    void letIntervalPass();
    void switchOff();
    bool runUntil(std::function<bool()> done);
    void watchPhases();

    PrivateHome m_home;
    LocalNames m_names;
    Console m_console;
    std::unique_ptr<Simulator> m_simulator;
    bool m_ready = false;
    QEventLoop m_loop;
    std::function<bool()> m_done;
    Clock::time_point m_doneAt;
    std::set<int> m_fresh;
    int m_pictures = 0;
    int m_lost = 0;
    int m_rounds = 0;
    Phases m_phases;
    Clock::time_point m_shown, m_announced;
    std::atomic<Clock::time_point> m_lastRead{};
};

OverviewConsole::OverviewConsole(int streamDelayMs, bool phases)
{
    m_simulator = std::make_unique<Simulator>(m_console.port(), QStringLiteral("127.0.1.1"),
                                              streamDelayMs);
    QTreeWidget *list = main().RemoteComputersListView;
    m_ready = waitFor([list] { return list->topLevelItemCount() == Students; }, 60000);
    overview().setIntervalSeconds(1);
    QObject::connect(&overview(), &commands::ClassOverview::tileChanged, &m_loop,
                     [this](int index) { tileChanged(index); });
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
    const Computer &computer = main().classroom().computers()[size_t(index)];
    const auto state = overview().stateOf(computer.connection);
    if (state == commands::ClassOverview::TileState::Current) {
        m_fresh.insert(index);
        ++m_pictures;
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
    QObject::connect(&overview(), &commands::ClassOverview::tileChanged, &m_loop, [this] {
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
                for (const Computer &c : classroom.computers()) {
                    if (classroom.glancesAwaited(c.connection) > 0)
                        return false;
                }
                return true;
            },
            30000);
}

// Shows the overview's tab and runs until done() holds (false after a
// minute without).
bool OverviewConsole::runUntil(std::function<bool()> done)
{
    m_done = std::move(done);
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &m_loop, &QEventLoop::quit);
    limit.start(60000);
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
    const bool met = runUntil([this] { return int(m_fresh.size()) == Students; });
    if (first)
        residentAfterKiB = residentKiB();
    switchOff();
    if (!met) {
        std::fprintf(stderr, "console: %zu of %d tiles in a minute\n", m_fresh.size(), Students);
        return NAN;
    }
    return msBetween(begin, m_doneAt);
}

std::vector<double> OverviewConsole::waitsDuringRounds(int rounds)
{
    letIntervalPass();
    m_pictures = 0;
    Prober prober(&main());
    if (!runUntil([this, rounds] { return m_pictures >= rounds * Students; }))
        std::fprintf(stderr, "console: %d pictures in a minute\n", m_pictures);
    std::vector<double> waits = prober.stop();
    switchOff();
    return waits;
}

int optionValue(const QStringList &arguments, const QString &name, int fallback)
{
    for (const QString &a : arguments) {
        if (a.startsWith(name + QLatin1Char('=')))
            return a.mid(name.size() + 1).toInt();
    }
    return fallback;
}

QString caseName(int streamDelayMs)
{
    return QStringLiteral("%1 students %2 x %3, stream %4 ms after announcing")
            .arg(Students)
            .arg(Screen.width())
            .arg(Screen.height())
            .arg(streamDelayMs);
}

struct Run
{
    int streamDelayMs = 0;
    int rounds = 0;
    int waitRounds = 0; // 0: no posted-event waits, no memory
    bool phases = false;
    QString target;
};

// One console and one floor, each with a simulator of its own, taking turns.
bool runCase(const Run &run)
{
    OverviewConsole console(run.streamDelayMs, run.phases);
    OverviewFloor floor(console.bound(), run.streamDelayMs);
    if (!console.ready() || !floor.ready()) {
        std::fprintf(stderr, "overview: the students did not all connect\n");
        return false;
    }
    std::vector<double> consoleRounds, floorRounds;
    for (int r = 0; r < run.rounds; ++r) {
        consoleRounds.push_back(console.round());
        floorRounds.push_back(floor.round());
    }
    const std::vector<double> waits = run.waitRounds > 0 ? console.waitsDuringRounds(run.waitRounds)
                                                         : std::vector<double>{};
    if (run.phases) {
        console.phases().print("console");
        floor.phases().print("floor");
    }
    const QString name = caseName(run.streamDelayMs);
    if (console.lost() > 0)
        printNote(QStringLiteral("overview, %1: %2 pictures announced did not come whole")
                          .arg(name)
                          .arg(console.lost()));
    const QSize bound = console.bound();
    printResult(QStringLiteral("overview"),
                name
                        + QStringLiteral(": one round (%1 x %2 tiles)")
                                  .arg(bound.width())
                                  .arg(bound.height()),
                median(consoleRounds), median(floorRounds), QStringLiteral("ms"), Better::Lower,
                run.target);
    if (run.waitRounds == 0)
        return true;
    printResult(QStringLiteral("overview"),
                name + QStringLiteral(": posted event wait, p99 of %1").arg(waits.size()),
                percentile(waits, 99), NAN, QStringLiteral("ms"), Better::Lower, {});
    printResult(QStringLiteral("overview"), name + QStringLiteral(": posted event wait, worst"),
                maximum(waits), NAN, QStringLiteral("ms"), Better::Lower,
                QStringLiteral("<= 100 ms"));
    printResult(QStringLiteral("overview"), name + QStringLiteral(": resident memory before"),
                double(console.residentBeforeKiB) / 1024, NAN, QStringLiteral("MiB"), Better::Lower,
                {});
    printResult(QStringLiteral("overview"), name + QStringLiteral(": memory per tile"),
                double(console.residentAfterKiB - console.residentBeforeKiB) / 1024 / Students, NAN,
                QStringLiteral("MiB"), Better::Lower, QStringLiteral("<= 2 MiB"));
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
    // runs the main case with that pause of the students instead.
    const bool phases = arguments.contains(QStringLiteral("--phases"));
    printMachine();
    printNote(QStringLiteral("overview: the students are tools/agentsim with --capture-delay=0 "
                             "--after-stream-gap=0 and the pause between announcement and stream "
                             "given in the case; overview interval 1 s"));
    // The students pause a little between the announcement and the stream,
    // as the console needs (see RESULTS.md); and at the simulator's default.
    const Run main{optionValue(arguments, QStringLiteral("--stream-delay"), 20), quick ? 2 : 5,
                   quick ? 1 : 3, phases, QStringLiteral("<= 3000 ms, <= 1.5x")};
    const Run pacedAsDefault{200, quick ? 1 : 3, 0, phases, QStringLiteral("<= 1.5x")};
    return runCase(main) && runCase(pacedAsDefault) ? 0 : 1;
}
