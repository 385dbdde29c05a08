#include "link/messageanswer.h"

#include "platform/cp1250.h"

QString MessageAnswer::shownText() const
{
    switch (kind) {
    case No:
        return QStringLiteral("odpowiedź brzmi: NIE");
    case Yes:
        return QStringLiteral("odpowiedź brzmi: TAK");
    case Typed:
        break;
    }
    return text;
}

std::optional<MessageAnswer> readMessageAnswer(const PacketRecord &packet)
{
    if (packet.iCommand != packet::Message)
        return std::nullopt;
    switch (packet.iFlag) {
    case packet::AnswerNo:
        return MessageAnswer{MessageAnswer::No, {}};
    case packet::AnswerYes:
        return MessageAnswer{MessageAnswer::Yes, {}};
    case packet::AnswerTyped:
        return MessageAnswer{MessageAnswer::Typed,
                             cp1250::toUnicode(packet::fieldText(packet.Bufor))};
    default:
        return std::nullopt;
    }
}
