// Messages to the selected student computer. The answers are shown by the
// receive dispatch.
#include "shell/tfmain.h"

#include "commands/commandtable.h"
#include "platform/cp1250.h"

#include <QLineEdit>

void TFMain::BitBtn3Click()
{
    // Cut to Bufor when longer; characters Windows-1250 lacks go as "?".
    runCommand(commands::Message, [this] {
        packet::setFieldText(CurrentPacket.Bufor, cp1250::fromUnicode(MessageEdit1->text()));
    });
}
