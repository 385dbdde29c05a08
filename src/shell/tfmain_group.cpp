// The commands to every listed computer, from the group tab's controls.
#include "shell/tfmain.h"

#include "shell/classmodels.h"
#include "shell/tfprogress.h"

#include <QComboBox>
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
            waitWindow()->Show();
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

void TFMain::GroupPowerOffPCOptionChange()
{
    const QSignalBlocker quiet(PowerOffPCOption);
    PowerOffPCOption->setCurrentIndex(GroupPowerOffPCOption->currentIndex());
}
