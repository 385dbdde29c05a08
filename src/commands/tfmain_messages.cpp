// Messages to the selected student computer. The answers are shown by the
// receive dispatch.
#include "shell/tfmain.h"

#include "platform/cp1250.h"

#include <QComboBox>
#include <QLineEdit>

void TFMain::BitBtn3Click()
{
    CurrentPacket.iCommand = packet::Message;
    CurrentPacket.iFlag = MessageTypeComboBox->currentIndex();
    // Cut to Bufor when longer; characters Windows-1250 lacks go as "?".
    packet::setFieldText(CurrentPacket.Bufor, cp1250::fromUnicode(MessageEdit1->text()));
    if (!FindSelectedConnection()) {
        StatusEdit->setText(QStringLiteral("nie znaleziono połączenia na liście"));
        return;
    }
    reportOutcome(SendPacket(CurrentSocket, CurrentPacket), QStringLiteral("pokaż komunikat"));
}
