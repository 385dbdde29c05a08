#pragma once

// What the lesson measures of the console's own process and files.

#include <QEvent>
#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>

namespace lesson {

struct ProcessFigures
{
    double residentMiB = 0;
    int descriptors = 0;
    int threads = 0;
};
// This process as /proc/self tells it.
ProcessFigures readProcess();

// Bytes of all the files directly in the folder.
qint64 folderBytes(const QString &folder);

// The received packets the day logs hold, told apart by packet number: the
// well-behaved students number theirs below firstOtherNumber. Screen answers
// are left out (the overview's leave no trace by design), and so is what was
// no packet of an agent (a wrong pass value: stray stream bytes).
struct LoggedPackets
{
    qint64 wellBehaved = 0;
    qint64 other = 0;
    // Entries of the log that say how many packets were left out of it.
    qint64 leftOut = 0;
    // Of all above: those logged as a copy and dropped.
    qint64 copies = 0;
};
LoggedPackets countLoggedPackets(const QString &folder, qint64 firstOtherNumber);

// How long an event posted to the window's thread waits before it is
// delivered: a thread of its own posts one every period, so a window that
// is busy or stuck cannot hold back the posting itself.
class PostedWaitProbe : public QObject
{
public:
    explicit PostedWaitProbe(int periodMs);
    ~PostedWaitProbe() override;

    // The longest wait delivered since the last call, in ms; an event that is
    // still waiting counts with its wait so far.
    double takeWorst();
    double worstEver() const { return m_worstEver; }
    // Of the waits delivered: how many, and how many over 100 ms.
    qint64 delivered() const { return m_deliveredCount; }
    qint64 over100() const { return m_over100; }

protected:
    bool event(QEvent *event) override;

private:
    using Clock = std::chrono::steady_clock;
    void run(int periodMs);

    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    // Post times of the events not delivered yet, oldest first.
    std::deque<Clock::time_point> m_pending;
    double m_worst = 0;
    double m_worstEver = 0;
    qint64 m_deliveredCount = 0;
    qint64 m_over100 = 0;
};

} // namespace lesson
