// The bulk streams that follow an announcement: a screen picture or a process
// list, each received on a thread of its own.
#include "link/classroom.h"

#include <algorithm>
#include <utility>

void Classroom::startStream(const platform::ConnectionPtr &socket, bool screen)
{
    DeclaredStreamSize = CurrentPacket.StreamSize;
    StreamInProgress = true;
    // Until the stream ends, its bytes and other computers' packets wait in
    // their connections; the reception takes its own on its thread.
    MyServer->holdReads();
    CurrentSocket = socket;
    emit streamStarted(DeclaredStreamSize);
    // At most one reception at a time: the previous one has cleared
    // StreamInProgress, so its thread is at its end.
    m_stream.reset();
    // The reception keeps the announcing connection for itself, so a command
    // that re-points CurrentSocket meanwhile does not move the stream.
    m_stream = std::make_unique<StreamReception>(
            socket, DeclaredStreamSize,
            screen ? StreamReception::Kind::ScreenPicture : StreamReception::Kind::ProcessList,
            environment.streamTimings, StreamReception::Limits{environment.streamMemoryLimit},
            environment.streamReadHook);
    m_stream->setFirstBytes(std::exchange(m_streamStart, {}));
    connect(m_stream.get(), &StreamReception::progress, this, &Classroom::streamProgress);
    connect(m_stream.get(), &StreamReception::finished, this,
            [this, socket](const StreamReception::Result &outcome) {
                keepPicture(socket, outcome, false);
                finishStream(outcome);
            });
    m_stream->start();
}

// StreamInProgress is cleared after the outcome has been reported.
void Classroom::finishStream(const StreamReception::Result &outcome)
{
    emit streamReceived(outcome);
    StreamInProgress = false;
    // Whatever arrived on other connections meanwhile is read now.
    MyServer->resumeReads();
    emit streamFinished();
}

void Classroom::stopStream()
{
    m_stream.reset();
}

bool Classroom::requestGlance(const platform::ConnectionPtr &connection, QSize bound)
{
    if (!connection || !connection->isOpen())
        return false;
    PacketRecord request = packet::cleanRecord(CurrentPacket);
    request.iCommand = packet::ScreenShot;
    request.iFlag = 0;
    if (!sendPacket(connection, request, true))
        return false;
    // The number is the one counter all packets of the console share.
    CurrentPacket.iPacketNo = request.iPacketNo;
    m_glances.push_back({connection, bound, QDateTime::currentDateTime()});
    return true;
}

int Classroom::glancesAwaited(const platform::ConnectionPtr &connection) const
{
    return int(std::count_if(m_glances.begin(), m_glances.end(),
                             [&](const Glance &g) { return g.connection.lock() == connection; }));
}

bool Classroom::takeGlanceAnswer(const platform::ConnectionPtr &socket, const PacketRecord &packet)
{
    const QDateTime now = QDateTime::currentDateTime();
    std::erase_if(m_glances, [&](const Glance &g) {
        return g.connection.expired() || g.askedAt.msecsTo(now) > GlanceForgottenMs;
    });
    const bool screenAnswer = packet.Pass == packet::PassValue
                              && packet.iCommand == packet::ScreenShot
                              && (packet.iFlag == packet::ScreenAnnounceFlag
                                  || packet.iFlag == packet::ScreenCloseWaitFlag);
    if (!screenAnswer)
        return false;
    const auto glance = std::find_if(m_glances.begin(), m_glances.end(), [&](const Glance &g) {
        return g.connection.lock() == socket;
    });
    if (glance == m_glances.end())
        return false;
    const QSize bound = glance->bound;
    m_glances.erase(glance);
    if (packet.iFlag == packet::ScreenCloseWaitFlag) {
        emit glanceRefused(socket);
        return true;
    }
    emit glanceAnnounced(socket);
    startGlance(socket, packet.StreamSize, bound);
    return true;
}

void Classroom::startGlance(const platform::ConnectionPtr &socket, qint32 declared, QSize bound)
{
    StreamInProgress = true;
    MyServer->holdReads();
    m_stream.reset();
    // Reading begins at once: the agent sends the picture right after its
    // announcement, and the overview has no wait window to fill the pause.
    StreamReception::Timings timings = environment.streamTimings;
    timings.firstSleepMs = 0;
    m_stream = std::make_unique<StreamReception>(
            socket, declared, StreamReception::Kind::ScreenPicture, timings,
            StreamReception::Limits{environment.streamMemoryLimit}, environment.streamReadHook);
    m_stream->setPictureBound(bound);
    m_stream->setFirstBytes(std::exchange(m_streamStart, {}));
    connect(m_stream.get(), &StreamReception::finished, this,
            [this, socket](const StreamReception::Result &outcome) {
                keepPicture(socket, outcome, true);
                emit glanceReceived(socket, outcome);
                StreamInProgress = false;
                MyServer->resumeReads();
                emit glanceFinished();
            });
    m_stream->start();
}

// A picture is kept with its computer, as the agent sent it.
void Classroom::keepPicture(const platform::ConnectionPtr &socket,
                            const StreamReception::Result &outcome, bool glance)
{
    Computer *computer = computerOf(socket);
    if (!computer || !outcome.complete || outcome.picture.isNull())
        return;
    keepPictureBytes(*computer, outcome.jpeg);
    // A teacher's picture is full size: the tile waits for a glance rather
    // than keep a second full picture.
    if (glance)
        computer->state.thumbnail = outcome.picture;
}
