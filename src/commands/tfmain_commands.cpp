// The teacher's commands to the one selected computer.
#include "shell/tfmain.h"

#include "platform/cp1250.h"
#include "shell/dialogs.h"
#include "shell/tfprogress.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTreeWidget>

void TFMain::reportOutcome(bool sent, const QString &operation)
{
    const QString host
            = CurrentSocket ? cp1250::toUnicode(CurrentSocket->peerHostName()) : QString();
    StatusEdit->setText((sent ? QStringLiteral("wysłano polecenie \"")
                              : QStringLiteral("błąd podczas próby wysłania polecenia \""))
                        + operation + QStringLiteral("\" do: ") + host);
}

// The common pattern: the command goes into CurrentPacket before the lookup,
// whether or not a connection is then found.
void TFMain::runCommand(qint32 command, qint32 flag, const QString &operation, bool showWait)
{
    CurrentPacket.iCommand = command;
    CurrentPacket.iFlag = flag;
    if (!FindSelectedConnection()) {
        StatusEdit->setText(QStringLiteral("nie znaleziono połączenia na liście"));
        return;
    }
    // The answer to these is a stream: the wait window keeps the teacher from
    // giving other commands meanwhile.
    if (showWait && waitWindow())
        waitWindow()->Show();
    reportOutcome(SendPacket(CurrentSocket, CurrentPacket), operation);
}

void TFMain::PowerOffMonitorButtonClick()
{
    runCommand(packet::Device, packet::MonitorOff, QStringLiteral("wyłącz monitor"), false);
}

void TFMain::PowerOnMonitorButtonClick()
{
    runCommand(packet::Device, packet::MonitorOn, QStringLiteral("włącz monitor"), false);
}

void TFMain::DisconnectKeyboardButtonClick()
{
    runCommand(packet::Device, packet::KeyboardOff, QStringLiteral("wyłącz klawiature"), false);
}

void TFMain::ConnectKeyboardButtonClick()
{
    runCommand(packet::Device, packet::KeyboardOn, QStringLiteral("włącz klawiature"), false);
}

void TFMain::DisableMouseButtonClick()
{
    runCommand(packet::Device, packet::MouseOff, QStringLiteral("wyłącz myszkę"), false);
}

void TFMain::EnableMouseButtonClick()
{
    runCommand(packet::Device, packet::MouseOn, QStringLiteral("włącz mysz"), false);
}

void TFMain::LockStartMenuButtonClick()
{
    runCommand(packet::LockStartMenu, 0, QStringLiteral("zablokuj menu start"), false);
}

void TFMain::UnLockStartMenuButtonClick()
{
    runCommand(packet::UnlockStartMenu, 0, QStringLiteral("odblokuj menu start"), false);
}

void TFMain::PowerOffPCButtonClick()
{
    runCommand(packet::Power, PowerOffPCOption->currentIndex(), QStringLiteral("wył. komputer"),
               false);
}

void TFMain::PowerOffPCOptionChange()
{
    const QSignalBlocker quiet(GroupPowerOffPCOption);
    GroupPowerOffPCOption->setCurrentIndex(PowerOffPCOption->currentIndex());
}

void TFMain::ReloadProcessListButtonClick()
{
    runCommand(packet::ProcessList, 0, QStringLiteral("lista procesów"), true);
}

void TFMain::ScreenShootButtonClick()
{
    runCommand(packet::ScreenShot, 0, QStringLiteral("podgląd ekranu"), true);
}

void TFMain::CloseProgramButtonClick()
{
    QTreeWidgetItem *row = ProcessListView->currentItem();
    if (!row || !row->isSelected()) {
        Dialogs::instance().message(this, QString(), QStringLiteral("Wybierz program z listy"),
                                    Dialogs::Icon::None);
        return;
    }
    CurrentPacket.iCommand = packet::CloseProcess;
    CurrentPacket.iFlag = 0;

    // The list shows process ids as unsigned decimals, so every listed
    // process can be closed, those with the top bit set too.
    const QString pidText = row->text(2);
    bool ok = false;
    const uint pid = pidText.toUInt(&ok, 10);
    if (!ok)
        throw HandlerError(
                QStringLiteral("'%1' is not a valid integer value").arg(pidText).toStdString());
    CurrentPacket.ProcID = pid;

    if (!FindSelectedConnection()) {
        StatusEdit->setText(QStringLiteral("nie znaleziono połączenia na liście"));
        return;
    }
    reportOutcome(SendPacket(CurrentSocket, CurrentPacket), QStringLiteral("zamknij program"));
}

void TFMain::RunNewProgramButtonClick()
{
    QString name;
    if (!Dialogs::instance().inputText(this, QStringLiteral("Uruchom program"),
                                       QStringLiteral("Wprowadź nazwę programu, np: clac aby "
                                                      "uruchomić kalkulator"),
                                       name))
        return;
    CurrentPacket.iCommand = packet::RunProgram;
    CurrentPacket.iFlag = 0;
    // Cut to the field when longer; the record is never overrun.
    packet::setFieldText(CurrentPacket.ProcName, cp1250::fromUnicode(name));
    // No outcome line: SendPacket's own line and log entry say it all.
    if (FindSelectedConnection())
        SendPacket(CurrentSocket, CurrentPacket);
}
