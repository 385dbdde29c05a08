#pragma once

#include "link/messageanswer.h"
#include "link/packet.h"
#include "link/roster.h"
#include "link/streamreception.h"
#include "platform/tcpserver.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

// The error the server raises when it cannot listen; start-up shows its text.
class SocketError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The console's side of the classroom network, without any window: the
// listening server, the list of connected computers, the send path, the
// receive rules and the streams, and the day log of all of it. Whatever a
// window shows comes out of its signals as the texts to show.
class Classroom : public QObject
{
    Q_OBJECT
public:
    // What tests and tools change; the console keeps the defaults.
    struct Environment
    {
        // Waits at most ms for a connection that took nothing to take more;
        // the send path's only pause between two attempts.
        std::function<void(platform::Connection &connection, int ms)> sendWait;
        StreamReception::Timings streamTimings;
        StreamReception::ReadHook streamReadHook;
        qint64 streamMemoryLimit = StreamReception::Limits{}.memory;
        // What the console keeps of screen pictures: one computer's at most,
        // all computers' together at most (the oldest let go first).
        qint64 pictureKeptLimit = 16 * 1024 * 1024;
        qint64 picturesKeptLimit = 256 * 1024 * 1024;
        // The day log takes at most this many packets a second from one
        // address, however many connections it opens. An agent speaks only
        // when spoken to, and the teacher's clicks with the overview's
        // glances ask it a few times a second at most: only a flood reaches
        // this.
        int loggedPacketsPerSecond = 20;
        // ... and at most this many from all agents together: a question
        // to a class of 64 has every answer logged within its second, and
        // eight flooding addresses cost the log no more than three would.
        int loggedPacketsPerSecondInAll = 64;
    };

    explicit Classroom(QObject *parent = nullptr);
    ~Classroom() override;

    Environment environment;
    // The port the server listens on when set (0: any free port); the console
    // itself always uses 6500.
    static int listenPortOverride;

    platform::TcpServer *const MyServer;
    QByteArray LocalHostName;
    QByteArray LocalIP;
    quint32 ServerPort = 0;

    // The last packet sent or received, as the windows and the day log show
    // it. Nothing is sent from it: every command sends a packet of its own.
    PacketRecord CurrentPacket;
    // The number of the last packet accepted from any computer, as shown;
    // the copy check takes each connection's own (Conversation).
    qint32 LastPacketNo = 0;
    // The teacher's stream (a picture or process list the teacher asked for)
    // is being received: set from its announcement until it has ended. The
    // window and the overview read it; the streams of glances and the other
    // computers' packets go on meanwhile, each connection on its own.
    std::atomic<bool> StreamInProgress{false};
    qint32 DeclaredStreamSize = 0;
    // The connection of the computer the latest command went to, or of the
    // latest announced stream; read by nobody to decide anything.
    platform::ConnectionPtr CurrentSocket;

    // --- Server and registry ----------------------------------------------------
    // Looks up this machine's name and address and reports them.
    void ShowLocalHostInfo();
    // Throws SocketError when the port cannot be opened.
    void StartServer();
    void MyServerClientConnect(const platform::ConnectionPtr &socket);
    void MyServerClientDisconnect(const platform::ConnectionPtr &socket);
    void MyServerClientError(const platform::ConnectionPtr &socket, int &errorCode);
    void ServerSocketError(int &errorCode);
    void MyServerClientRefused(const QByteArray &address);
    void MyServerClientNamed(const platform::ConnectionPtr &socket);

    // Every connected computer, one object each, in the order they came.
    Roster &roster() { return m_roster; }
    const Roster &roster() const { return m_roster; }
    const std::vector<Computer *> &computers() const { return m_roster.computers(); }
    Computer *computerOf(const platform::ConnectionPtr &connection) const
    {
        return m_roster.computerOf(connection);
    }

    // The computer the teacher's commands go to. It stays selected after
    // it has left, so that a command then finds no connection.
    void select(Computer *computer)
    {
        m_selected = computer;
        m_selectedArrival = computer ? computer->arrival : 0;
    }
    // Null once the computer has gone; its arrival number stays.
    Computer *selected() const { return m_selected; }
    quint64 selectedArrival() const { return m_selectedArrival; }
    // Points CurrentSocket at the selected computer's connection; false
    // when it is no longer listed.
    bool FindSelectedConnection();

    // --- Send and receive -------------------------------------------------------
    // Stamps the record with the pass value and the next number of the one
    // sequence, sends it and reports it; the record is then CurrentPacket.
    bool SendPacket(const platform::ConnectionPtr &socket, PacketRecord &packet);
    // The same for a packet given as a value, to one computer.
    bool send(Computer *computer, PacketRecord packet);
    void MyServerClientRead(const platform::ConnectionPtr &socket);

    // Reports a status line and writes it to the day log too.
    void logStatus(const QString &text);
    // Reports a status line only.
    void showStatus(const QString &text) { emit statusText(text); }

    // The computer whose stream the teacher receives; null when none is
    // received or its computer has left.
    Computer *teacherStreamComputer() const { return computerOf(m_teacherStream); }

    // Ends every stream reception that is still running and waits for their
    // threads; their results are dropped.
    void stopStream();

    // A packet that has taken nothing is tried again for at most this long
    // in all: the window never waits longer on one student's socket, and a
    // connection that takes nothing by then is given up.
    static constexpr int SendBudgetMs = 500;
    static constexpr int SendWaitStepMs = 10;
    // A stream is read only from a computer asked for that kind of stream
    // that has not answered yet, and only for this long after the asking.
    static constexpr int AnswerForgottenMs = 30000;
    // A stream nobody asked for is read off and dropped; the day log says so
    // once a minute per connection.
    static constexpr qint64 UnaskedReportIntervalMs = 60 * 1000;

    // --- Glances: the class overview's screen pictures ------------------------
    // Asks the computer for its screen without a trace: no report, no day-log
    // entry, CurrentPacket left as it is; the packet takes the next number of
    // the one sequence all packets of the console share. The computer's next
    // screen answer is the glance's: its stream is received by the same
    // rules without the first pause, and its picture fitted into bound.
    bool requestGlance(const platform::ConnectionPtr &connection, QSize bound);
    // The overview waits no longer for the computer's pictures: an
    // announcement that comes later is read off and dropped as unasked.
    void giveUpGlances(const platform::ConnectionPtr &connection);
    // Glances asked of this computer and not answered yet.
    int glancesAwaited(const platform::ConnectionPtr &connection) const;
    // How long an unanswered glance is waited for.
    static constexpr int GlanceForgottenMs = AnswerForgottenMs;
    // What a teacher's picture is fitted into for its computer's tile, as a
    // glance's is; empty: the tile waits for a glance.
    void setTileBound(QSize bound) { m_tileBound = bound; }
    // The teacher's pictures larger than this are fitted into it as they
    // are decoded (the window's preview); empty: full size.
    void setScreenBound(QSize bound) { m_screenBound = bound; }

signals:
    void localHostInfo(const QString &text);
    void statusText(const QString &text);
    void sendReport(const QString &text);
    void receiveReport(const QString &text);
    // The packet is the computer's answer as it came.
    void answerReceived(Computer *computer, const PacketRecord &packet,
                        const MessageAnswer &answer);
    // The agent says the teacher need wait no longer.
    void waitEnded();
    void streamStarted(qint32 declared);
    void streamProgress(qint64 received);
    // The teacher's stream has been read, whatever it brought: the wait is
    // over while its picture's last rows are decoded. Before streamReceived.
    void teacherStreamRead();
    // The stream's outcome, before StreamInProgress is cleared.
    void streamReceived(const StreamReception::Result &result);
    // After StreamInProgress is cleared and reading has resumed.
    void streamFinished();
    // A handler met an error; the text is what it said.
    void failed(const QString &what);

    void glanceAnnounced(const platform::ConnectionPtr &connection);
    // The glance's outcome; a complete picture is kept with its computer
    // (thumbnail, JPEG bytes and time) before this is raised.
    void glanceReceived(const platform::ConnectionPtr &connection,
                        const StreamReception::Result &result);
    // The computer answered a glance without a picture.
    void glanceRefused(const platform::ConnectionPtr &connection);
    // The teacher asked the computer for its picture: the glance waiting for
    // it is given up, the teacher takes the computer's next picture.
    void glanceDropped(const platform::ConnectionPtr &connection);
    // A glance's stream has ended and its connection is read again.
    void glanceFinished();
    // The teacher's picture of the computer, fitted into the tile's bound,
    // is its thumbnail now (kept before this is raised).
    void teacherPictureFitted(const platform::ConnectionPtr &connection);

private:
    // What the teacher asked for and is not answered yet, per kind.
    struct TeacherRequest
    {
        std::weak_ptr<platform::Connection> connection;
        qint64 askedAt = 0;
    };

    void wireServer();
    bool sendPacket(const platform::ConnectionPtr &socket, PacketRecord &packet, bool quiet);
    void timedOut(const platform::ConnectionPtr &socket, PacketRecord &packet, bool quiet,
                  bool partial);
    void noteTeacherRequest(const platform::ConnectionPtr &socket, const PacketRecord &packet);
    bool takeTeacherRequest(const platform::ConnectionPtr &socket, bool screen);
    void startStream(const platform::ConnectionPtr &socket, bool screen, qint32 declared);
    void startReception(const platform::ConnectionPtr &socket, std::unique_ptr<StreamReception> s);
    void endReception(const platform::ConnectionPtr &socket, StreamReception *ended);
    // What the leaving computer was still asked ends with it.
    void endChannel(Channel &channel);
    void finishTeacherStream();
    void dispatch(const platform::ConnectionPtr &socket, const PacketRecord &p);
    void announced(const platform::ConnectionPtr &socket, bool screen, qint32 declared);
    void dropUnasked(const platform::ConnectionPtr &socket, qint32 declared);
    // Whether a status of the computer answers a command of the teacher's.
    bool answersTeacher(const platform::ConnectionPtr &socket);

public:
    // Whether the computer has a question of the teacher's to answer: its
    // answer goes before any picture the overview would ask of it. A
    // question not answered within QuestionOpenMs is over.
    bool questionOpen(const Computer &computer) const;
    static constexpr int QuestionOpenMs = 60000;

private:
    // Reads off what is left of a dropped stream; false while some is left.
    bool readOffDropped(const platform::ConnectionPtr &socket);
    qint64 idleBudgetMs() const;
    // Takes the packet when it answers a glance; false when it is not one.
    bool takeGlanceAnswer(const platform::ConnectionPtr &socket, const PacketRecord &packet);
    void startGlance(const platform::ConnectionPtr &socket, qint32 declared, QSize bound);
    void keepPicture(const platform::ConnectionPtr &socket, const StreamReception::Result &outcome,
                     bool glance);
    void keepPictureBytes(Computer &computer, const QByteArray &jpeg);
    void fitTeacherPicture(Computer &computer, const StreamReception::Result &outcome);
    // Lets the oldest pictures but the newest go until the kept ones fit.
    void trimPictures(const Computer *newest);
    // Whether the day log takes this packet of the connection; a packet left
    // out is counted, and said by reportLeftOut within a second.
    bool logsPacketOf(const Computer &computer);
    // Says how many packets of the address the log left out, if any, and
    // forgets its share when none of its connections is left.
    void reportLeftOut(const QByteArray &address);
    void reportAllLeftOut();

    Roster m_roster;
    QPointer<Computer> m_selected;
    quint64 m_selectedArrival = 0;
    // The number of the last packet sent, or accepted from any computer:
    // the next packet the console sends takes the one after it.
    qint32 m_packetNo = 0;
    // Whether the packet being handled goes into the day log.
    bool m_packetLogged = true;
    // The day log's share of one address's packets in the current second,
    // and those left out since the last entry that said so.
    struct LogShare
    {
        qint64 second = -1;
        int logged = 0;
        qint64 leftOut = 0;
        QByteArray hostName;
    };
    std::map<QByteArray, LogShare> m_logShares;
    LogShare m_allAgentsShare;
    QTimer m_leftOutTimer;
    // Large buffers kept for the next pictures are let go once the class has
    // been quiet this long: reused while pictures keep coming (the overview
    // asks every 5 s at first), never held after a burst is over.
    static constexpr int IdleBuffersMs = 8000;
    QTimer m_idleBuffersTimer;
    // The connection of the teacher's stream being received; null when none.
    platform::ConnectionPtr m_teacherStream;
    TeacherRequest m_teacherAsked[2]; // [0] process list, [1] screen
    QElapsedTimer m_clock;
    // Stream bytes that came in one read with their announcement.
    QByteArray m_streamStart;
    QSize m_tileBound;
    QSize m_screenBound;
    // Fits the teacher's pictures for their tiles, one at a time, off the
    // window's thread.
    QThreadPool m_fitPool;
};
