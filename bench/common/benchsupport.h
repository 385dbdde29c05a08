#pragma once

// What the benchmarks share. Each benchmark measures the console's work and,
// in the same run, the physical floor of that work (the same socket calls and
// file writes without the window), and prints one result line per figure:
//
//   RESULT <tab> benchmark <tab> case <tab> console <tab> floor <tab> unit
//          <tab> ratio <tab> target
//
// bench/run.sh gathers these lines into one table. The ratio is always "how
// many times worse than the floor": console/floor for times, floor/console
// for rates.

#include "link/packet.h"
#include "startup.h"

#include <QApplication>
#include <QByteArray>
#include <QHash>
#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <cmath>
#include <vector>

class TFMain;

namespace bench {

using Clock = std::chrono::steady_clock;

inline double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Call before the QApplication is made: the offscreen platform unless told
// otherwise, and a quiet console (no dialogs shown).
void prepareEnvironment();

// A private home for the console's files: $XDG_DATA_HOME and
// $XDG_RUNTIME_DIR point into a temporary folder, the update host to a closed
// port of this machine.
class PrivateHome
{
public:
    PrivateHome();
    ~PrivateHome();
    QString path() const { return m_dir.path(); }
    // The console's day log folder.
    QString logFolder() const;
    // How many entries of the day logs have exactly this "Info: " text.
    int countLogEntries(const QByteArray &info) const;

private:
    QTemporaryDir m_dir;
};

// A whole console in this process: the three windows, the server on a free
// port, the main window shown (offscreen). No version check is started.
class Console
{
public:
    Console();
    ~Console();
    Console(const Console &) = delete;
    Console &operator=(const Console &) = delete;

    TFMain &main() { return *m_windows.main; }
    quint16 port() const { return m_port; }

private:
    AppWindows m_windows;
    quint16 m_port = 0;
};

// The reverse name lookups of the console answered by the hosts file: each
// lookup is a real lookup of 127.0.0.1 through the system's name service
// (so it costs what a local lookup costs), and the answer is a computer name
// made from the address. Nothing leaves the machine, whatever the address.
// A round trip to a name server of the school's network can be added to
// each lookup.
class LocalNames
{
public:
    explicit LocalNames(int roundTripMs = 0);
    ~LocalNames();
};

// The source address of agent i: 127.0.x.y, a distinct address for each of up
// to 60000 agents, never 127.0.0.1.
QByteArray agentAddress(int index);

// A blocking loopback connection to the port, from the given source address
// (null: the system's choice), with Nagle off so that each write leaves at
// once. -1 on failure.
int connectAgent(quint16 port, const char *sourceAddress = nullptr);
// Writes all bytes (blocking); false on failure.
bool sendAll(int fd, const char *data, size_t size);
bool sendAll(int fd, const QByteArray &bytes);
// Closes every descriptor and clears the list.
void closeAll(std::vector<int> &fds);

// A valid packet text from an agent.
QByteArray packetText(qint32 number, qint32 command, qint32 flag, qint32 streamSize = 0);

// A listening socket on a free port of 127.0.0.1 for the floors; returns the
// descriptor and sets port.
int listenLoopback(quint16 &port);

// Resident set of this process in KiB (VmRSS).
qint64 residentKiB();
// Raises the soft limit of open descriptors to the hard limit; returns it.
qint64 raiseFileLimit();

double median(std::vector<double> values);
// p in [0, 100], nearest rank.
double percentile(std::vector<double> values, double p);
double maximum(const std::vector<double> &values);

// The machine line: processors, CPU model, memory, date.
void printMachine();

enum class Better { Lower, Higher };
// One result line; a floor of NaN (no floor for this figure) prints "-".
void printResult(const QString &benchmark, const QString &caseName, double console, double floor,
                 const QString &unit, Better better, const QString &target);

// Prints a note line that run.sh shows under the table.
void printNote(const QString &text);

// An application that can time every event its event loop dispatches (not
// those sent from inside another), to tell what a long wait of the window
// was spent on.
class TimedApplication : public QApplication
{
public:
    using QApplication::QApplication;
    bool notify(QObject *receiver, QEvent *event) override;

    void startTiming();
    // What the events since startTiming took, by kind (event type and the
    // receiver's class), the kinds that took longest first: one line each.
    QStringList stopTiming(int kinds);

private:
    struct Kind
    {
        int count = 0;
        double totalMs = 0;
        double longestMs = 0;
    };
    bool m_timing = false;
    int m_depth = 0;
    QHash<QString, Kind> m_kinds;
};

// Profiles only what is measured: run the benchmark under
//   perf record -D -1 --control=fifo:CTL,ACK ...
// with $BENCH_PERF_CONTROL=CTL and $BENCH_PERF_ACK=ACK, and perf samples only
// while a ProfiledSpan lives. Without them it does nothing.
class ProfiledSpan
{
public:
    ProfiledSpan();
    ~ProfiledSpan();
    ProfiledSpan(const ProfiledSpan &) = delete;
    ProfiledSpan &operator=(const ProfiledSpan &) = delete;
};

} // namespace bench
