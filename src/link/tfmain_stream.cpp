// The bulk streams that follow an announcement: a screen picture or a process
// list, read on a worker thread.
#include "shell/tfmain.h"

#include "link/jpegimage.h"
#include "link/processlist.h"
#include "platform/cp1250.h"
#include "shell/tfprogress.h"
#include "update/versioncheck.h"

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
    // Until the stream ends, its bytes and other computers' packets wait in
    // their connections; the receiver takes its own on its thread.
    MyServer->holdReads();
    CurrentSocket = socket;
    if (TFProgress *wait = waitWindow()) {
        wait->ProgressBar->setMinimum(0);
        wait->ProgressBar->setMaximum(std::max(0, DeclaredStreamSize));
        wait->ProgressBar->setValue(0);
    }
    // At most one receiver at a time: the previous one has cleared
    // StreamInProgress, so its thread is at its end.
    if (m_streamThread.joinable())
        m_streamThread.join();
    // The receiver keeps the announcing connection for itself, so a command
    // that re-points CurrentSocket meanwhile does not move the stream.
    m_streamThread = std::thread(&TFMain::receiveStream, this, socket, DeclaredStreamSize, screen);
}

// What one reception read; received counts every byte taken off the
// connection, surplus and bytes not kept included.
struct TFMain::StreamReading
{
    QByteArray stream;
    qint64 received = 0;
    bool keep = false;
};

// The effects of one reception on the windows, prepared on its worker.
struct TFMain::StreamOutcome
{
    bool screen = false;
    bool complete = false;
    qint64 received = 0;
    qint32 declared = 0;
    QString peerName;
    QImage picture;
    QList<QStringList> rows;
};

namespace {

// Sleeps in short steps, so that closing the console does not wait for it.
void sleepUnlessStopped(const std::atomic<bool> &stop, int ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop.load() && std::chrono::steady_clock::now() < until)
        QThread::msleep(ulong(std::min(ms, 10)));
}

// The idle pause while nothing waits. When the rest of the stream is there
// during the pause, the pause ends at once, so that a complete stream does
// not lie waiting for up to a pause; anything less (a piece of a slow
// stream, the end of the connection) leaves the pause as long as ever, so
// the idle rounds count as they always did.
void idlePause(platform::Connection &socket, const std::atomic<bool> &stop, int ms, qint64 missing)
{
    using namespace std::chrono;
    const auto until = steady_clock::now() + milliseconds(ms);
    // The milliseconds still to wait, rounded up: the pause is never short.
    const auto left = [until] {
        return duration_cast<milliseconds>(until - steady_clock::now() + microseconds(999)).count();
    };
    for (;;) {
        if (stop.load() || steady_clock::now() >= until)
            return;
        const qint64 waiting = socket.bytesWaiting();
        if (waiting >= missing)
            return;
        if (waiting > 0) {
            // A piece is there: look again in a millisecond.
            QThread::msleep(1);
            continue;
        }
        // Nothing yet: wait for bytes, in short steps. Readable with nothing
        // to read is the end of the connection: a plain pause.
        if (socket.waitForReadable(int(std::min<qint64>(left(), 10)))
            && socket.bytesWaiting() == 0) {
            sleepUnlessStopped(stop, int(left()));
            return;
        }
    }
}

// The bar moves a read's worth at a time, as it would with one event per
// read; a backlog of many reads moves in at most ProgressSteps steps.
constexpr qint64 ProgressSteps = 256;

void advanceProgress(TFProgress *wait, qint64 bytes)
{
    const qint64 step = std::max(ReadChunk, bytes / ProgressSteps);
    for (; bytes > 0 && wait; bytes -= step)
        wait->advance(std::min(bytes, step));
}

// The process list read into ready rows: caption, description, id.
QList<QStringList> processRows(QByteArrayView stream)
{
    QList<QStringList> rows;
    const QList<processlist::ProcessEntry> entries = processlist::parse(stream);
    rows.reserve(entries.size());
    for (const processlist::ProcessEntry &entry : entries)
        rows.append({cp1250::toUnicode(entry.name), cp1250::toUnicode(entry.description),
                     QString::number(entry.processId)}); // unsigned decimal
    return rows;
}

void fillRows(QTreeWidget *view, const QList<QStringList> &rows)
{
    view->clear();
    QList<QTreeWidgetItem *> items;
    items.reserve(rows.size());
    for (const QStringList &row : rows)
        items.append(new QTreeWidgetItem(row));
    view->addTopLevelItems(items);
}

} // namespace

// The read loop of one reception. Its figures go into reading as they come,
// so that a reception that fails half-way can still say what it received.
void TFMain::readStream(platform::Connection &socket, qint32 declared, qint64 limit,
                        StreamReading &reading)
{
    const StreamTimings timing = streamTimings;
    const qint64 expected = declared; // sign-extended
    // A stream announced beyond what the console may hold is still read off
    // the connection (its bytes must not be taken for packets) but not kept,
    // and it ends as incomplete: an agent cannot make the console allocate
    // whatever it announces.
    reading.keep = expected <= limit;
    // The progress is handed to the window as one event at a time, however
    // fast the bytes come.
    auto pending = std::make_shared<std::atomic<qint64>>(0);
    char buffer[ReadChunk];
    int idle = 0;

    sleepUnlessStopped(m_stopWorkers, timing.firstSleepMs);
    while (!m_stopWorkers.load()) {
        qint64 n = socket.receive(buffer, ReadChunk);
        if (n > 0) {
            // Surplus bytes are counted but not kept.
            const qint64 room
                    = reading.keep ? std::max<qint64>(0, expected - reading.stream.size()) : 0;
            reading.stream.append(buffer, qsizetype(std::min(n, room)));
            reading.received += n;
            if (pending->fetch_add(n) == 0)
                postToWindow(
                        [this, pending] { advanceProgress(waitWindow(), pending->exchange(0)); });
            if (streamReadHook)
                streamReadHook(reading.received);
            if (reading.received - std::max<qint64>(expected, 0) > SurplusLimit)
                break;
        }
        const bool allRead = reading.received == expected;
        if (n <= 0 && !allRead) {
            ++idle;
            // A closed connection reads as 0 at once, again and again: only a
            // plain sleep keeps its idle rounds as long as they are meant.
            if (n < 0 && expected > reading.received)
                idlePause(socket, m_stopWorkers, timing.idleSleepMs, expected - reading.received);
            else
                sleepUnlessStopped(m_stopWorkers, timing.idleSleepMs);
            n = 0;
        }
        if (idle > timing.idleLimit || n == -1)
            break;
        // The whole stream is in and the connection has closed: nothing more
        // can come, so do not wait on it.
        if (n == 0 && allRead)
            break;
    }
}

void TFMain::receiveStream(platform::ConnectionPtr socket, qint32 declared, bool screen)
{
    auto outcome = std::make_shared<StreamOutcome>();
    outcome->screen = screen;
    outcome->declared = declared;
    StreamReading reading;
    // A failure on this thread (memory included) ends the reception as
    // incomplete; it must not end the console.
    try {
        const qint64 limit = screen ? streamMemoryLimit
                                    : std::min(streamMemoryLimit, processlist::MaxStreamSize);
        readStream(*socket, declared, limit, reading);
        outcome->complete = reading.keep && reading.received == declared;
        if (outcome->complete) {
            outcome->peerName = cp1250::toUnicode(socket->peerHostName());
            // A large picture or list takes a while to read: here, not in
            // the window's thread.
            if (screen)
                outcome->picture = jpegimage::decode(reading.stream);
            else
                outcome->rows = processRows(reading.stream);
        }
    } catch (...) {
        outcome->complete = false;
        outcome->picture = {};
        outcome->rows = {};
    }
    outcome->received = reading.received;
    reading = {};
    socket.reset();
    postToWindow([this, outcome] { finishStream(*outcome); });
}

// The effects on the windows, in order, on the user-interface thread;
// StreamInProgress is cleared after all of them.
void TFMain::finishStream(const StreamOutcome &outcome)
{
    if (TFProgress *wait = waitWindow())
        wait->Close();
    if (outcome.complete) {
        const QString text = (outcome.screen ? QStringLiteral("strumień danych od: ")
                                             : QStringLiteral("strumień danych od "))
                             + outcome.peerName
                             + QStringLiteral(", otrzymano: %1, deklarowano: %2")
                                       .arg(outcome.received)
                                       .arg(outcome.declared);
        (outcome.screen ? ScreenStatusBar : ProcessListStatusBar)->showMessage(text);
        StatusEdit->setText(text);
        if (outcome.screen)
            showScreenPicture(outcome.picture);
        else
            fillRows(ProcessListView, outcome.rows);
    } else {
        StatusEdit->setText(QStringLiteral("otrzymano niekompletny strumień danych, otrzymano: %1, "
                                           "deklarowano: %2")
                                    .arg(outcome.received)
                                    .arg(outcome.declared));
    }
    StreamInProgress = false;
    // Whatever arrived on other connections meanwhile is read now.
    MyServer->resumeReads();
    emit streamFinished();
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
    fillRows(ProcessListView, processRows(stream));
}

void TFMain::waitForWorkers()
{
    m_stopWorkers = true;
    if (m_streamThread.joinable())
        m_streamThread.join();
    if (m_versionCheck)
        m_versionCheck->stop();
    m_stopWorkers = false;
}
