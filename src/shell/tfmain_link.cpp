// The server, the computer list and the streams: the entry points into the
// classroom, and what the window shows of its reports.
#include "shell/tfmain.h"

#include "link/jpegimage.h"
#include "platform/cp1250.h"
#include "shell/classmodels.h"
#include "shell/dialogs.h"
#include "shell/screenfit.h"
#include "shell/tfprogress.h"

#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeView>
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

void TFMain::wireClassroom()
{
    Classroom *room = m_classroom.get();
    connect(room, &Classroom::localHostInfo, StatusBar,
            [this](const QString &text) { StatusBar->showMessage(text); });
    connect(room, &Classroom::statusText, StatusEdit, &PacedLine::setText);
    connect(room, &Classroom::sendReport, SendStatusEdit, &PacedLine::setText);
    connect(room, &Classroom::receiveReport, RcvStatusEdit, &PacedLine::setText);
    connect(room, &Classroom::answerReceived, this,
            [this](Computer *computer, const PacketRecord &, const MessageAnswer &answer) {
                MessageAnswerMemo->setPlainText(answer.shownText());
                showOwner(MessageAnswerMemo, ownerOf(computer));
            });
    connect(room, &Classroom::failed, this,
            [this](const QString &what) { Dialogs::showError(this, what); });
    wireStreams();
}

void TFMain::wireStreams()
{
    Classroom *room = m_classroom.get();
    const auto endWait = [this] {
        if (waitWindow())
            waitWindow()->Close();
    };
    connect(room, &Classroom::waitEnded, this, endWait);
    // The main window repaints as it is enabled again while the picture's
    // last rows are still being decoded, not after.
    connect(room, &Classroom::teacherStreamRead, this, endWait);
    connect(room, &Classroom::streamStarted, this, &TFMain::showStreamStart);
    connect(room, &Classroom::streamProgress, this, [this](qint64 received) {
        advanceProgress(waitWindow(), received - m_streamShown);
        m_streamShown = received;
    });
    connect(room, &Classroom::streamReceived, this,
            [this](const StreamReception::Result &r) { runShielded([&] { showStream(r); }); });
    connect(room, &Classroom::streamFinished, this, &TFMain::streamFinished);
}

void TFMain::ShowLocalHostInfo()
{
    m_classroom->ShowLocalHostInfo();
}

void TFMain::StartServer()
{
    m_classroom->StartServer();
}

// A row the list's current row moved to as another left is not chosen.
void TFMain::selectRow(const QModelIndex &current)
{
    if (current.isValid() && !m_rowsLeaving)
        runShielded([this] { RemoteComputersListViewClick(); });
}

// The highlighted row is the selected computer, however it was reached.
void TFMain::RemoteComputersListViewClick()
{
    const QModelIndex current = RemoteComputersListView->currentIndex();
    if (!current.isValid() || !RemoteComputersListView->selectionModel()->isSelected(current))
        return;
    Computer *computer = m_classOrder->computerAt(current.row());
    if (!computer)
        return;
    m_classroom->select(computer);
    showSelected(*computer);
}

void TFMain::showSelected(const Computer &computer)
{
    RemoteIPEdit->setText(cp1250::toUnicode(computer.address));
    RemoteNameEdit->setText(cp1250::toUnicode(computer.hostName));
    RemotePortEdit->setText(QString::number(computer.port));
}

// The walk shows each computer in the fields as it goes and leaves the last
// one highlighted, as if the teacher had clicked it.
void TFMain::followWalk()
{
    const int row = m_classOrder->rowOf(m_classroom->selected());
    if (row >= 0)
        RemoteComputersListView->setCurrentIndex(m_listColumns->index(row, 0));
}

bool TFMain::FindSelectedConnection()
{
    return m_classroom->FindSelectedConnection();
}

bool TFMain::SendPacket(const platform::ConnectionPtr &socket, PacketRecord &packet)
{
    return m_classroom->SendPacket(socket, packet);
}

void TFMain::MyServerClientRead(const platform::ConnectionPtr &socket)
{
    m_classroom->MyServerClientRead(socket);
}

TFMain::Owner TFMain::ownerOf(const Computer *computer)
{
    if (!computer)
        return {};
    return {computer->arrival, cp1250::toUnicode(computer->hostName),
            cp1250::toUnicode(computer->address)};
}

// Whose data a view shows, for the mouse and for assistive tools.
void TFMain::showOwner(QWidget *view, const Owner &owner)
{
    const QString text
            = owner.address.isEmpty()
                      ? QString()
                      : QStringLiteral("Komputer: %1 (%2)").arg(owner.hostName, owner.address);
    view->setToolTip(text);
    view->setAccessibleDescription(text);
}

bool TFMain::ownedBySelected(const Owner &owner, const QString &what)
{
    if (owner.arrival != 0 && owner.arrival == m_classroom->selectedArrival())
        return true;
    const QString whose = owner.hostName.isEmpty() ? owner.address : owner.hostName;
    StatusEdit->setText(what.arg(whose.isEmpty() ? QStringLiteral("?") : whose));
    return false;
}

void TFMain::showStreamStart(qint32 declared)
{
    if (TFProgress *wait = waitWindow()) {
        wait->ProgressBar->setMinimum(0);
        wait->ProgressBar->setMaximum(std::max(0, declared));
        wait->ProgressBar->setValue(0);
    }
    m_streamShown = 0;
}

// In order: the wait window goes, then the texts, then the picture or list.
void TFMain::showStream(const StreamReception::Result &outcome)
{
    const bool screen = outcome.kind == StreamReception::Kind::ScreenPicture;
    if (TFProgress *wait = waitWindow())
        wait->Close();
    if (!outcome.complete) {
        StatusEdit->setText(QStringLiteral("otrzymano niekompletny strumień danych, otrzymano: %1, "
                                           "deklarowano: %2")
                                    .arg(outcome.received)
                                    .arg(outcome.declared));
        return;
    }
    const QString text = (screen ? QStringLiteral("strumień danych od: ")
                                 : QStringLiteral("strumień danych od "))
                         + outcome.peerName
                         + QStringLiteral(", otrzymano: %1, deklarowano: %2")
                                   .arg(outcome.received)
                                   .arg(outcome.declared);
    (screen ? ScreenStatusBar : ProcessListStatusBar)->showMessage(text);
    StatusEdit->setText(text);
    Owner owner = ownerOf(m_classroom->teacherStreamComputer());
    if (owner.arrival == 0) // its computer has left meanwhile
        owner = {0, outcome.peerName, outcome.peerAddress};
    if (screen && showScreenPicture(outcome.picture, outcome.pictureSize, outcome.jpeg)) {
        m_shownPicture = {outcome.jpeg, owner, QDateTime::currentDateTime()};
        showOwner(ScreenShootImage, owner);
        SavePictureButton->setEnabled(true);
    } else if (!screen) {
        fillRows(ProcessListView, outcome.rows);
        m_processListOwner = owner;
        showOwner(ProcessListView, owner);
    }
}

void TFMain::ShowScreenImage(const QByteArray &stream)
{
    showScreenPicture(jpegimage::decode(stream));
}

bool TFMain::showScreenPicture(const QImage &image, QSize fullSize, const QByteArray &jpeg)
{
    if (image.isNull()) {
        StatusEdit->setText(QStringLiteral("Błąd ładowania obrazu"));
        return false; // the previous picture stays
    }
    // Fitted to the tab unless the teacher asks for 100 %.
    m_screenFit->show(image, fullSize, jpeg);
    // The bytes of the picture shown before go with it; whoever shows a
    // picture it can save sets them again.
    m_shownPicture = {};
    SavePictureButton->setEnabled(false);
    return true;
}

bool TFMain::showScreenPicture(const QByteArray &jpeg)
{
    jpegimage::ArrivingPicture picture(m_screenFit->bound(), false);
    picture.feed(jpeg, true);
    const QImage image = picture.take();
    return showScreenPicture(image, picture.fullSize(), jpeg);
}

// The list of the selected computer's processes, as its stream brought it.
void TFMain::FillProcessList(const QByteArray &stream)
{
    fillRows(ProcessListView, StreamReception::processRows(stream));
    m_processListOwner = ownerOf(m_classroom->selected());
    showOwner(ProcessListView, m_processListOwner);
}
