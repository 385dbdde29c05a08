#pragma once

// The teacher's commands, each named once: what it writes into the working
// record, how its outcome line names it, and whether the console waits for
// an answer. The window's buttons, the walks over every computer and the
// agent simulator all read it from here.
#include "link/packet.h"

#include <QString>

#include <span>

namespace commands {

// Where a command's flag comes from.
enum class FlagFrom {
    Fixed,       // the command's own flag
    PowerChoice, // the teacher's power operation: its place in the list
    MessageKind, // the teacher's kind of message: its place in the list
};

struct Command
{
    qint32 iCommand;
    qint32 iFlag; // when the flag is fixed
    FlagFrom flagFrom;
    // The name in the outcome line. A command without one reports nothing of
    // its own, not even a missing connection: the send line says it all.
    const char16_t *operation;
    // The answer is a stream: the wait window keeps the teacher from giving
    // other commands meanwhile.
    bool showsWait;
    // What tools print for it, one name per flag it takes, in flag order;
    // a fixed flag has one.
    std::span<const char *const> toolNames;
};

extern const Command MonitorOff;
extern const Command MonitorOn;
extern const Command KeyboardOff;
extern const Command KeyboardOn;
extern const Command MouseOff;
extern const Command MouseOn;
extern const Command LockStartMenu;
extern const Command UnlockStartMenu;
extern const Command PowerOff;
extern const Command ProcessList;
extern const Command CloseProcess;
extern const Command RunProgram;
extern const Command ScreenShot;
extern const Command Message;

std::span<const Command *const> all();

// The class's attention at one click: monitor, keyboard and mouse off, and
// the same three back on.
std::span<const Command *const> classLock();
std::span<const Command *const> classUnlock();

// A new packet of the command: every field empty (so that it carries only
// what its sender writes into it, never what another computer sent last) but
// the command and its flag: a fixed flag as it is, a chosen one as the
// teacher's place in the list. The send numbers it.
PacketRecord prepare(const Command &command, int choice);

bool reportsOutcome(const Command &command);

// The status line after a send, or after a failed one; host is empty when
// the connection has no name to tell.
QString outcomeText(const Command &command, bool sent, const QString &host);

// The status line when the selected computer has no connection any more.
QString notFoundText();

// What tools print for a received command code and flag; empty when no
// entry takes them.
QString toolName(qint32 iCommand, qint32 iFlag);

} // namespace commands
