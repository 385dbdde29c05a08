#pragma once

#include "platform/tcpserver.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The reception of one announced stream (a screen picture or a process list)
// on a thread of its own: it reads exactly the announced bytes off the
// announcing connection, within the console's bounds, and decodes them there,
// so that a large picture costs the user-interface thread only its showing.
// It reports on the thread that owns it.
//
// The reception's thread waits for its connection to become readable (or
// for its own time limits) and then takes what waits in large reads, straight
// into the kept stream; a picture is decoded as its bytes come, whenever
// nothing more waits to be read.
class StreamReception : public QObject
{
    Q_OBJECT
public:
    enum class Kind { ScreenPicture, ProcessList };

    // Times, not counted sleeps: reading starts at once, but a reception
    // does not end before firstSleepMs have passed (so what an agent sends
    // in that first pause, surplus included, counts as it always did), and
    // gives up once no byte has come for idleLimit + 1 rounds of idleSleepMs
    // (counted from the end of the first pause at the earliest). However
    // its bytes trickle, a stream takes at most WholeStreamIdleTimes idle
    // times after its first pause in all (30 s by default).
    struct Timings
    {
        int firstSleepMs = 1000;
        int idleSleepMs = 10;
        int idleLimit = 1000;
    };

    struct Limits
    {
        // The largest stream kept: far above a 40-megapixel picture or any
        // process list.
        qint64 memory = 256 * 1024 * 1024;
        // A stream of the class overview's, which gives way to the
        // teacher's in the budget of bytes in flight.
        bool overview = false;
    };

    // What all receptions together keep in memory at once: a full class of
    // 1080p pictures takes about 10 MiB, the longest process list 34 MiB,
    // so 256 MiB leave room for any honest class while a few hundred
    // hostile announcements cannot grow the console past it. The overview's
    // streams together take at most OverviewInFlight, so at least the rest
    // is always there for the teacher's own. A stream that finds no room is
    // read off and dropped, and ends as incomplete. Tests lower both.
    struct Budget
    {
        qint64 inFlight = 256 * 1024 * 1024;
        qint64 overviewInFlight = 192 * 1024 * 1024;
    };
    static void setBudget(const Budget &budget);
    // The bytes all receptions hold now.
    static qint64 bytesInFlight();

    // Called on the reception's thread after each read with the bytes
    // received so far; a test makes it throw.
    using ReadHook = std::function<void(qint64 received)>;

    struct Result
    {
        Kind kind = Kind::ScreenPicture;
        bool complete = false;
        // Every byte taken off the connection, surplus and bytes not kept
        // included; kept: those held in memory.
        qint64 received = 0;
        qint64 kept = 0;
        qint32 declared = 0;
        // Of a complete stream only.
        QString peerName;
        QString peerAddress;
        QImage picture;          // null when the bytes are no picture
        QSize pictureSize;       // its own size: picture may be fitted smaller
        QList<QStringList> rows; // caption, description, id
        QByteArray jpeg;         // the picture's bytes as they came
    };

    // Bytes beyond the declared size that are still read (and counted)
    // before the reception gives up: a flooding agent cannot keep the
    // receiver busy or grow the console's memory for ever.
    static constexpr qint64 SurplusLimit = 1024 * 1024;
    // The progress a single read used to make; the wait window moves in
    // steps of it at least.
    static constexpr qint64 ReadChunk = 1024;
    // At most this much is taken off the connection in one read.
    static constexpr qint64 LargeRead = 256 * 1024;
    // Reserved for the kept bytes at the start; a larger stream grows by
    // doubling, each step taken from the budget first.
    static constexpr qint64 FirstReserved = 1024 * 1024;
    static constexpr int WholeStreamIdleTimes = 3;
    // While waiting, how often the reception looks whether it was stopped.
    static constexpr int StopCheckMs = 20;

    StreamReception(platform::ConnectionPtr connection, qint32 declared, Kind kind,
                    const Timings &timings, const Limits &limits, ReadHook readHook = {},
                    QObject *parent = nullptr);
    // Stops the reception and waits for its thread.
    ~StreamReception() override;

    // The process list read into rows: caption, description, id.
    static QList<QStringList> processRows(QByteArrayView stream);

    // Stream bytes that came with the announcement itself: they are the
    // stream's first, read before anything else. Set before start.
    void setFirstBytes(const QByteArray &bytes) { m_firstBytes = bytes; }

    // A picture is fitted into bound (proportions kept) as it is decoded;
    // set before start. Empty: full size. enlarge: a smaller one is fitted
    // to it too.
    void setPictureBound(QSize bound, bool enlarge = true)
    {
        m_bound = bound;
        m_enlarge = enlarge;
    }

    void start();
    // Ends the reception promptly; its result (incomplete, unless all was
    // in) still comes unless the object goes first.
    void stop();

signals:
    // The bytes received so far. However fast they come, at most one report
    // waits at a time, it carries the latest figure when it is delivered,
    // and the last one before finished is exact.
    void progress(qint64 received);
    // Reading is over, whatever it brought: what is left is decoding the
    // picture's last bytes. Comes once, before finished.
    void readingEnded();
    void finished(const StreamReception::Result &result);

private:
    struct Reading;
    void run();
    void read(qint64 limit, Reading &reading);
    qint64 readOnce(Reading &reading, std::vector<char> &scratch);
    bool keepMore(Reading &reading, qint64 wanted);
    void took(Reading &reading, const char *data, qint64 n, qint64 room);
    void waitUntil(std::chrono::steady_clock::time_point deadline, bool readable);
    void decodeArrived(Reading &reading);
    void endReading(bool &over);
    void finish(Result &result, Reading &reading);
    void reportProgress(qint64 received);

    platform::ConnectionPtr m_connection;
    const qint32 m_declared;
    const Kind m_kind;
    const Timings m_timings;
    const Limits m_limits;
    const ReadHook m_readHook;
    QSize m_bound;
    bool m_enlarge = true;
    QByteArray m_firstBytes;
    std::atomic<bool> m_stop{false};
    std::mutex m_stopMutex;
    std::condition_variable m_stopped;
    std::atomic<qint64> m_latest{0};
    std::atomic<bool> m_progressWaiting{false};
    std::thread m_thread;
};
