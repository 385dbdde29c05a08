#pragma once

// The class of the overview benchmark: the agent simulator's students as a
// process of their own, and the bare loops that are the console's floors.

#include "benchsupport.h"

#include <QImage>
#include <QProcess>
#include <QSize>
#include <QStringList>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include <turbojpeg.h>

namespace bench::overview {

inline const QSize Screen(1920, 1080);

// How the simulator's students behave; faults are the simulator's options.
struct Behaviour
{
    int students = 30;
    int captureDelayMs = 200;
    int streamDelayMs = 200;
    QStringList faults;
};

// Medians of the phases of the pictures of a run, printed with --phases:
// from the request to the announcement read, from there to the stream's last
// read, and from there to the thumbnail made (the console: and its tile told).
struct Phases
{
    std::vector<double> ask, read, decode;
    std::vector<double> tabSwitch; // the console: showing the tab, synchronously
    void print(const char *who) const
    {
        std::fprintf(stderr,
                     "%s, medians of %zu pictures: asked -> announced %.1f ms, -> last byte "
                     "read %.1f ms, -> thumbnail %.1f ms",
                     who, decode.size(), median(ask), median(read), median(decode));
        if (!tabSwitch.empty())
            std::fprintf(stderr, "; showing the tab %.1f ms (worst %.1f)", median(tabSwitch),
                         maximum(tabSwitch));
        std::fprintf(stderr, "\n");
    }
};

// The simulator's students, connected to port, each from its own address
// from sourceBase on, taking no pause after a stream.
class Simulator
{
public:
    Simulator(quint16 port, const QString &sourceBase, const Behaviour &behaviour);
    ~Simulator();

private:
    QProcess m_process;
};

// The bare loop: the simulator's students connected to a plain listening
// socket over blocking sockets, asked by a number of threads at once, each
// receiving and decoding its pictures itself, as the console's receptions do.
class OverviewFloor
{
public:
    OverviewFloor(QSize bound, const Behaviour &behaviour);
    ~OverviewFloor();
    bool ready() const { return int(m_fds.size()) == m_students; }
    // Milliseconds for every student's picture with this many asked at once;
    // NaN when one failed.
    double round(int atOnce);
    const Phases &phases() const { return m_phases; }

private:
    struct Worker;
    bool picture(int fd, Worker &worker);
    QImage thumbnail(const QByteArray &jpeg, tjhandle decoder) const;

    QSize m_bound;
    int m_students;
    int m_listener = -1;
    std::vector<int> m_fds;
    std::unique_ptr<Simulator> m_simulator;
    std::atomic<qint32> m_number{0};
    std::mutex m_phasesMutex;
    Phases m_phases;
};

} // namespace bench::overview
