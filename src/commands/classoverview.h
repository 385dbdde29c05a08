#pragma once

#include "link/roster.h"
#include "platform/tcpserver.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QTimer>

#include <memory>
#include <vector>

class Classroom;

namespace commands {

class Commander;

// Keeps a recent picture of every listed computer's screen while it is
// active: up to MaxOutstanding computers are asked at once, each at most once
// per interval, and the teacher always goes first. No request goes out while a
// teacher's command waits for its answer or a teacher's stream is received,
// and none to a computer whose teacher's wait has just ended, unless the
// teacher's picture of it refreshed its tile. The day log gets only the
// overview being switched on and off and a computer that stops answering.
// What a tile shows is kept with its computer (Computer::tile), and the
// roster tells the views when it changes.
class ClassOverview : public QObject
{
    Q_OBJECT
public:
    // Kept with each computer's record (Computer::tile).
    using TileState = Tile::State;

    struct Timings
    {
        // An announcement that does not come within this is no answer.
        int answerTimeoutMs = 5000;
        // Nor is a picture whose stream takes longer than this once
        // announced: a trickling computer gives its place up to another.
        // A student's picture takes under half a second: a few seconds is
        // ample, and a trickling computer holds a place no longer.
        int streamTimeoutMs = 5000;
        // The longest a teacher's command is waited for: the wait window's.
        int teacherWaitMs = 10000;
        // A computer the teacher asked for a stream is left alone this long
        // after the teacher's wait has ended: a slow one may still answer.
        int teacherGraceMs = 5000;
    };

    // Requests asked and not yet finished (announcement awaited or stream
    // received). A student takes about 0.4 s from request to last byte, so
    // 16 bring a class of 30 in two waves within a second; each stream holds
    // one thread and at most its picture, so threads and memory stay bounded
    // however large the class.
    static constexpr int MaxOutstanding = 16;

    static constexpr int DefaultIntervalSeconds = 5;
    static constexpr int MinIntervalSeconds = 1;
    static constexpr int MaxIntervalSeconds = 60;
    // A computer whose requests brought no picture waits its interval
    // doubled for each of them, at most this many times (8 intervals) and
    // at most a minute: silent or hostile ones cost the class few places,
    // and one that comes back is shown again within a minute.
    static constexpr int MaxBackoffSteps = 3;
    static constexpr int MaxBackoffMs = 60000;
    // Computers not known to answer (none of their pictures has come yet,
    // or their last request brought none) hold at most this many of the
    // places while some computer has stopped answering or one known to
    // answer is due: a class full of silent or trickling computers still
    // leaves a quarter of the places to the students whose tiles keep up,
    // and a fresh class is asked 16 at once.
    static constexpr int MaxOutstandingDoubtful = MaxOutstanding * 3 / 4;
    static constexpr const char *IntervalTag = "<OVERVIEW INTERVAL>";

    ClassOverview(Classroom &classroom, Commander &commander, QObject *parent = nullptr);

    Timings timings;

    void setActive(bool active);
    bool isActive() const { return m_active; }
    // The console is closing: no more requests, and no entry, since the
    // teacher switched nothing off.
    void shutDown();

    // Clamped to the allowed range; kept in the settings file.
    void setIntervalSeconds(int seconds);
    int intervalSeconds() const { return m_intervalSeconds; }
    // Takes the interval from the settings file (the default without one).
    void restoreInterval();

    // The size pictures are fitted into, the teacher's too.
    void setThumbnailBound(QSize bound);
    QSize thumbnailBound() const { return m_bound; }

    TileState stateOf(const platform::ConnectionPtr &connection) const;
    int outstanding() const { return int(m_outstanding.size()); }

private:
    struct Request
    {
        platform::ConnectionPtr connection;
        qint64 deadline = 0; // ms on m_clock
        bool announced = false;
        bool inDoubt = false; // see MaxOutstandingDoubtful
    };

    void pump();
    bool askIfDue(Computer *computer, qint64 now);
    static bool inDoubt(const Tile &tile);
    bool keepPlaces(const std::vector<Computer *> &computers, qint64 now) const;
    bool doubtfulPlacesFull(bool keepPlaces) const;
    bool due(const Computer &computer, qint64 now) const;
    qint64 waitAfterAsking(const Tile &tile) const;
    bool busy(const platform::ConnectionPtr &connection) const;
    void notSent(Computer *computer, qint64 now);
    void scheduleNext(qint64 now);
    void announced(const platform::ConnectionPtr &connection);
    bool forget(const platform::ConnectionPtr &connection);
    void armDeadline();
    void settle(const platform::ConnectionPtr &connection, TileState state);
    void answerTimedOut();
    void teacherAsked(Computer *computer);
    void teacherDone();
    void teacherPictureShown(const platform::ConnectionPtr &connection);
    void markDisconnected();

    Classroom &m_classroom;
    bool m_active = false;
    int m_intervalSeconds = DefaultIntervalSeconds;
    QSize m_bound{240, 135};
    bool m_teacherWaiting = false;
    // The computer of the teacher's latest wait.
    QPointer<Computer> m_teacherComputer;
    std::vector<Request> m_outstanding;
    // Streams still received past their bound, or announced after theirs:
    // not asked again until they end, and not counted among the outstanding.
    std::vector<platform::ConnectionPtr> m_lingering;
    size_t m_next = 0; // where the next round-robin search begins
    QElapsedTimer m_clock;
    QTimer m_pumpTimer;
    QTimer m_answerTimer;
    QTimer m_teacherTimer;
};

} // namespace commands
