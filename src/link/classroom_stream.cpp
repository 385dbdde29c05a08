// The bulk streams that follow an announcement: a screen picture or a process
// list, each received on a thread of its own.
#include "link/classroom.h"

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
    connect(m_stream.get(), &StreamReception::progress, this, &Classroom::streamProgress);
    connect(m_stream.get(), &StreamReception::finished, this,
            [this, socket](const StreamReception::Result &outcome) {
                // A picture is kept with its computer, as the agent sent it.
                Computer *computer = computerOf(socket);
                if (computer && outcome.complete && !outcome.picture.isNull()) {
                    computer->state.picture = outcome.jpeg;
                    computer->state.pictureTime = QDateTime::currentDateTime();
                }
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
