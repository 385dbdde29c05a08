// The bulk streams that follow an announcement: a screen picture or a process
// list, each received on a thread of its own.
#include "link/classroom.h"

#include <algorithm>
#include <utility>

void Classroom::startStream(const platform::ConnectionPtr &socket, bool screen)
{
    DeclaredStreamSize = CurrentPacket.StreamSize;
    StreamInProgress = true;
    CurrentSocket = socket;
    // A teacher's stream still running from an earlier request (its wait
    // window long closed) goes on, but only the latest one is shown.
    if (m_teacherStream && m_teacherStream != socket) {
        const auto older = m_receptions.find(m_teacherStream.get());
        if (older != m_receptions.end())
            older->second.owner = Owner::Superseded;
    }
    m_teacherStream = socket;
    emit streamStarted(DeclaredStreamSize);
    // The reception keeps the announcing connection for itself, so a command
    // that re-points CurrentSocket meanwhile does not move the stream.
    auto stream = std::make_unique<StreamReception>(
            socket, DeclaredStreamSize,
            screen ? StreamReception::Kind::ScreenPicture : StreamReception::Kind::ProcessList,
            environment.streamTimings, StreamReception::Limits{environment.streamMemoryLimit},
            environment.streamReadHook);
    connect(stream.get(), &StreamReception::progress, this, [this, socket](qint64 received) {
        if (socket == m_teacherStream)
            emit streamProgress(received);
    });
    connect(stream.get(), &StreamReception::finished, this,
            [this, socket](const StreamReception::Result &outcome) {
                keepPicture(socket, outcome, false);
                finishTeacherStream(socket, outcome);
            });
    startReception(socket, std::move(stream), Owner::Teacher);
}

// Until the stream ends its bytes wait in their connection, which its
// reception alone reads, on its thread; the other connections are read as
// ever meanwhile.
void Classroom::startReception(const platform::ConnectionPtr &socket,
                               std::unique_ptr<StreamReception> stream, Owner owner)
{
    MyServer->holdReads(socket);
    stream->setFirstBytes(std::exchange(m_streamStart, {}));
    StreamReception *started = stream.get();
    m_receptions.emplace(socket.get(), Reception{std::move(stream), owner});
    started->start();
}

void Classroom::endReception(const platform::ConnectionPtr &socket)
{
    const auto found = m_receptions.find(socket.get());
    if (found != m_receptions.end()) {
        // It is the sender of the signal being handled: it goes once that
        // has returned (or with the classroom). Its thread has ended or is
        // about to.
        StreamReception *ended = found->second.stream.release();
        ended->setParent(this);
        ended->deleteLater();
        m_receptions.erase(found);
    }
    // Whatever arrived on it meanwhile is read now.
    MyServer->resumeReads(socket);
}

// StreamInProgress is cleared after the outcome has been reported.
void Classroom::finishTeacherStream(const platform::ConnectionPtr &socket,
                                    const StreamReception::Result &outcome)
{
    const auto found = m_receptions.find(socket.get());
    const bool shown = found != m_receptions.end() && found->second.owner == Owner::Teacher;
    if (shown)
        emit streamReceived(outcome);
    endReception(socket);
    if (!shown)
        return;
    m_teacherStream.reset();
    StreamInProgress = false;
    emit streamFinished();
}

void Classroom::stopStream()
{
    // Each joins its thread; no result is reported any more.
    for (auto &[connection, reception] : m_receptions) {
        reception.stream->disconnect(this);
        reception.stream.reset();
    }
    m_receptions.clear();
}

bool Classroom::requestGlance(const platform::ConnectionPtr &connection, QSize bound)
{
    if (!connection || !connection->isOpen())
        return false;
    // The teacher waits for this computer's picture: its answer is the
    // teacher's, not a glance's.
    const TeacherRequest &teacher = m_teacherAsked[1];
    if (teacher.connection.lock() == connection
        && m_clock.elapsed() - teacher.askedAt <= AnswerForgottenMs)
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
    // Reading begins at once: the agent sends the picture right after its
    // announcement, and the overview has no wait window to fill the pause.
    StreamReception::Timings timings = environment.streamTimings;
    timings.firstSleepMs = 0;
    auto stream = std::make_unique<StreamReception>(
            socket, declared, StreamReception::Kind::ScreenPicture, timings,
            StreamReception::Limits{environment.streamMemoryLimit}, environment.streamReadHook);
    stream->setPictureBound(bound);
    connect(stream.get(), &StreamReception::finished, this,
            [this, socket](const StreamReception::Result &outcome) {
                keepPicture(socket, outcome, true);
                emit glanceReceived(socket, outcome);
                endReception(socket);
                emit glanceFinished();
            });
    startReception(socket, std::move(stream), Owner::Glance);
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
