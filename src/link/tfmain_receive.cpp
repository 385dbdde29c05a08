// Receiving packets from the agents and acting on them.
#include "shell/tfmain.h"

#include "link/messageanswer.h"
#include "link/packet.h"
#include "platform/cp1250.h"
#include "shell/tfprogress.h"
#include "storage/eventlog.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>

namespace {

constexpr qint64 ReadChunk = 100;
// One read event takes at most this much, far above the longest packet text
// (1605 bytes): a flooding agent cannot freeze the window or grow memory
// without bound. What is left is read at the next event.
constexpr qint64 MaxBytesPerReadEvent = 64 * 1024;

QString numbers(const PacketRecord &p)
{
    return QStringLiteral("%1, iFlag: %2, iPacketNo: %3")
            .arg(p.iCommand)
            .arg(p.iFlag)
            .arg(p.iPacketNo);
}

} // namespace

void TFMain::MyServerClientRead(const platform::ConnectionPtr &socket)
{
    // While a stream is received, no connection is read here: the stream's
    // bytes must not be taken for packets, and others wait their turn.
    if (StreamInProgress.load())
        return;

    QByteArray text;
    char buffer[ReadChunk];
    while (text.size() < MaxBytesPerReadEvent) {
        const qint64 n = socket->receive(buffer, ReadChunk);
        if (n <= 0) // -1: nothing more waits; 0: the connection is closed
            break;
        text.append(buffer, n);
    }
    // A read event that brings nothing is not a packet.
    if (text.isEmpty())
        return;

    // All that one event brings is one packet; the agent never runs two
    // packets together.
    ParsePacketText(text, CurrentPacket);
    const PacketRecord &p = CurrentPacket;

    if (p.Pass != packet::PassValue) {
        RcvStatusEdit->setText(QStringLiteral("nieznany pakiet: ") + numbers(p));
        WriteLog("RCV: nieznany pakiet", true, &CurrentPacket);
        return;
    }
    if (p.iPacketNo == LastPacketNo) {
        RcvStatusEdit->setText(QStringLiteral("kopia pakietu: iCommand: ") + numbers(p));
        WriteLog("RCV: kopia pakietu", true, &CurrentPacket);
        return;
    }

    LastPacketNo = p.iPacketNo;
    RcvStatusEdit->setText(QStringLiteral("otrzymano dane: iCommand: ") + numbers(p));
    WriteLog("RCV: otrzymano dane", true, &CurrentPacket);

    switch (p.iCommand) {
    case packet::ProcessList:
        if (p.iFlag == packet::ProcessListAnnounceFlag)
            startStream(socket, false);
        break;
    case packet::CloseProcess:
        StatusEdit->setText(cp1250::toUnicode(packet::fieldText(p.Bufor)));
        break;
    case packet::ScreenShot:
        if (p.iFlag == packet::ScreenAnnounceFlag)
            startStream(socket, true);
        else if (p.iFlag == packet::ScreenCloseWaitFlag && waitWindow())
            waitWindow()->Close();
        break;
    case packet::Message:
        if (const std::optional<MessageAnswer> answer = readMessageAnswer(p))
            MessageAnswerMemo->setPlainText(answer->shownText());
        break;
    default:
        RcvStatusEdit->setText(QStringLiteral("nieznany typ polecenia: iCommand: ") + numbers(p));
        WriteLog("RCV: nieznany typ polecenia", true, &CurrentPacket);
        break;
    }
}
