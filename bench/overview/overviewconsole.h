#pragma once

#include "overviewclass.h"

#include "commands/classoverview.h"
#include "link/classroom.h"
#include "shell/tfmain.h"

#include <QEventLoop>

#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <utility>
#include <vector>

namespace bench::overview {

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
    // Over this many seconds (ms): the longest any well-behaved student's
    // tile waited for its first picture, and then between two pictures; the
    // teacher's picture of one of them asked halfway, from the click to its
    // arrival.
    struct Beside
    {
        double firstMs = 0;
        double gapMs = 0;
        double teacherMs = NAN;
    };
    Beside beside(int seconds);
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
    std::vector<double> m_gaps;                 // and its longest wait since
    std::vector<double> m_first;                // its first picture's wait
    Clock::time_point m_besideBegin;
    int m_pictures = 0;
    int m_lost = 0;
    int m_rounds = 0;
    Phases m_phases;
    Clock::time_point m_shown, m_announced;
    std::atomic<Clock::time_point> m_lastRead{};
};

} // namespace bench::overview
