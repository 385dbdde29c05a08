// The teacher's commands to the one selected computer.
#include "shell/tfmain.h"

#include "commands/commandtable.h"
#include "platform/cp1250.h"
#include "shell/dialogs.h"
#include "shell/tfprogress.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTreeWidget>

namespace {

// The process the teacher picked, or null after telling them to pick one.
QTreeWidgetItem *chosenProcessRow(QWidget *parent, QTreeWidget *list)
{
    QTreeWidgetItem *row = list->currentItem();
    if (row && row->isSelected())
        return row;
    Dialogs::instance().message(parent, QString(), QStringLiteral("Wybierz program z listy"),
                                Dialogs::Icon::None);
    return nullptr;
}

// The list shows process ids as unsigned decimals, so every listed process
// can be closed, those with the top bit set too.
quint32 processIdOf(const QTreeWidgetItem &row)
{
    const QString pidText = row.text(2);
    bool ok = false;
    const uint pid = pidText.toUInt(&ok, 10);
    if (!ok)
        throw HandlerError(
                QStringLiteral("'%1' is not a valid integer value").arg(pidText).toStdString());
    return pid;
}

bool askProgramName(QWidget *parent, QString &name)
{
    return Dialogs::instance().inputText(
            parent, QStringLiteral("Uruchom program"),
            QStringLiteral("Wprowadź nazwę programu, np: clac aby uruchomić kalkulator"), name);
}

} // namespace

// The command goes into CurrentPacket before the lookup, whether or not a
// connection is then found.
void TFMain::runCommand(const commands::Command &command, const std::function<void()> &fill)
{
    commands::prepare(CurrentPacket, command, teacherChoice(command));
    if (fill)
        fill();
    if (!FindSelectedConnection()) {
        if (commands::reportsOutcome(command))
            StatusEdit->setText(commands::notFoundText());
        return;
    }
    // Up before the send: the answer may come at once.
    if (command.showsWait && waitWindow())
        waitWindow()->Show();
    const bool sent = SendPacket(CurrentSocket, CurrentPacket);
    if (!commands::reportsOutcome(command))
        return;
    // The name as it stands after the send, which may have closed the connection.
    const QString host
            = CurrentSocket ? cp1250::toUnicode(CurrentSocket->peerHostName()) : QString();
    StatusEdit->setText(commands::outcomeText(command, sent, host));
}

int TFMain::teacherChoice(const commands::Command &command) const
{
    switch (command.flagFrom) {
    case commands::FlagFrom::PowerChoice:
        return PowerOffPCOption->currentIndex();
    case commands::FlagFrom::MessageKind:
        return MessageTypeComboBox->currentIndex();
    case commands::FlagFrom::Fixed:
        break;
    }
    return 0;
}

void TFMain::PowerOffMonitorButtonClick()
{
    runCommand(commands::MonitorOff);
}

void TFMain::PowerOnMonitorButtonClick()
{
    runCommand(commands::MonitorOn);
}

void TFMain::DisconnectKeyboardButtonClick()
{
    runCommand(commands::KeyboardOff);
}

void TFMain::ConnectKeyboardButtonClick()
{
    runCommand(commands::KeyboardOn);
}

void TFMain::DisableMouseButtonClick()
{
    runCommand(commands::MouseOff);
}

void TFMain::EnableMouseButtonClick()
{
    runCommand(commands::MouseOn);
}

void TFMain::LockStartMenuButtonClick()
{
    runCommand(commands::LockStartMenu);
}

void TFMain::UnLockStartMenuButtonClick()
{
    runCommand(commands::UnlockStartMenu);
}

void TFMain::PowerOffPCButtonClick()
{
    runCommand(commands::PowerOff);
}

void TFMain::PowerOffPCOptionChange()
{
    const QSignalBlocker quiet(GroupPowerOffPCOption);
    GroupPowerOffPCOption->setCurrentIndex(PowerOffPCOption->currentIndex());
}

void TFMain::ReloadProcessListButtonClick()
{
    runCommand(commands::ProcessList);
}

void TFMain::ScreenShootButtonClick()
{
    runCommand(commands::ScreenShot);
}

void TFMain::CloseProgramButtonClick()
{
    // A PID that is no number stops the command after it went into the record.
    if (const QTreeWidgetItem *row = chosenProcessRow(this, ProcessListView))
        runCommand(commands::CloseProcess, [&] { CurrentPacket.ProcID = processIdOf(*row); });
}

void TFMain::RunNewProgramButtonClick()
{
    QString name;
    // Cut to the field when longer; the record is never overrun.
    if (askProgramName(this, name))
        runCommand(commands::RunProgram, [&] {
            packet::setFieldText(CurrentPacket.ProcName, cp1250::fromUnicode(name));
        });
}
