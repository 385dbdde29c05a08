// The commands to every listed computer: a walk over the list that selects
// each row as a click would and runs the single-computer command for it.
#include "shell/tfmain.h"

#include "shell/tfprogress.h"

#include <QComboBox>
#include <QProgressBar>
#include <QTreeWidget>

void TFMain::walkAllComputers(void (TFMain::*single)())
{
    if (FProgress) {
        FProgress->Show();
        FProgress->ProgressBar->setMaximum(RemoteComputersListView->topLevelItemCount());
    }
    // The row count is read again before every step.
    for (int i = 0; i < RemoteComputersListView->topLevelItemCount(); ++i) {
        RemoteComputersListView->setCurrentItem(RemoteComputersListView->topLevelItem(i));
        RemoteComputersListViewClick();
        (this->*single)();
        if (FProgress)
            FProgress->advance(1);
    }
    if (FProgress)
        FProgress->Close();
}

void TFMain::GroupPowerOffMonitorButtonClick()
{
    walkAllComputers(&TFMain::PowerOffMonitorButtonClick);
}

void TFMain::GroupPowerOnMonitorButtonClick()
{
    walkAllComputers(&TFMain::PowerOnMonitorButtonClick);
}

void TFMain::GroupLockMouseButtonClick()
{
    walkAllComputers(&TFMain::DisableMouseButtonClick);
}

void TFMain::GroupUnLockMouseButtonClick()
{
    walkAllComputers(&TFMain::EnableMouseButtonClick);
}

void TFMain::GroupLockKeyboardButtonClick()
{
    walkAllComputers(&TFMain::DisconnectKeyboardButtonClick);
}

void TFMain::GroupUnLockKeyboardButtonClick()
{
    walkAllComputers(&TFMain::ConnectKeyboardButtonClick);
}

void TFMain::DisableStartMenuAllButtonClick()
{
    walkAllComputers(&TFMain::LockStartMenuButtonClick);
}

void TFMain::EnableStartMenuAllButtonClick()
{
    walkAllComputers(&TFMain::UnLockStartMenuButtonClick);
}

void TFMain::GroupPowerOffPCButtonClick()
{
    walkAllComputers(&TFMain::PowerOffPCButtonClick);
}

void TFMain::GroupPowerOffPCOptionChange()
{
    const QSignalBlocker quiet(PowerOffPCOption);
    PowerOffPCOption->setCurrentIndex(GroupPowerOffPCOption->currentIndex());
}
