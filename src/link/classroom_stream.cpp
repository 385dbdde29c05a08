// The bulk streams that follow an announcement: a screen picture or a process
// list, each received on a thread of its own.
#include "link/classroom.h"

#include "link/jpegimage.h"

#include <algorithm>
#include <utility>

void Classroom::startStream(const platform::ConnectionPtr &socket, bool screen, qint32 declared)
{
    DeclaredStreamSize = declared;
    StreamInProgress = true;
    CurrentSocket = socket;
    // A teacher's stream still running from an earlier request (its wait
    // window long closed) goes on, but only the latest one is shown.
    m_teacherStream = socket;
    emit streamStarted(DeclaredStreamSize);
    // The reception keeps the announcing connection for itself, so a command
    // that re-points CurrentSocket meanwhile does not move the stream.
    auto stream = std::make_unique<StreamReception>(
            socket, DeclaredStreamSize,
            screen ? StreamReception::Kind::ScreenPicture : StreamReception::Kind::ProcessList,
            environment.streamTimings, StreamReception::Limits{environment.streamMemoryLimit},
            environment.streamReadHook);
    // Decoded at the size it is shown at: the decoder scales down by up to
    // an eighth far cheaper than a full picture is decoded and then scaled.
    if (screen)
        stream->setPictureBound(m_screenBound, false);
    connect(stream.get(), &StreamReception::progress, this, [this, socket](qint64 received) {
        if (socket == m_teacherStream)
            emit streamProgress(received);
    });
    connect(stream.get(), &StreamReception::readingEnded, this, [this, socket] {
        if (socket == m_teacherStream)
            emit teacherStreamRead();
    });
    StreamReception *reception = stream.get();
    connect(reception, &StreamReception::finished, this,
            [this, socket, reception](const StreamReception::Result &outcome) {
                keepPicture(socket, outcome, false);
                // Only the latest of the teacher's streams is shown.
                const bool shown = socket == m_teacherStream;
                if (shown)
                    emit streamReceived(outcome);
                endReception(socket, reception);
                if (shown)
                    finishTeacherStream();
            });
    startReception(socket, std::move(stream));
}

// Until the stream ends its bytes wait in their connection, which its
// reception alone reads, on its thread; the other connections are read as
// ever meanwhile.
void Classroom::startReception(const platform::ConnectionPtr &socket,
                               std::unique_ptr<StreamReception> stream)
{
    MyServer->holdReads(socket);
    stream->setFirstBytes(std::exchange(m_streamStart, {}));
    StreamReception *started = stream.get();
    if (Computer *computer = computerOf(socket))
        computer->channel.reception = std::move(stream);
    else // not listed: it ends as one whose computer has left
        stream.release()->setParent(this);
    started->start();
}

void Classroom::endReception(const platform::ConnectionPtr &socket, StreamReception *ended)
{
    Computer *computer = computerOf(socket);
    if (computer && computer->channel.reception.get() == ended)
        computer->channel.reception.release();
    // It is the sender of the signal being handled: it goes once that has
    // returned (or with the classroom). Its thread has ended or is about to.
    ended->setParent(this);
    ended->deleteLater();
    // Whatever arrived on it meanwhile is read now.
    MyServer->resumeReads(socket);
}

// StreamInProgress is cleared after the outcome has been reported.
void Classroom::finishTeacherStream()
{
    m_teacherStream.reset();
    StreamInProgress = false;
    emit streamFinished();
}

// A stream from a computer that has left is ended at once: what came of it
// is still reported, so the teacher's wait ends and the overview asks on,
// but nothing more is read for it. Its glances are forgotten with it.
void Classroom::endChannel(Channel &channel)
{
    if (StreamReception *reception = channel.reception.release()) {
        reception->setParent(this);
        reception->stop();
    }
    channel.glances.clear();
}

void Classroom::stopStream()
{
    // Each joins its thread; no result is reported any more. Those of
    // computers that have left are children until they have reported.
    for (Computer *computer : m_roster.computers()) {
        if (computer->channel.reception)
            computer->channel.reception->disconnect(this);
        computer->channel.reception.reset();
    }
    for (StreamReception *r : findChildren<StreamReception *>(Qt::FindDirectChildrenOnly)) {
        r->disconnect(this);
        delete r;
    }
}

bool Classroom::requestGlance(const platform::ConnectionPtr &connection, QSize bound)
{
    Computer *computer = computerOf(connection);
    if (!computer || !connection->isOpen())
        return false;
    // The teacher waits for this computer's picture: its answer is the
    // teacher's, not a glance's.
    const TeacherRequest &teacher = m_teacherAsked[1];
    if (teacher.connection.lock() == connection
        && m_clock.elapsed() - teacher.askedAt <= AnswerForgottenMs)
        return false;
    PacketRecord request{};
    request.iCommand = packet::ScreenShot;
    request.iFlag = 0;
    if (!sendPacket(connection, request, true))
        return false;
    computer->channel.glances.push_back({bound, QDateTime::currentDateTime()});
    return true;
}

void Classroom::giveUpGlances(const platform::ConnectionPtr &connection)
{
    if (Computer *computer = computerOf(connection))
        computer->channel.glances.clear();
}

int Classroom::glancesAwaited(const platform::ConnectionPtr &connection) const
{
    const Computer *computer = computerOf(connection);
    return computer ? int(computer->channel.glances.size()) : 0;
}

bool Classroom::takeGlanceAnswer(const platform::ConnectionPtr &socket, const PacketRecord &packet)
{
    const QDateTime now = QDateTime::currentDateTime();
    for (Computer *computer : m_roster.computers())
        std::erase_if(computer->channel.glances, [&](const Channel::Glance &g) {
            return g.askedAt.msecsTo(now) > GlanceForgottenMs;
        });
    const bool screenAnswer = packet.Pass == packet::PassValue
                              && packet.iCommand == packet::ScreenShot
                              && (packet.iFlag == packet::ScreenAnnounceFlag
                                  || packet.iFlag == packet::ScreenCloseWaitFlag);
    if (!screenAnswer)
        return false;
    Computer *computer = computerOf(socket);
    if (!computer || computer->channel.glances.empty())
        return false;
    std::vector<Channel::Glance> &glances = computer->channel.glances;
    const QSize bound = glances.front().bound;
    glances.erase(glances.begin());
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
    // The overview's streams give way to the teacher's in the budget.
    auto stream = std::make_unique<StreamReception>(
            socket, declared, StreamReception::Kind::ScreenPicture, timings,
            StreamReception::Limits{environment.streamMemoryLimit, true},
            environment.streamReadHook);
    stream->setPictureBound(bound);
    StreamReception *reception = stream.get();
    connect(reception, &StreamReception::finished, this,
            [this, socket, reception](const StreamReception::Result &outcome) {
                keepPicture(socket, outcome, true);
                emit glanceReceived(socket, outcome);
                endReception(socket, reception);
                emit glanceFinished();
            });
    startReception(socket, std::move(stream));
}

// A picture is kept with its computer, as the agent sent it.
void Classroom::keepPicture(const platform::ConnectionPtr &socket,
                            const StreamReception::Result &outcome, bool glance)
{
    Computer *computer = computerOf(socket);
    if (!computer || !outcome.complete || outcome.picture.isNull())
        return;
    keepPictureBytes(*computer, outcome.jpeg);
    if (glance)
        computer->state.thumbnail = outcome.picture;
    else
        fitTeacherPicture(*computer, outcome);
    m_roster.touch(computer, Roster::tileRoles());
}

// A teacher's picture is larger than a tile: its tile gets it scaled down on
// a thread of its own, rather than on the window's thread. The picture the
// window got is scaled when it is at least the tile's size (it was decoded
// once already, and a second decode would vie with the window's paint for
// the processor); one shrunk below the tile, for a small tab, is decoded
// again from its bytes, as a glance would be.
void Classroom::fitTeacherPicture(Computer &computer, const StreamReception::Result &outcome)
{
    if (m_tileBound.isEmpty())
        return;
    const QPointer<Computer> fittedFor = &computer;
    const QDateTime taken = computer.state.pictureTime;
    const QSize full = outcome.pictureSize.isEmpty() ? outcome.picture.size() : outcome.pictureSize;
    const QSize tile = full.scaled(m_tileBound, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    const QImage shown = outcome.picture;
    const QByteArray jpeg = shown.width() >= tile.width() && shown.height() >= tile.height()
                                    ? QByteArray()
                                    : outcome.jpeg;
    m_fitPool.start([this, fittedFor, shown, jpeg, tile, bound = m_tileBound, taken] {
        const QImage fitted = !jpeg.isEmpty()        ? jpegimage::decodeWithin(jpeg, bound)
                              : shown.size() == tile ? shown
                                                     : shown.scaled(tile, Qt::IgnoreAspectRatio,
                                                                    Qt::SmoothTransformation);
        QMetaObject::invokeMethod(
                this,
                [this, fittedFor, fitted, taken] {
                    Computer *computer = fittedFor;
                    // Not once the computer has left or sent a newer picture.
                    if (!computer || computerOf(computer->connection) != computer || fitted.isNull()
                        || computer->state.pictureTime != taken)
                        return;
                    computer->state.thumbnail = fitted;
                    m_roster.touch(computer, Roster::tileRoles());
                    emit teacherPictureFitted(computer->connection);
                },
                Qt::QueuedConnection);
    });
}
