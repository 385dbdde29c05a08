// Scale: 1000 agents, each from its own address, connect at once. Figures:
// the time until all their rows show (against a bare accept loop taking the
// same connections), the console's resident memory before and after, how
// long an event posted to the window waits while the connects flood in (the
// window answering a click), and the time until all rows are gone again once
// the agents leave.
#include "benchsupport.h"

#include "shell/tfmain.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <QTreeView>

#include <atomic>
#include <mutex>
#include <thread>

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace bench;

namespace {

constexpr int Agents = 1000;

// Connects every agent, as fast as the system takes them.
std::vector<int> connectAll(quint16 port, int count)
{
    std::vector<int> fds;
    for (int a = 0; a < count; ++a)
        fds.push_back(connectAgent(port, agentAddress(a).constData()));
    return fds;
}

struct ConsoleFigures
{
    double allListedMs = NAN;
    double allGoneMs = NAN;
    qint64 residentBeforeKiB = 0;
    qint64 residentAfterKiB = 0;
    std::vector<double> waits; // ms each posted event waited
};

// With "--phases": what the window's events took while the agents connected.
bool showPhases = false;

ConsoleFigures consoleRound(int agents, int lookupMs = 0)
{
    ConsoleFigures figures;
    PrivateHome home;
    LocalNames names(lookupMs);
    Console console;
    TFMain &main = console.main();
    QTreeView *list = main.RemoteComputersListView;
    QEventLoop loop;
    QTimer::singleShot(200, &loop, &QEventLoop::quit); // the window settles
    loop.exec();
    figures.residentBeforeKiB = residentKiB();

    // Every millisecond an event is posted to the window; it notes how long
    // it waited.
    std::atomic<bool> probing{true};
    std::mutex waitsMutex;
    std::thread prober([&] {
        while (probing.load()) {
            const Clock::time_point posted = Clock::now();
            QMetaObject::invokeMethod(
                    &main,
                    [&, posted] {
                        std::lock_guard lock(waitsMutex);
                        figures.waits.push_back(msBetween(posted, Clock::now()));
                    },
                    Qt::QueuedConnection);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    Clock::time_point listed;
    auto check = [&] {
        if (list->model()->rowCount() == agents && listed == Clock::time_point{}) {
            listed = Clock::now();
            loop.quit();
        }
    };
    const auto connection
            = QObject::connect(list->model(), &QAbstractItemModel::rowsInserted, &loop, check);
    const Clock::time_point begin = Clock::now();
    std::vector<int> fds;
    std::thread connector([&] { fds = connectAll(console.port(), agents); });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    auto *app = static_cast<TimedApplication *>(QCoreApplication::instance());
    if (showPhases)
        app->startTiming();
    {
        ProfiledSpan profiled;
        loop.exec();
    }
    if (showPhases) {
        for (const QString &line : app->stopTiming(8))
            std::fprintf(stderr, "%s\n", qPrintable(line));
    }
    QObject::disconnect(connection);
    probing = false;
    prober.join();
    connector.join();
    QCoreApplication::processEvents();
    if (listed != Clock::time_point{})
        figures.allListedMs = msBetween(begin, listed);
    figures.residentAfterKiB = residentKiB();

    // And all leave.
    Clock::time_point gone;
    QObject::connect(list->model(), &QAbstractItemModel::rowsRemoved, &loop, [&] {
        if (list->model()->rowCount() == 0) {
            gone = Clock::now();
            loop.quit();
        }
    });
    const Clock::time_point leaving = Clock::now();
    closeAll(fds);
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    loop.exec();
    if (gone != Clock::time_point{})
        figures.allGoneMs = msBetween(leaving, gone);
    return figures;
}

// A bare accept loop taking the same connections.
double floorRound(int agents)
{
    quint16 port = 0;
    const int listener = listenLoopback(port);
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listener;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &ev);

    std::vector<int> accepted;
    std::vector<int> fds;
    const Clock::time_point begin = Clock::now();
    std::thread connector([&] { fds = connectAll(port, agents); });
    epoll_event events[8];
    while (int(accepted.size()) < agents) {
        const int ready = ::epoll_wait(epoll, events, 8, 10000);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            std::fprintf(stderr, "floor: epoll_wait %d errno %d\n", ready, errno);
            break;
        }
        int fd;
        while ((fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0)
            accepted.push_back(fd);
    }
    const Clock::time_point end = Clock::now();
    connector.join();
    const bool all = int(accepted.size()) == agents;
    closeAll(fds);
    closeAll(accepted);
    ::close(epoll);
    ::close(listener);
    return all ? msBetween(begin, end) : NAN;
}

} // namespace

int main(int argc, char **argv)
{
    prepareEnvironment();
    TimedApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    showPhases = app.arguments().contains(QStringLiteral("--phases"));
    const qint64 limit = raiseFileLimit();
    printMachine();
    if (limit < 3 * Agents)
        printNote(QStringLiteral("scale: only %1 descriptors allowed").arg(limit));

    const int rounds = quick ? 1 : 3;
    std::vector<double> listed, gone, floors, waits;
    ConsoleFigures first;
    for (int r = 0; r < rounds; ++r) {
        const ConsoleFigures f = consoleRound(Agents);
        // Memory is told by the first round only: later ones reuse what the
        // earlier ones freed.
        if (r == 0)
            first = f;
        listed.push_back(f.allListedMs);
        gone.push_back(f.allGoneMs);
        waits.insert(waits.end(), f.waits.begin(), f.waits.end());
        floors.push_back(floorRound(Agents));
    }
    const QString agents = QStringLiteral("%1 agents").arg(Agents);
    printResult(QStringLiteral("scale"), agents + QStringLiteral(": all rows shown"),
                median(listed), median(floors), QStringLiteral("ms"), Better::Lower,
                QStringLiteral("<= 150 ms"));
    printResult(QStringLiteral("scale"), agents + QStringLiteral(": all rows gone after leaving"),
                median(gone), NAN, QStringLiteral("ms"), Better::Lower, {});
    printResult(QStringLiteral("scale"), agents + QStringLiteral(": resident memory before"),
                double(first.residentBeforeKiB) / 1024, NAN, QStringLiteral("MiB"), Better::Lower,
                {});
    printResult(QStringLiteral("scale"), agents + QStringLiteral(": resident memory after"),
                double(first.residentAfterKiB) / 1024, NAN, QStringLiteral("MiB"), Better::Lower,
                {});
    printResult(QStringLiteral("scale"), agents + QStringLiteral(": memory per connection"),
                double(first.residentAfterKiB - first.residentBeforeKiB) / Agents, NAN,
                QStringLiteral("KiB"), Better::Lower, {});
    printResult(QStringLiteral("scale"),
                agents + QStringLiteral(": posted event wait, p99 of %1").arg(waits.size()),
                percentile(waits, 99), NAN, QStringLiteral("ms"), Better::Lower,
                QStringLiteral("<= 20 ms"));
    printResult(QStringLiteral("scale"), agents + QStringLiteral(": posted event wait, worst"),
                maximum(waits), NAN, QStringLiteral("ms"), Better::Lower,
                QStringLiteral("<= 20 ms"));

    // The same flood with a name server that takes a millisecond to answer
    // each reverse lookup, as one on the school's network might: the console
    // asks it once per connect, on its lookup threads.
    const ConsoleFigures slow = consoleRound(Agents, 1);
    const QString slowCase = agents + QStringLiteral(", 1 ms name lookups");
    printResult(QStringLiteral("scale"), slowCase + QStringLiteral(": all rows shown"),
                slow.allListedMs, NAN, QStringLiteral("ms"), Better::Lower, {});
    printResult(QStringLiteral("scale"),
                slowCase + QStringLiteral(": posted event wait, p99 of %1").arg(slow.waits.size()),
                percentile(slow.waits, 99), NAN, QStringLiteral("ms"), Better::Lower,
                QStringLiteral("<= 100 ms"));
    printResult(QStringLiteral("scale"), slowCase + QStringLiteral(": posted event wait, worst"),
                maximum(slow.waits), NAN, QStringLiteral("ms"), Better::Lower,
                QStringLiteral("<= 100 ms"));
    return 0;
}
