#include "commandtable.h"

namespace commands {

namespace {

constexpr const char *monitorOff[] = {"monitor off"};
constexpr const char *monitorOn[] = {"monitor on"};
constexpr const char *keyboardOff[] = {"keyboard off"};
constexpr const char *keyboardOn[] = {"keyboard on"};
constexpr const char *mouseOff[] = {"mouse off"};
constexpr const char *mouseOn[] = {"mouse on"};
constexpr const char *lockStartMenu[] = {"lock start menu"};
constexpr const char *unlockStartMenu[] = {"unlock start menu"};
// In the order of packet::PowerFlag and packet::MessageFlag, which are the
// orders of the teacher's lists.
constexpr const char *power[] = {"shut down", "log off", "restart"};
constexpr const char *processList[] = {"process list"};
constexpr const char *closeProcess[] = {"close process"};
constexpr const char *runProgram[] = {"run program"};
constexpr const char *screenShot[] = {"screen picture"};
constexpr const char *message[] = {"message", "question", "message with typed answer"};

} // namespace

// The operation names read as the outcome lines have always read,
// "klawiature" without its ogonek too.
// clang-format off
const Command MonitorOff{packet::Device, packet::MonitorOff, FlagFrom::Fixed,
                         u"wyłącz monitor", false, monitorOff};
const Command MonitorOn{packet::Device, packet::MonitorOn, FlagFrom::Fixed,
                        u"włącz monitor", false, monitorOn};
const Command KeyboardOff{packet::Device, packet::KeyboardOff, FlagFrom::Fixed,
                          u"wyłącz klawiature", false, keyboardOff};
const Command KeyboardOn{packet::Device, packet::KeyboardOn, FlagFrom::Fixed,
                         u"włącz klawiature", false, keyboardOn};
const Command MouseOff{packet::Device, packet::MouseOff, FlagFrom::Fixed,
                       u"wyłącz myszkę", false, mouseOff};
const Command MouseOn{packet::Device, packet::MouseOn, FlagFrom::Fixed,
                      u"włącz mysz", false, mouseOn};
const Command LockStartMenu{packet::LockStartMenu, 0, FlagFrom::Fixed,
                            u"zablokuj menu start", false, lockStartMenu};
const Command UnlockStartMenu{packet::UnlockStartMenu, 0, FlagFrom::Fixed,
                              u"odblokuj menu start", false, unlockStartMenu};
const Command PowerOff{packet::Power, 0, FlagFrom::PowerChoice,
                       u"wył. komputer", false, power};
const Command ProcessList{packet::ProcessList, 0, FlagFrom::Fixed,
                          u"lista procesów", true, processList};
const Command CloseProcess{packet::CloseProcess, 0, FlagFrom::Fixed,
                           u"zamknij program", false, closeProcess};
const Command RunProgram{packet::RunProgram, 0, FlagFrom::Fixed,
                         nullptr, false, runProgram};
const Command ScreenShot{packet::ScreenShot, 0, FlagFrom::Fixed,
                         u"podgląd ekranu", true, screenShot};
const Command Message{packet::Message, 0, FlagFrom::MessageKind,
                      u"pokaż komunikat", false, message};
// clang-format on

std::span<const Command *const> all()
{
    static const Command *const commands[]
            = {&MonitorOff,   &MonitorOn,     &KeyboardOff,     &KeyboardOn, &MouseOff,
               &MouseOn,      &LockStartMenu, &UnlockStartMenu, &PowerOff,   &ProcessList,
               &CloseProcess, &RunProgram,    &ScreenShot,      &Message};
    return commands;
}

std::span<const Command *const> classLock()
{
    static const Command *const commands[] = {&MonitorOff, &KeyboardOff, &MouseOff};
    return commands;
}

std::span<const Command *const> classUnlock()
{
    static const Command *const commands[] = {&MonitorOn, &KeyboardOn, &MouseOn};
    return commands;
}

PacketRecord prepare(const Command &command, int choice)
{
    PacketRecord record{};
    record.iCommand = command.iCommand;
    // The choice goes out as it stands: the lists hold exactly the
    // operations the agents know, in their order.
    record.iFlag = command.flagFrom == FlagFrom::Fixed ? command.iFlag : qint32(choice);
    return record;
}

bool reportsOutcome(const Command &command)
{
    return command.operation != nullptr;
}

QString outcomeText(const Command &command, bool sent, const QString &host)
{
    return (sent ? QStringLiteral("wysłano polecenie \"")
                 : QStringLiteral("błąd podczas próby wysłania polecenia \""))
           + QString::fromUtf16(command.operation) + QStringLiteral("\" do: ") + host;
}

QString notFoundText()
{
    return QStringLiteral("nie znaleziono połączenia na liście");
}

QString toolName(qint32 iCommand, qint32 iFlag)
{
    const Command *only = nullptr;
    int sharing = 0;
    for (const Command *command : all()) {
        if (command->iCommand != iCommand)
            continue;
        ++sharing;
        only = command;
        if (command->flagFrom == FlagFrom::Fixed) {
            if (command->iFlag == iFlag)
                return QLatin1String(command->toolNames[0]);
        } else if (iFlag >= 0 && std::size_t(iFlag) < command->toolNames.size()) {
            return QLatin1String(command->toolNames[std::size_t(iFlag)]);
        }
    }
    // A code no other command shares: its flag tells nothing apart, and an
    // agent does not look at it.
    if (sharing == 1 && only->flagFrom == FlagFrom::Fixed)
        return QLatin1String(only->toolNames[0]);
    return {};
}

} // namespace commands
