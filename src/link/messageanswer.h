#pragma once

#include "link/packet.h"

#include <QString>

#include <optional>

// What a student's answer to a message says: the agent sends it back with the
// message's own command code, the flag telling no, yes or a typed text.
struct MessageAnswer
{
    enum Kind { No, Yes, Typed };

    Kind kind = No;
    // A typed answer as Bufor holds it, up to its zero byte: the "|" that
    // closes the agent's packet text is still its last character. Empty for
    // yes and no.
    QString text;

    // What the answer field of the main window shows for it.
    QString shownText() const;
};

// The answer an accepted packet carries; nothing for another command or for a
// flag that is no answer.
std::optional<MessageAnswer> readMessageAnswer(const PacketRecord &packet);
