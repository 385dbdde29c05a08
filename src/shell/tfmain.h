#pragma once

#include "commands/classoverview.h"
#include "commands/commander.h"
#include "commands/poweron.h"
#include "commands/watch.h"
#include "link/classroom.h"
#include "shell/paintpace.h"

#include <QMainWindow>
#include <QPointer>

#include <atomic>
#include <functional>
#include <memory>

class QAction;
class QCheckBox;
class QComboBox;
class QSpinBox;
class ScreenFit;
class QGroupBox;
class QImage;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QStatusBar;
class QTabWidget;
class QTimer;
class QTreeView;
class QTreeWidget;
class ClassOrder;
class RoleColumns;
class TFProgress;
class TFUpdate;
class OverviewView;
class PollPanel;
namespace update {
class VersionCheck;
}

// The teacher's main window. The rules live in the classroom (the link) and
// the commander (the commands); the handlers here are the entry points the
// controls call, and the window shows what those two report:
//   shell/tfmain.cpp            the window itself, resize rule, close question
//   shell/tfmain_build.cpp      its controls
//   shell/tfmain_link.cpp       server, computer list, streams: into texts
//   shell/tfmain_commands.cpp   the commands to one computer and to all
//   update/tfmain_update.cpp    the version check
class TFMain : public QMainWindow
{
    Q_OBJECT
    // Made first: the link's names below refer into it.
    std::unique_ptr<Classroom> m_classroom = std::make_unique<Classroom>();
    std::unique_ptr<commands::Commander> m_commander
            = std::make_unique<commands::Commander>(*m_classroom);
    std::unique_ptr<commands::ClassOverview> m_overview
            = std::make_unique<commands::ClassOverview>(*m_classroom, *m_commander);
    std::unique_ptr<commands::PowerOn> m_power = std::make_unique<commands::PowerOn>(*m_classroom);
    std::unique_ptr<commands::Watch> m_watch = std::make_unique<commands::Watch>(*m_classroom);

public:
    explicit TFMain(QWidget *parent = nullptr);
    ~TFMain() override;

    // --- Controls -----------------------------------------------------------
    QStatusBar *StatusBar = nullptr;
    QGroupBox *GroupBox6 = nullptr;
    // Reads the class (ClassOrder) through its columns.
    QTreeView *RemoteComputersListView = nullptr;
    QWidget *Panel2 = nullptr;
    PacedLine *RemoteNameEdit = nullptr;
    PacedLine *RemoteIPEdit = nullptr;
    PacedLine *RemotePortEdit = nullptr;
    QWidget *Panel4 = nullptr;
    PacedLine *SendStatusEdit = nullptr;
    PacedLine *RcvStatusEdit = nullptr;
    PacedLine *StatusEdit = nullptr;
    QTabWidget *PageControl1 = nullptr;

    QWidget *TabSheet1 = nullptr; // "Lista programów"
    QStatusBar *ProcessListStatusBar = nullptr;
    QTreeWidget *ProcessListView = nullptr;
    QWidget *Panel1 = nullptr;
    QPushButton *CloseProgramButton = nullptr;
    QPushButton *ReloadProcessListButton = nullptr;
    QPushButton *RunNewProgramButton = nullptr;

    QWidget *TabSheet3 = nullptr; // "Podgląd ekranu"
    QStatusBar *ScreenStatusBar = nullptr;
    QScrollArea *ScrollBox1 = nullptr;
    QLabel *ScreenShootImage = nullptr;
    QWidget *Panel3 = nullptr;
    QPushButton *ScreenShootButton = nullptr;

    QWidget *TabSheet2 = nullptr; // "Różne"
    QPushButton *PowerOffMonitorButton = nullptr;
    QPushButton *PowerOnMonitorButton = nullptr;
    QPushButton *UnLockStartMenuButton = nullptr;
    QPushButton *LockStartMenuButton = nullptr;
    QComboBox *MessageTypeComboBox = nullptr;
    QLineEdit *MessageEdit1 = nullptr;
    QPlainTextEdit *MessageAnswerMemo = nullptr;
    QPushButton *BitBtn3 = nullptr; // "Wyślij komunikat"
    QComboBox *PowerOffPCOption = nullptr;
    QPushButton *PowerOffPCButton = nullptr;
    QPushButton *DisableMouseButton = nullptr;
    QPushButton *EnableMouseButton = nullptr;
    QPushButton *BitBtn4 = nullptr; // "Wyłącz klawiaturę"
    QPushButton *BitBtn5 = nullptr; // "Włącz klawiaturę"

    QWidget *TabSheet4 = nullptr; // "Operacje zbiorcze ( wszystkie komputery z listy )"
    QPushButton *GroupPowerOffMonitorButton = nullptr;
    QPushButton *GroupPowerOnMonitorButton = nullptr;
    QPushButton *GroupUnLockMouseButton = nullptr;
    QPushButton *GroupLockMouseButton = nullptr;
    QPushButton *GroupLockKeyboardButton = nullptr;
    QPushButton *GroupUnLockKeyboardButton = nullptr;
    QPushButton *EnableStartMenuAllButton = nullptr;
    QPushButton *DisableStartMenuAllButton = nullptr;
    QComboBox *GroupPowerOffPCOption = nullptr;
    QPushButton *GroupPowerOffPCButton = nullptr;
    // "Cała klasa": the class's attention and a program for all at one click.
    QPushButton *LockClassButton = nullptr;
    QPushButton *UnlockClassButton = nullptr;
    QPushButton *GroupRunProgramButton = nullptr;
    QPushButton *WakeComputersButton = nullptr;

    // Beside "Podgląd ekranu": the picture shown there, as the agent sent it.
    QPushButton *SavePictureButton = nullptr;
    // Beside it: one student watched, and the picture at its own size.
    QPushButton *WatchButton = nullptr;
    QSpinBox *WatchIntervalSpinBox = nullptr;
    QCheckBox *ActualSizeCheckBox = nullptr;

    QWidget *TabSheet5 = nullptr; // "Podgląd klasy"
    OverviewView *ClassOverviewView = nullptr;
    PollPanel *PollBox = nullptr;
    // Unfolds "Pytanie do wszystkich" beside the tiles; folded, they get the width.
    QPushButton *PollToggleButton = nullptr;

    QTimer *UpdateTimer = nullptr;
    QMenuBar *MainMenu1 = nullptr;
    QMenu *PomocMenu = nullptr;
    QAction *Sprawdczyjestnowawersja1 = nullptr;

    Classroom &classroom() { return *m_classroom; }
    commands::Commander &commander() { return *m_commander; }
    commands::PowerOn &powerOn() { return *m_power; }
    commands::ClassOverview &overview() { return *m_overview; }
    // The class in the order the list and the tiles show it.
    ClassOrder &classOrder() { return *m_classOrder; }

    bool closeWithoutAsking = false;

    // --- Handlers -------------------------------------------------------------
    // shell
    void FormShow();
    void FormResize();
    // Answers whether the window may close (asks unless closeWithoutAsking).
    bool FormClose();

    // link: server and registry (the server's own notifications go to the
    // classroom)
    void ShowLocalHostInfo();
    // Throws SocketError when the port cannot be opened.
    void StartServer();
    void RemoteComputersListViewClick();
    bool FindSelectedConnection();

    // link: send, receive, streams
    bool SendPacket(const platform::ConnectionPtr &socket, PacketRecord &packet);
    void MyServerClientRead(const platform::ConnectionPtr &socket);
    void ShowScreenImage(const QByteArray &stream);
    void FillProcessList(const QByteArray &stream);

    // commands: the selected computer
    void PowerOffMonitorButtonClick();
    void PowerOnMonitorButtonClick();
    void LockStartMenuButtonClick();
    void UnLockStartMenuButtonClick();
    void DisconnectKeyboardButtonClick();
    void ConnectKeyboardButtonClick();
    void DisableMouseButtonClick();
    void EnableMouseButtonClick();
    void PowerOffPCButtonClick();
    void PowerOffPCOptionChange();
    void ReloadProcessListButtonClick();
    void CloseProgramButtonClick();
    void RunNewProgramButtonClick();
    void ScreenShootButtonClick();
    void BitBtn3Click();

    // commands: every listed computer
    void GroupPowerOffMonitorButtonClick();
    void GroupPowerOnMonitorButtonClick();
    void GroupUnLockMouseButtonClick();
    void GroupLockMouseButtonClick();
    void GroupLockKeyboardButtonClick();
    void GroupUnLockKeyboardButtonClick();
    void EnableStartMenuAllButtonClick();
    void DisableStartMenuAllButtonClick();
    void GroupPowerOffPCButtonClick();
    void GroupPowerOffPCOptionChange();
    void LockClassButtonClick();
    void UnlockClassButtonClick();
    void GroupRunProgramButtonClick();
    void WakeComputersButtonClick();

    // the class overview, the poll and the saved pictures
    void PageControl1Change();
    void OverviewTileClick(int row);
    void OverviewTileDoubleClick(int row);
    void SavePictureButtonClick();
    void SaveAllPicturesButtonClick();
    void PollSendClick(const QString &question, Poll::Kind kind);
    void PollSaveClick();
    // The room plan: read at the first look at the overview, kept at each change.
    void RoomPlanChange();
    // One student watched ("Obserwuj"): the selected computer's picture
    // asked for quietly every interval.
    void WatchButtonClick();
    void WatchPictureReceived(Computer *computer);
    commands::Watch &watch() { return *m_watch; }

    // update
    void CheckForNewVersion(bool silent);
    void Sprawdczyjestnowawersja1Click();
    void UpdateTimerTimer();
    // The window a new version is fetched in; the window set owns it. Once
    // it has started the installer, this window closes without its question.
    void setUpdateWindow(TFUpdate *window);
    TFUpdate *updateWindow() const;
    // The checks of this window, made at the first one.
    update::VersionCheck &versionCheck();

    // Waits for the workers of this window (stream receiver, version checks).
    void waitForWorkers();

    // The wait window the commands, the group walk and the streams show; the
    // start-up hands it over, and this window keeps it for its own lifetime.
    // Null until then: the handlers then go without it.
    TFProgress *waitWindow() const { return m_waitWindow.get(); }
    void setWaitWindow(std::unique_ptr<TFProgress> window);

signals:
    // Raised on the user-interface thread when a stream reception has ended
    // and StreamInProgress is clear again.
    void streamFinished();
    // Raised when the window has accepted a close.
    void closed();

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildWindow();
    void placeWindow();
    void buildMenu();
    QWidget *buildComputerList(QWidget *parent);
    void buildProcessTab();
    void buildScreenTab();
    void buildMiscTab();
    QWidget *buildMessageGroup(QWidget *tab);
    void buildGroupTab();
    QWidget *buildClassGroup(QWidget *tab);
    void buildOverviewTab();
    void buildSavePictureButton();
    void buildWatchControls();
    void wireWatch();
    void restoreWatchInterval();
    QWidget *buildTrafficFields(QWidget *parent);
    void wireHandlers();
    void wireClassroom();
    void wireStreams();
    void wireCommander();
    void wireClassGroup();
    void wireControls();
    void wireOverview();
    void restoreOverviewLayout();
    void showKeptPicture(const Computer &computer);
    void showSaved(const QString &what, const QString &path, int error);
    void runShielded(const std::function<void()> &handler);
    std::function<void()> shielded(void (TFMain::*handler)());

    // link
    void selectRow(const QModelIndex &current);
    void showSelected(const Computer &computer);
    void followWalk();
    void showStreamStart(qint32 declared);
    void showStream(const StreamReception::Result &outcome);
    // Shows a decoded picture, or reports a picture that did not decode.
    // fullSize and jpeg: of a picture that came fitted to the tab.
    bool showScreenPicture(const QImage &image, QSize fullSize = {}, const QByteArray &jpeg = {});
    // A kept picture, decoded at the size the tab shows it at.
    bool showScreenPicture(const QByteArray &jpeg);

    // commands
    void runCommand(const commands::Command &command,
                    const std::function<void(PacketRecord &)> &fill = {});
    int teacherChoice(const commands::Command &command) const;
    void walkAllComputers(const commands::Command &command);

    // update
    void offerUpdate();

    std::unique_ptr<TFProgress> m_waitWindow;
    bool m_shownOnce = false;
    // True while the teacher is asked about a new version or its download runs.
    bool m_offeringUpdate = false;
    QPointer<TFUpdate> m_updateWindow;
    update::VersionCheck *m_versionCheck = nullptr;
    // The position the wait window's bar shows of the current stream.
    qint64 m_streamShown = 0;
    // Whose data a view shows: the computer's arrival number (0: nobody's),
    // which outlives the computer, and its name as it was then.
    struct Owner
    {
        quint64 arrival = 0;
        QString hostName;
        QString address;
    };
    static Owner ownerOf(const Computer *computer);
    void showOwner(QWidget *view, const Owner &owner);
    // Whether the data is the selected computer's; otherwise says so.
    bool ownedBySelected(const Owner &owner, const QString &what);
    // The picture "Podgląd ekranu" shows, for saving it as it came.
    struct ShownPicture
    {
        QByteArray jpeg;
        Owner owner;
        QDateTime at;
    };
    ShownPicture m_shownPicture;
    Owner m_processListOwner;
    ScreenFit *m_screenFit = nullptr;
    ClassOrder *m_classOrder = nullptr;
    RoleColumns *m_listColumns = nullptr;
    // The list's rows are being taken out: the current row the list moves to
    // is not the teacher's choice.
    bool m_rowsLeaving = false;
    bool m_overviewRestored = false;
    bool m_watchRestored = false;
    // False once the room plan's file could not be read or put aside: it
    // is then never written over.
    bool m_roomPlanWritable = true;
    void restoreRoomPlan();
    void showAnswersOnTiles();
};

// An error raised by an event handler; shown in the standard error box.
class HandlerError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};
