// The console going round the class overview, timed: its rounds, the
// waits of events posted meanwhile, and its tiles beside students who
// misbehave.
#include "overviewconsole.h"

#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QTreeView>

#include <mutex>
#include <thread>

namespace bench::overview {

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
} // namespace

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
            Clock::time_point &last = m_refreshed[size_t(index)];
            // The first picture's wait counts apart.
            if (last != Clock::time_point{})
                m_gaps[size_t(index)] = std::max(m_gaps[size_t(index)], msBetween(last, now));
            else
                m_first[size_t(index)] = msBetween(m_besideBegin, now);
            last = now;
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

OverviewConsole::Beside OverviewConsole::beside(int seconds)
{
    letIntervalPass();
    const Clock::time_point begin = m_besideBegin = Clock::now();
    const size_t tiles = main().classroom().computers().size();
    m_refreshed.assign(tiles, Clock::time_point{});
    m_gaps.assign(tiles, 0);
    m_first.assign(tiles, 0);
    Beside figures;
    Clock::time_point asked;
    const QMetaObject::Connection arrived
            = QObject::connect(&main().classroom(), &Classroom::streamReceived, &m_loop,
                               [&] { figures.teacherMs = msBetween(asked, Clock::now()); });
    QTimer::singleShot(seconds * 500, &m_loop, [&] {
        asked = Clock::now();
        askTeacherPicture(0);
    });
    runUntil([&] { return msBetween(begin, Clock::now()) >= seconds * 1000.0; },
             seconds * 1000 + 5000);
    QObject::disconnect(arrived);
    const Clock::time_point end = Clock::now();
    for (size_t i = 0; i < tiles; ++i) {
        if (!wellBehaved(*main().classroom().computers()[i]))
            continue;
        if (m_refreshed[i] == Clock::time_point{}) { // never a picture
            figures.firstMs = std::max(figures.firstMs, msBetween(begin, end));
            continue;
        }
        figures.firstMs = std::max(figures.firstMs, m_first[i]);
        figures.gapMs = std::max({figures.gapMs, m_gaps[i], msBetween(m_refreshed[i], end)});
    }
    m_refreshed.clear();
    switchOff();
    return figures;
}

} // namespace bench::overview
