// The teacher's commands to the one selected computer, from its controls.
#include "shell/tfmain.h"

#include "commands/commandtable.h"
#include "platform/cp1250.h"
#include "shell/classmodels.h"
#include "shell/dialogs.h"

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

void TFMain::runCommand(const commands::Command &command,
                        const std::function<void(PacketRecord &)> &fill)
{
    m_commander->run(command, teacherChoice(command), fill);
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
    // A PID that is no number raises the standard box; a process of another
    // computer's list never goes out.
    const QTreeWidgetItem *row = chosenProcessRow(this, ProcessListView);
    if (!row)
        return;
    const quint32 pid = processIdOf(*row);
    // A computer that has gone is reported as not found, as for any command.
    if (!m_classroom->selected()
        || ownedBySelected(
                m_processListOwner,
                QStringLiteral("Lista programów jest z innego komputera (%1): odśwież ją "
                               "dla wybranego komputera")))
        runCommand(commands::CloseProcess, [pid](PacketRecord &record) { record.ProcID = pid; });
}

void TFMain::RunNewProgramButtonClick()
{
    QString name;
    // Cut to the field when longer; the record is never overrun.
    if (askProgramName(this, name))
        runCommand(commands::RunProgram, [&](PacketRecord &record) {
            packet::setFieldText(record.ProcName, cp1250::fromUnicode(name));
        });
}

void TFMain::GroupRunProgramButtonClick()
{
    QString name;
    if (askProgramName(this, name))
        m_commander->runOnAll(commands::RunProgram, 0, m_classOrder->computers(),
                              [&](PacketRecord &record) {
                                  packet::setFieldText(record.ProcName, cp1250::fromUnicode(name));
                              });
}

void TFMain::BitBtn3Click()
{
    // Cut to Bufor when longer; characters Windows-1250 lacks go as "?".
    runCommand(commands::Message, [this](PacketRecord &record) {
        packet::setFieldText(record.Bufor, cp1250::fromUnicode(MessageEdit1->text()));
    });
}
