// The commands to every listed computer, from the group tab's controls.
#include "shell/tfmain.h"

#include "shell/classmodels.h"
#include "shell/controls.h"
#include "shell/dialogs.h"
#include "shell/tfprogress.h"

#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QProgressBar>
#include <QTreeView>

void TFMain::wireCommander()
{
    connect(m_commander.get(), &commands::Commander::waitRequested, this, [this](Computer *) {
        if (waitWindow())
            waitWindow()->Show();
    });
    connect(m_commander.get(), &commands::Commander::walkStarted, this, [this](int steps) {
        if (waitWindow()) {
            waitWindow()->showWhileHeld();
            waitWindow()->ProgressBar->setMaximum(steps);
        }
    });
    connect(m_commander.get(), &commands::Commander::walkAdvanced, this, [this] {
        if (waitWindow())
            waitWindow()->advance(1);
    });
    connect(m_commander.get(), &commands::Commander::walkEnded, this, [this] {
        followWalk();
        if (waitWindow())
            waitWindow()->Close();
    });
    // The walk selects each computer in turn; the list follows once at its end.
    connect(m_commander.get(), &commands::Commander::computerChosen, this,
            [this](Computer *computer) { showSelected(*computer); });
}

QWidget *TFMain::buildClassGroup(QWidget *tab)
{
    const QString caption = QStringLiteral(" Cała klasa ");
    auto *group = new QGroupBox(caption, tab);
    group->setObjectName(QStringLiteral("ClassGroupBox"));
    group->setAccessibleName(caption.trimmed());
    LockClassButton = makeButton(group, "LockClassButton", QStringLiteral("Zablokuj klasę"));
    UnlockClassButton = makeButton(group, "UnlockClassButton", QStringLiteral("Odblokuj klasę"));
    GroupRunProgramButton = makeButton(group, "GroupRunProgramButton",
                                       QStringLiteral("Uruchom program u wszystkich"));
    LockClassButton->setToolTip(
            QStringLiteral("Wyłącza monitor, klawiaturę i mysz na wszystkich komputerach"));
    UnlockClassButton->setToolTip(
            QStringLiteral("Włącza monitor, klawiaturę i mysz na wszystkich komputerach"));
    auto *row = new QHBoxLayout(group);
    row->addWidget(LockClassButton);
    row->addWidget(UnlockClassButton);
    row->addWidget(GroupRunProgramButton);
    WakeComputersButton
            = makeButton(group, "WakeComputersButton", QStringLiteral("Włącz komputery"));
    WakeComputersButton->setToolTip(QStringLiteral(
            "Włącza przez sieć komputery, które były już połączone, a teraz są wyłączone"));
    row->addWidget(WakeComputersButton);
    row->addStretch(1);
    return group;
}

void TFMain::wireClassGroup()
{
    for (auto [button, handler] :
         {std::pair{LockClassButton, &TFMain::LockClassButtonClick},
          std::pair{UnlockClassButton, &TFMain::UnlockClassButtonClick},
          std::pair{GroupRunProgramButton, &TFMain::GroupRunProgramButtonClick},
          std::pair{WakeComputersButton, &TFMain::WakeComputersButtonClick}})
        connect(button, &QPushButton::clicked, this, shielded(handler));
}

// In the order the list shows the class.
void TFMain::walkAllComputers(const commands::Command &command)
{
    m_commander->runOnAll(command, teacherChoice(command), m_classOrder->computers());
}

void TFMain::GroupPowerOffMonitorButtonClick()
{
    walkAllComputers(commands::MonitorOff);
}

void TFMain::GroupPowerOnMonitorButtonClick()
{
    walkAllComputers(commands::MonitorOn);
}

void TFMain::GroupLockMouseButtonClick()
{
    walkAllComputers(commands::MouseOff);
}

void TFMain::GroupUnLockMouseButtonClick()
{
    walkAllComputers(commands::MouseOn);
}

void TFMain::GroupLockKeyboardButtonClick()
{
    walkAllComputers(commands::KeyboardOff);
}

void TFMain::GroupUnLockKeyboardButtonClick()
{
    walkAllComputers(commands::KeyboardOn);
}

void TFMain::DisableStartMenuAllButtonClick()
{
    walkAllComputers(commands::LockStartMenu);
}

void TFMain::EnableStartMenuAllButtonClick()
{
    walkAllComputers(commands::UnlockStartMenu);
}

void TFMain::GroupPowerOffPCButtonClick()
{
    walkAllComputers(commands::PowerOff);
}

// Monitor, keyboard and mouse for each computer before the next one.
void TFMain::LockClassButtonClick()
{
    m_commander->runSeriesOnAll(commands::classLock(), m_classOrder->computers());
}

void TFMain::UnlockClassButtonClick()
{
    m_commander->runSeriesOnAll(commands::classUnlock(), m_classOrder->computers());
}

void TFMain::WakeComputersButtonClick()
{
    const int woken = m_power->wakeAbsent();
    const QString error = m_power->takeError();
    if (!error.isEmpty())
        Dialogs::showError(this, error);
    m_classroom->showStatus(
            QStringLiteral("Wysłano sygnał włączenia do %1 %2")
                    .arg(woken)
                    .arg(woken == 1 ? QStringLiteral("komputera") : QStringLiteral("komputerów")));
}

void TFMain::GroupPowerOffPCOptionChange()
{
    const QSignalBlocker quiet(PowerOffPCOption);
    PowerOffPCOption->setCurrentIndex(GroupPowerOffPCOption->currentIndex());
}
