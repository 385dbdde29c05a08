#include "shell/tfmain.h"

#include "platform/cp1250.h"
#include "shell/dialogs.h"
#include "shell/textfit.h"
#include "shell/tfprogress.h"
#include "storage/datafolder.h"
#include "storage/eventlog.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStatusBar>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

TFMain::TFMain(QWidget *parent)
    : QMainWindow(parent)
{
    setObjectName(QStringLiteral("FMain"));
    buildWindow();

    UpdateTimer = new QTimer(this);
    UpdateTimer->setObjectName(QStringLiteral("UpdateTimer"));
    UpdateTimer->setInterval(10000);

    wireHandlers();

    // A data folder that cannot be had or made is reported in the status
    // field and the day log, from whichever thread met it.
    datafolder::setFailureReporter([this](const QString &message) {
        QMetaObject::invokeMethod(
                this,
                [this, message] {
                    // A report from a worker arrives here on its own: the
                    // log must not look the folder up again and report anew.
                    const datafolder::ReportingScope reporting;
                    StatusEdit->setText(message);
                    WriteLog(cp1250::fromUnicode(message));
                },
                QThread::currentThread() == thread() ? Qt::DirectConnection : Qt::QueuedConnection);
    });
}

TFMain::~TFMain()
{
    datafolder::setFailureReporter({});
    // The classroom goes first: its last reports (connections closing) have
    // no window left to show them.
    m_classroom->disconnect(this);
    m_commander->disconnect(this);
    m_overview->disconnect(this);
    waitForWorkers();
    m_power.reset();
    m_overview.reset();
    m_commander.reset();
    m_classroom.reset();
    // The wait window refers to this one; it goes while this one is whole.
    m_waitWindow.reset();
}

void TFMain::setWaitWindow(std::unique_ptr<TFProgress> window)
{
    m_waitWindow = std::move(window);
}

// An error raised by a handler is shown in the standard box and the event
// loop goes on.
void TFMain::runShielded(const std::function<void()> &handler)
{
    try {
        handler();
    } catch (const std::exception &error) {
        Dialogs::showError(this, QString::fromUtf8(error.what()));
    }
}

// Signals may carry arguments these handlers do not take.
std::function<void()> TFMain::shielded(void (TFMain::*handler)())
{
    return [this, handler] {
        runShielded([&] { (this->*handler)(); });
    };
}

void TFMain::wireHandlers()
{
    wireClassroom();
    wireCommander();
    wireClassGroup();
    wireControls();
    wireOverview();
    wireWatch();
}

void TFMain::wireControls()
{
    auto onClick = [this](QPushButton *button, void (TFMain::*handler)()) {
        connect(button, &QPushButton::clicked, this, shielded(handler));
    };
    // A click, Enter, an arrow key or type-ahead: whatever makes a row the
    // current one selects its computer.
    connect(RemoteComputersListView->selectionModel(), &QItemSelectionModel::currentRowChanged,
            this, &TFMain::selectRow);
    connect(RemoteComputersListView, &QTreeView::clicked, this,
            shielded(&TFMain::RemoteComputersListViewClick));
    connect(RemoteComputersListView, &QTreeView::activated, this,
            shielded(&TFMain::RemoteComputersListViewClick));

    onClick(CloseProgramButton, &TFMain::CloseProgramButtonClick);
    onClick(ReloadProcessListButton, &TFMain::ReloadProcessListButtonClick);
    onClick(RunNewProgramButton, &TFMain::RunNewProgramButtonClick);
    onClick(ScreenShootButton, &TFMain::ScreenShootButtonClick);
    onClick(PowerOffMonitorButton, &TFMain::PowerOffMonitorButtonClick);
    onClick(PowerOnMonitorButton, &TFMain::PowerOnMonitorButtonClick);
    onClick(UnLockStartMenuButton, &TFMain::UnLockStartMenuButtonClick);
    onClick(LockStartMenuButton, &TFMain::LockStartMenuButtonClick);
    onClick(PowerOffPCButton, &TFMain::PowerOffPCButtonClick);
    onClick(DisableMouseButton, &TFMain::DisableMouseButtonClick);
    onClick(EnableMouseButton, &TFMain::EnableMouseButtonClick);
    onClick(BitBtn4, &TFMain::DisconnectKeyboardButtonClick);
    onClick(BitBtn5, &TFMain::ConnectKeyboardButtonClick);
    onClick(BitBtn3, &TFMain::BitBtn3Click);
    connect(PowerOffPCOption, &QComboBox::activated, this,
            shielded(&TFMain::PowerOffPCOptionChange));

    onClick(GroupPowerOffMonitorButton, &TFMain::GroupPowerOffMonitorButtonClick);
    onClick(GroupPowerOnMonitorButton, &TFMain::GroupPowerOnMonitorButtonClick);
    onClick(GroupUnLockMouseButton, &TFMain::GroupUnLockMouseButtonClick);
    onClick(GroupLockMouseButton, &TFMain::GroupLockMouseButtonClick);
    onClick(GroupLockKeyboardButton, &TFMain::GroupLockKeyboardButtonClick);
    onClick(GroupUnLockKeyboardButton, &TFMain::GroupUnLockKeyboardButtonClick);
    onClick(EnableStartMenuAllButton, &TFMain::EnableStartMenuAllButtonClick);
    onClick(DisableStartMenuAllButton, &TFMain::DisableStartMenuAllButtonClick);
    onClick(GroupPowerOffPCButton, &TFMain::GroupPowerOffPCButtonClick);
    connect(GroupPowerOffPCOption, &QComboBox::activated, this,
            shielded(&TFMain::GroupPowerOffPCOptionChange));

    connect(Sprawdczyjestnowawersja1, &QAction::triggered, this,
            shielded(&TFMain::Sprawdczyjestnowawersja1Click));
    connect(UpdateTimer, &QTimer::timeout, this, shielded(&TFMain::UpdateTimerTimer));
}

void TFMain::FormShow()
{
    FormResize();
}

void TFMain::FormResize()
{
    if (ScreenShootButton)
        ScreenShootButton->move(10, ScreenShootButton->y());
    // The panel's width less 65 px at the fields' design place; fields moved
    // right for wider captions still end 8 px before the panel's edge.
    for (QLineEdit *field : {SendStatusEdit, RcvStatusEdit, StatusEdit})
        field->resize(std::max(0, Panel4->width() - field->x() - 8), field->height());
    // A list narrower than 320 px would ask for a negative "Opis" width.
    ProcessListView->setColumnWidth(0, 200);
    ProcessListView->setColumnWidth(1, std::max(0, ProcessListView->width() - 320));
    ProcessListView->setColumnWidth(2, 80);
}

bool TFMain::FormClose()
{
    if (closeWithoutAsking)
        return true;
    return Dialogs::instance().question(this, QStringLiteral("Zamykanie"),
                                        QStringLiteral("Czy na pewno chcesz zamknąć program ?"));
}

void TFMain::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    FormShow();
}

void TFMain::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    FormResize();
}

bool TFMain::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Resize && (watched == Panel4 || watched == ProcessListView))
        FormResize();
    return QMainWindow::eventFilter(watched, event);
}

void TFMain::closeEvent(QCloseEvent *event)
{
    if (FormClose()) {
        event->accept();
        m_overview->shutDown();
        emit closed();
    } else {
        event->ignore();
    }
}
