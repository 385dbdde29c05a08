// The commands to every listed computer: a walk over the list that selects
// each row as a click would and runs the single-computer command for it.
#include "shell/tfmain.h"

#include "commands/commandtable.h"

#include "shell/tfprogress.h"

#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QTreeWidget>

namespace {

// Marks each row with its place in the walk, so that a row is found again
// however the list has changed meanwhile.
constexpr int WalkRole = Qt::UserRole + 1;

QTreeWidgetItem *rowOfStep(const QTreeWidget *list, quint64 walk, int step)
{
    const QVariant mark = QVariant::fromValue((walk << 20) | quint64(step));
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        QTreeWidgetItem *row = list->topLevelItem(i);
        if (row->data(0, WalkRole) == mark)
            return row;
    }
    return nullptr;
}

} // namespace

// The rows are walked as they stood when the walk began: a send that closes
// its connection (the time-out after a partial send) removes a row during
// the walk, and walking by index would then skip the next computer.
void TFMain::walkAllComputers(const commands::Command &command)
{
    static quint64 walks = 0;
    const quint64 walk = ++walks;
    const int steps = RemoteComputersListView->topLevelItemCount();
    for (int i = 0; i < steps; ++i)
        RemoteComputersListView->topLevelItem(i)->setData(
                0, WalkRole, QVariant::fromValue((walk << 20) | quint64(i)));
    TFProgress *wait = waitWindow();
    if (wait) {
        wait->Show();
        wait->ProgressBar->setMaximum(steps);
    }
    for (int i = 0; i < steps; ++i) {
        if (QTreeWidgetItem *row = rowOfStep(RemoteComputersListView, walk, i)) {
            RemoteComputersListView->setCurrentItem(row);
            RemoteComputersListViewClick();
            runCommand(command);
        } else {
            // Its connection has gone, and its row with it.
            StatusEdit->setText(commands::notFoundText());
        }
        if (wait)
            wait->advance(1);
    }
    if (wait)
        wait->Close();
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
