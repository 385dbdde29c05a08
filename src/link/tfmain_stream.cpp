// The bulk streams that follow an announcement: a screen picture or a process
// list, read on a worker thread.
#include "shell/tfmain.h"

#include "link/jpegimage.h"
#include "link/processlist.h"
#include "platform/cp1250.h"
#include "shell/tfprogress.h"

#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QStatusBar>
#include <QThread>
#include <QTreeWidget>

#include <chrono>

namespace {

constexpr qint64 ReadChunk = 1024;
// Bytes beyond the declared size that are still read (and counted) before
// the reception gives up: a flooding agent cannot keep the receiver busy or
// grow the console's memory for ever.
constexpr qint64 SurplusLimit = 1024 * 1024;

} // namespace

void TFMain::postToWindow(std::function<void()> effect)
{
    QMetaObject::invokeMethod(this, std::move(effect), Qt::QueuedConnection);
}

void TFMain::startStream(const platform::ConnectionPtr &socket, bool screen)
{
    DeclaredStreamSize = CurrentPacket.StreamSize;
    StreamInProgress = true;
    CurrentSocket = socket;
    if (FProgress) {
        FProgress->ProgressBar->setMinimum(0);
        FProgress->ProgressBar->setMaximum(std::max(0, DeclaredStreamSize));
        FProgress->ProgressBar->setValue(0);
    }
    // At most one receiver at a time: the previous one has cleared
    // StreamInProgress, so its thread is at its end.
    if (m_streamThread.joinable())
        m_streamThread.join();
    // The receiver keeps the announcing connection for itself, so a command
    // that re-points CurrentSocket meanwhile does not move the stream.
    m_streamThread = std::thread(&TFMain::receiveStream, this, socket, DeclaredStreamSize, screen);
}

void TFMain::receiveStream(platform::ConnectionPtr socket, qint32 declared, bool screen)
{
    const StreamTimings timing = streamTimings;
    auto sleep = [this](int ms) {
        // In short steps, so that closing the console does not wait for it.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!m_stopWorkers.load() && std::chrono::steady_clock::now() < until)
            QThread::msleep(ulong(std::min(ms, 10)));
    };
    // The idle pause while nothing waits. When the rest of the stream is
    // there during the pause, the pause ends at once, so that a complete
    // stream does not lie waiting for up to a pause; anything less (a piece
    // of a slow stream, the end of the connection) leaves the pause as long
    // as ever, so the idle rounds count as they always did.
    auto idlePause = [this, &socket, &sleep](int ms, qint64 missing) {
        using namespace std::chrono;
        const auto until = steady_clock::now() + milliseconds(ms);
        // The milliseconds still to wait, rounded up: the pause is never short.
        const auto left = [until] {
            return duration_cast<milliseconds>(until - steady_clock::now() + microseconds(999))
                    .count();
        };
        for (;;) {
            if (m_stopWorkers.load() || steady_clock::now() >= until)
                return;
            const qint64 waiting = socket->bytesWaiting();
            if (waiting >= missing)
                return;
            if (waiting > 0) {
                // A piece is there: look again in a millisecond.
                QThread::msleep(1);
                continue;
            }
            // Nothing yet: wait for bytes, in short steps so that closing the
            // console does not wait for it. Readable with nothing to read is
            // the end of the connection: a plain pause.
            if (socket->waitForReadable(int(std::min<qint64>(left(), 10)))
                && socket->bytesWaiting() == 0) {
                sleep(int(left()));
                return;
            }
        }
    };

    QByteArray stream;
    qint64 received = 0; // all bytes read, surplus included
    int idle = 0;
    const qint64 expected = declared; // sign-extended
    // A stream announced beyond what the console may hold is still read off
    // the connection (its bytes must not be taken for packets) but not kept,
    // and it ends as incomplete: an agent cannot make the console allocate
    // whatever it announces.
    const bool keep = expected <= streamMemoryLimit;
    char buffer[ReadChunk];

    sleep(timing.firstSleepMs);
    while (!m_stopWorkers.load()) {
        qint64 n = socket->receive(buffer, ReadChunk);
        if (n > 0) {
            // Surplus bytes are counted but not kept.
            const qint64 room = keep ? std::max<qint64>(0, expected - qint64(stream.size())) : 0;
            stream.append(buffer, qsizetype(std::min(n, room)));
            received += n;
            postToWindow([n] {
                if (FProgress)
                    FProgress->advance(n);
            });
            if (received - std::max<qint64>(expected, 0) > SurplusLimit)
                break;
        }
        const bool allRead = received == expected;
        if (n <= 0 && !allRead) {
            ++idle;
            // A closed connection reads as 0 at once, again and again: only a
            // plain sleep keeps its idle rounds as long as they are meant.
            if (n < 0 && expected > received)
                idlePause(timing.idleSleepMs, expected - received);
            else
                sleep(timing.idleSleepMs);
            n = 0;
        }
        if (idle > timing.idleLimit || n == -1)
            break;
        // The whole stream is in and the connection has closed: nothing more
        // can come, so do not wait on it.
        if (n == 0 && allRead)
            break;
    }

    const bool complete = keep && received == expected;
    const qint64 kept = keep ? received : qint64(stream.size());
    const QString peerName = complete ? cp1250::toUnicode(socket->peerHostName()) : QString();
    socket.reset();
    // A large picture takes a while to decode: here, not in the window's thread.
    QImage picture;
    if (complete && screen)
        picture = jpegimage::decode(stream);

    // The effects on the windows, in order, on the user-interface thread;
    // StreamInProgress is cleared after all of them.
    postToWindow([this, complete, screen, received, kept, declared, peerName,
                  picture = std::move(picture), stream = std::move(stream)] {
        if (FProgress)
            FProgress->Close();
        if (complete) {
            const QString text = (screen ? QStringLiteral("strumień danych od: ")
                                         : QStringLiteral("strumień danych od "))
                                 + peerName
                                 + QStringLiteral(", otrzymano: %1, deklarowano: %2")
                                           .arg(received)
                                           .arg(declared);
            (screen ? ScreenStatusBar : ProcessListStatusBar)->showMessage(text);
            StatusEdit->setText(text);
            if (screen)
                showScreenPicture(picture);
            else
                FillProcessList(stream);
        } else {
            StatusEdit->setText(
                    QStringLiteral("otrzymano niekompletny strumień danych, otrzymano: %1, "
                                   "deklarowano: %2")
                            .arg(kept)
                            .arg(declared));
        }
        StreamInProgress = false;
        // Whatever arrived on other connections meanwhile is read now.
        MyServer->resumeReads();
        emit streamFinished();
    });
}

void TFMain::ShowScreenImage(const QByteArray &stream)
{
    showScreenPicture(jpegimage::decode(stream));
}

void TFMain::showScreenPicture(const QImage &image)
{
    if (image.isNull()) {
        StatusEdit->setText(QStringLiteral("Błąd ładowania obrazu"));
        return; // the previous picture stays
    }
    ScreenShootImage->setPixmap(QPixmap::fromImage(image));
    ScreenShootImage->resize(image.size());
}

void TFMain::FillProcessList(const QByteArray &stream)
{
    ProcessListView->clear();
    QList<QTreeWidgetItem *> rows;
    for (const processlist::ProcessEntry &entry : processlist::parse(stream)) {
        auto *row = new QTreeWidgetItem;
        row->setText(0, cp1250::toUnicode(entry.name));
        row->setText(1, cp1250::toUnicode(entry.description));
        row->setText(2, QString::number(entry.processId)); // unsigned decimal
        rows.append(row);
    }
    ProcessListView->addTopLevelItems(rows);
}

void TFMain::waitForWorkers()
{
    m_stopWorkers = true;
    if (m_streamThread.joinable())
        m_streamThread.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(m_workersMutex);
        workers.swap(m_workers);
    }
    for (std::thread &worker : workers) {
        if (worker.joinable())
            worker.join();
    }
    m_stopWorkers = false;
}
