// The bulk streams that follow an announcement: a screen picture or a process
// list, received on a thread of their own; here their effects on the windows.
#include "shell/tfmain.h"

#include "link/jpegimage.h"
#include "shell/tfprogress.h"

#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QStatusBar>
#include <QTreeWidget>

namespace {

// The bar moves a read's worth at a time, as it would with one event per
// read; a backlog of many reads moves in at most ProgressSteps steps.
constexpr qint64 ProgressSteps = 256;

void advanceProgress(TFProgress *wait, qint64 bytes)
{
    const qint64 step = std::max(StreamReception::ReadChunk, bytes / ProgressSteps);
    for (; bytes > 0 && wait; bytes -= step)
        wait->advance(std::min(bytes, step));
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

void TFMain::startStream(const platform::ConnectionPtr &socket, bool screen)
{
    DeclaredStreamSize = CurrentPacket.StreamSize;
    StreamInProgress = true;
    // Until the stream ends, its bytes and other computers' packets wait in
    // their connections; the reception takes its own on its thread.
    MyServer->holdReads();
    CurrentSocket = socket;
    if (TFProgress *wait = waitWindow()) {
        wait->ProgressBar->setMinimum(0);
        wait->ProgressBar->setMaximum(std::max(0, DeclaredStreamSize));
        wait->ProgressBar->setValue(0);
    }
    // At most one reception at a time: the previous one has cleared
    // StreamInProgress, so its thread is at its end.
    m_stream.reset();
    m_streamShown = 0;
    // The reception keeps the announcing connection for itself, so a command
    // that re-points CurrentSocket meanwhile does not move the stream.
    m_stream = std::make_unique<StreamReception>(
            socket, DeclaredStreamSize,
            screen ? StreamReception::Kind::ScreenPicture : StreamReception::Kind::ProcessList,
            streamTimings, StreamReception::Limits{streamMemoryLimit}, streamReadHook);
    connect(m_stream.get(), &StreamReception::progress, this, [this](qint64 received) {
        advanceProgress(waitWindow(), received - m_streamShown);
        m_streamShown = received;
    });
    connect(m_stream.get(), &StreamReception::finished, this, &TFMain::finishStream);
    m_stream->start();
}

// The effects on the windows, in order, on the user-interface thread;
// StreamInProgress is cleared after all of them.
void TFMain::finishStream(const StreamReception::Result &outcome)
{
    const bool screen = outcome.kind == StreamReception::Kind::ScreenPicture;
    if (TFProgress *wait = waitWindow())
        wait->Close();
    if (outcome.complete) {
        const QString text = (screen ? QStringLiteral("strumień danych od: ")
                                     : QStringLiteral("strumień danych od "))
                             + outcome.peerName
                             + QStringLiteral(", otrzymano: %1, deklarowano: %2")
                                       .arg(outcome.received)
                                       .arg(outcome.declared);
        (screen ? ScreenStatusBar : ProcessListStatusBar)->showMessage(text);
        StatusEdit->setText(text);
        if (screen)
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
    fillRows(ProcessListView, StreamReception::processRows(stream));
}
