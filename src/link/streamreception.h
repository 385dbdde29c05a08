#pragma once

#include "platform/tcpserver.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <thread>

// The reception of one announced stream (a screen picture or a process list)
// on a thread of its own: it reads exactly the announced bytes off the
// announcing connection, within the console's bounds, and decodes them there,
// so that a large picture costs the user-interface thread only its showing.
// It reports on the thread that owns it.
class StreamReception : public QObject
{
    Q_OBJECT
public:
    enum class Kind { ScreenPicture, ProcessList };

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
    };

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
        QList<QStringList> rows; // caption, description, id
        QByteArray jpeg;         // the picture's bytes as they came
    };

    // Bytes beyond the declared size that are still read (and counted)
    // before the reception gives up: a flooding agent cannot keep the
    // receiver busy or grow the console's memory for ever.
    static constexpr qint64 SurplusLimit = 1024 * 1024;
    static constexpr qint64 ReadChunk = 1024;
    // Reserved for the kept bytes at the start; a larger stream grows.
    static constexpr qint64 MaxReserved = 16 * 1024 * 1024;

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
    // set before start. Empty: full size.
    void setPictureBound(QSize bound) { m_bound = bound; }

    void start();
    // Ends the reception promptly; its result (incomplete, unless all was
    // in) still comes unless the object goes first.
    void stop();

signals:
    // The bytes received so far. However fast they come, at most one report
    // waits at a time, it carries the latest figure when it is delivered,
    // and the last one before finished is exact.
    void progress(qint64 received);
    void finished(const StreamReception::Result &result);

private:
    struct Reading;
    void run();
    void read(qint64 limit, Reading &reading);
    void reportProgress(qint64 received);

    platform::ConnectionPtr m_connection;
    const qint32 m_declared;
    const Kind m_kind;
    const Timings m_timings;
    const Limits m_limits;
    const ReadHook m_readHook;
    QSize m_bound;
    QByteArray m_firstBytes;
    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_latest{0};
    std::atomic<bool> m_progressWaiting{false};
    std::thread m_thread;
};
