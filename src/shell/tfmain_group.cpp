// The commands to every listed computer, from the group tab's controls.
#include "shell/tfmain.h"

#include "shell/tfprogress.h"

#include <QComboBox>
#include <QProgressBar>
#include <QScopeGuard>
#include <QTreeWidget>

void TFMain::wireCommander()
{
    connect(m_commander.get(), &commands::Commander::waitRequested, this, [this] {
        if (waitWindow())
            waitWindow()->Show();
    });
    connect(m_commander.get(), &commands::Commander::walkStarted, this, [this](int steps) {
        if (waitWindow()) {
            waitWindow()->Show();
            waitWindow()->ProgressBar->setMaximum(steps);
        }
    });
    connect(m_commander.get(), &commands::Commander::walkAdvanced, this, [this] {
        if (waitWindow())
            waitWindow()->advance(1);
    });
    connect(m_commander.get(), &commands::Commander::walkEnded, this, [this] {
        if (waitWindow())
            waitWindow()->Close();
    });
    // The walk selects each row as a click would.
    connect(m_commander.get(), &commands::Commander::computerChosen, this, [this](int index) {
        RemoteComputersListView->setCurrentItem(RemoteComputersListView->topLevelItem(index));
        RemoteComputersListViewClick();
    });
}

void TFMain::walkAllComputers(const commands::Command &command)
{
    // The walk selects every row in turn, but nothing is painted before it
    // ends: scrolling the list to each row would cost more than the sends.
    RemoteComputersListView->setUpdatesEnabled(false);
    const auto resume = qScopeGuard([this] { RemoteComputersListView->setUpdatesEnabled(true); });
    m_commander->runOnAll(command, teacherChoice(command));
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

void TFMain::GroupPowerOffPCOptionChange()
{
    const QSignalBlocker quiet(PowerOffPCOption);
    PowerOffPCOption->setCurrentIndex(GroupPowerOffPCOption->currentIndex());
}
