#pragma once

#include "link/messageanswer.h"
#include "link/packet.h"
#include "link/streamreception.h"
#include "platform/tcpserver.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

// What the console last learnt of one computer, with when it learnt it.
struct ComputerState
{
    // The latest screen picture as the agent sent it (JPEG bytes).
    QByteArray picture;
    QDateTime pictureTime;
    // The latest answer to a message, as the answer field shows it.
    QString answer;
    QDateTime answerTime;
    // The outcome line of the latest command sent to it.
    QString outcome;
    QDateTime outcomeTime;
    // The latest picture fitted into the class overview's tile.
    QImage thumbnail;
};

// One connected computer as the list shows it.
struct Computer
{
    platform::ConnectionPtr connection;
    QByteArray address;
    // As its lookup found it: empty until the lookup has ended (see
    // platform/hostnames.h), and what every text that names it shows.
    QByteArray hostName;
    quint16 port = 0;
    ComputerState state;
};

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
        // The pause between two send attempts.
        std::function<void(int ms)> sendPause;
        StreamReception::Timings streamTimings;
        StreamReception::ReadHook streamReadHook;
        qint64 streamMemoryLimit = StreamReception::Limits{}.memory;
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

    // The one working packet record: every command is written into it before
    // it goes out, and every packet that comes in is read into it, so a field
    // a packet does not set keeps what the packet before left there.
    PacketRecord CurrentPacket;
    // The number of the last packet accepted; one with the same number again
    // is a copy.
    qint32 LastPacketNo = 0;
    // Set from an announcement until its stream has ended; shared with the
    // reception's thread.
    std::atomic<bool> StreamInProgress{false};
    qint32 DeclaredStreamSize = 0;
    // The connection of the computer the latest command went to, or of the
    // latest announced stream.
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

    // In the list's order: by the address text as the locale compares it.
    const std::vector<Computer> &computers() const { return m_computers; }
    int indexOf(const platform::ConnectionPtr &connection) const;
    Computer *computerOf(const platform::ConnectionPtr &connection);

    // The computer the teacher's commands go to, by its address.
    void select(const QByteArray &address) { m_selected = address; }
    QByteArray selectedAddress() const { return m_selected; }
    // Points CurrentSocket at the first open connection from the selected
    // address; false when there is none.
    bool FindSelectedConnection();

    // --- Send and receive -------------------------------------------------------
    bool SendPacket(const platform::ConnectionPtr &socket, PacketRecord &packet);
    void MyServerClientRead(const platform::ConnectionPtr &socket);

    // Reports a status line and writes it to the day log too.
    void logStatus(const QString &text);
    // Reports a status line only.
    void showStatus(const QString &text) { emit statusText(text); }

    // Ends a stream reception that is still running and waits for its thread;
    // its result is dropped.
    void stopStream();

    // --- Glances: the class overview's screen pictures ------------------------
    // Asks the computer for its screen without a trace: no report, no day-log
    // entry, the working record left as it is but for the packet number,
    // which every packet of the console takes in turn. The computer's next
    // screen answer is the glance's: its stream is received by the same
    // rules without the first pause, and its picture fitted into bound.
    bool requestGlance(const platform::ConnectionPtr &connection, QSize bound);
    // Glances asked of this computer and not answered yet.
    int glancesAwaited(const platform::ConnectionPtr &connection) const;
    // How long an unanswered glance is waited for before an answer from the
    // computer is taken as the teacher's again.
    static constexpr int GlanceForgottenMs = 30000;

signals:
    void computerJoined(int index);
    // After the computer has left the list; index is where it stood.
    void computerLeft(int index);
    // The computer's name became known or changed.
    void computerRenamed(int index);
    void localHostInfo(const QString &text);
    void statusText(const QString &text);
    void sendReport(const QString &text);
    void receiveReport(const QString &text);
    void answerReceived(const platform::ConnectionPtr &connection, const MessageAnswer &answer);
    // The agent says the teacher need wait no longer.
    void waitEnded();
    void streamStarted(qint32 declared);
    void streamProgress(qint64 received);
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
    // A glance's stream has ended and StreamInProgress is clear again.
    void glanceFinished();

private:
    void wireServer();
    bool sendPacket(const platform::ConnectionPtr &socket, PacketRecord &packet, bool quiet);
    void startStream(const platform::ConnectionPtr &socket, bool screen);
    void finishStream(const StreamReception::Result &outcome);
    void dispatch(const platform::ConnectionPtr &socket);
    // Takes the packet when it answers a glance; false when it is the teacher's.
    bool takeGlanceAnswer(const platform::ConnectionPtr &socket, const PacketRecord &packet);
    void startGlance(const platform::ConnectionPtr &socket, qint32 declared, QSize bound);
    void keepPicture(const platform::ConnectionPtr &socket, const StreamReception::Result &outcome,
                     bool glance);

    std::vector<Computer> m_computers;
    QByteArray m_selected;
    std::unique_ptr<StreamReception> m_stream;
    // Stream bytes that came in one read with their announcement.
    QByteArray m_streamStart;
    struct Glance
    {
        std::weak_ptr<platform::Connection> connection;
        QSize bound;
        QDateTime askedAt;
    };
    // In the order asked: a computer answers in the order it was asked.
    std::vector<Glance> m_glances;
};
