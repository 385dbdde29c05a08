// The server, the computer list and the streams: the entry points into the
// classroom, and what the window shows of its reports.
#include "shell/tfmain.h"

#include "link/jpegimage.h"
#include "platform/cp1250.h"
#include "shell/dialogs.h"
#include "shell/tfprogress.h"

#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
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

void TFMain::wireClassroom()
{
    Classroom *room = m_classroom.get();
    connect(room, &Classroom::localHostInfo, StatusBar,
            [this](const QString &text) { StatusBar->showMessage(text); });
    connect(room, &Classroom::statusText, StatusEdit, &PacedLine::setText);
    connect(room, &Classroom::sendReport, SendStatusEdit, &PacedLine::setText);
    connect(room, &Classroom::receiveReport, RcvStatusEdit, &PacedLine::setText);
    // The list's rows stand in the roster's places and show its records.
    const Roster *roster = &room->roster();
    connect(roster, &Roster::joined, this, &TFMain::showComputerJoined);
    connect(roster, &Roster::left, this,
            [this](int index) { delete RemoteComputersListView->takeTopLevelItem(index); });
    connect(roster, &Roster::changed, this, [this](int index, Roster::Change what) {
        QTreeWidgetItem *row = RemoteComputersListView->topLevelItem(index);
        if (row && what == Roster::Change::Name)
            row->setText(1, cp1250::toUnicode(m_classroom->computers()[size_t(index)].hostName));
    });
    connect(room, &Classroom::answerReceived, this,
            [this](const platform::ConnectionPtr &, const MessageAnswer &answer) {
                MessageAnswerMemo->setPlainText(answer.shownText());
            });
    connect(room, &Classroom::failed, this,
            [this](const QString &what) { Dialogs::showError(this, what); });
    wireStreams();
}

void TFMain::wireStreams()
{
    Classroom *room = m_classroom.get();
    connect(room, &Classroom::waitEnded, this, [this] {
        if (waitWindow())
            waitWindow()->Close();
    });
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

void TFMain::MyServerClientConnect(const platform::ConnectionPtr &socket)
{
    m_classroom->MyServerClientConnect(socket);
}

void TFMain::showComputerJoined(int index)
{
    const Computer &computer = m_classroom->computers()[size_t(index)];
    auto *row = new QTreeWidgetItem;
    row->setText(0, cp1250::toUnicode(computer.address));
    row->setText(1, cp1250::toUnicode(computer.hostName));
    row->setText(2, QString::number(computer.port));
    RemoteComputersListView->insertTopLevelItem(index, row);
}

void TFMain::MyServerClientRefused(const QByteArray &address)
{
    m_classroom->MyServerClientRefused(address);
}

void TFMain::MyServerClientDisconnect(const platform::ConnectionPtr &socket)
{
    m_classroom->MyServerClientDisconnect(socket);
}

void TFMain::MyServerClientError(const platform::ConnectionPtr &socket, int &errorCode)
{
    m_classroom->MyServerClientError(socket, errorCode);
}

void TFMain::ServerSocketError(int &errorCode)
{
    m_classroom->ServerSocketError(errorCode);
}

void TFMain::RemoteComputersListViewClick()
{
    QTreeWidgetItem *row = RemoteComputersListView->currentItem();
    if (!row || !row->isSelected())
        return;
    RemoteIPEdit->setText(row->text(0));
    RemoteNameEdit->setText(row->text(1));
    RemotePortEdit->setText(row->text(2));
    m_classroom->select(cp1250::fromUnicode(row->text(0)));
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
    if (screen && showScreenPicture(outcome.picture)) {
        m_shownPicture = {outcome.jpeg, outcome.peerName, outcome.peerAddress,
                          QDateTime::currentDateTime()};
        SavePictureButton->setEnabled(true);
    } else if (!screen)
        fillRows(ProcessListView, outcome.rows);
}

void TFMain::ShowScreenImage(const QByteArray &stream)
{
    showScreenPicture(jpegimage::decode(stream));
}

bool TFMain::showScreenPicture(const QImage &image)
{
    if (image.isNull()) {
        StatusEdit->setText(QStringLiteral("Błąd ładowania obrazu"));
        return false; // the previous picture stays
    }
    // The decoder's layout is the screen's own (RGB32): no conversion, and
    // a new picture costs one paint of what is in sight.
    ScreenShootImage->setPixmap(QPixmap::fromImage(image, Qt::NoFormatConversion));
    ScreenShootImage->resize(image.size());
    // The bytes of the picture shown before go with it; whoever shows a
    // picture it can save sets them again.
    m_shownPicture = {};
    SavePictureButton->setEnabled(false);
    return true;
}

void TFMain::FillProcessList(const QByteArray &stream)
{
    fillRows(ProcessListView, StreamReception::processRows(stream));
}
