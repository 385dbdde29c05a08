// What a simulated student answers to each of the console's commands.
#include "student.h"

#include "commands/commandtable.h"
#include "link/jpegimage.h"
#include "link/processlist.h"
#include "output.h"
#include "platform/cp1250.h"
#include "screen.h"

namespace agentsim {

namespace {

// What the console's own command table calls the command; the rest are
// named by what the simulator cannot tell about them.
QString operationName(qint32 command, qint32 flag)
{
    const QString known = commands::toolName(command, flag);
    if (!known.isEmpty())
        return known;
    switch (command) {
    case packet::Device:
        return QStringLiteral("unknown device operation");
    case packet::Power:
        return QStringLiteral("unknown power operation");
    case packet::Message:
        return QStringLiteral("unknown message kind");
    default:
        return QStringLiteral("unknown");
    }
}

// What the student reports on the console's status line after a device,
// power or start-menu command.
QString deviceStatus(qint32 command, qint32 flag)
{
    static const char16_t *const device[]
            = {u"Wyłączono monitor",   u"Włączono monitor", u"Wyłączono klawiaturę",
               u"Włączono klawiaturę", u"Wyłączono mysz",   u"Włączono mysz"};
    static const char16_t *const power[] = {u"Wyłączanie komputera", u"Wylogowywanie użytkownika",
                                            u"Ponowne uruchamianie komputera"};
    if (command == packet::Device)
        return flag >= 0 && flag < 6 ? QString::fromUtf16(device[flag])
                                     : QStringLiteral("Nieznana operacja: %1").arg(flag);
    if (command == packet::Power)
        return flag >= 0 && flag < 3 ? QString::fromUtf16(power[flag])
                                     : QStringLiteral("Nieznana operacja zasilania: %1").arg(flag);
    if (command == packet::LockStartMenu)
        return QStringLiteral("Zablokowano menu Start");
    return QStringLiteral("Odblokowano menu Start");
}

// The student's own account of a command it was sent.
QString receivedLine(const PacketRecord &p)
{
    QString line = QStringLiteral("received no=%1 code=%2 flag=%3 what=%4")
                           .arg(p.iPacketNo)
                           .arg(p.iCommand)
                           .arg(p.iFlag)
                           .arg(output::quoted(operationName(p.iCommand, p.iFlag)));
    const QString procName = cp1250::toUnicode(packet::fieldText(p.ProcName));
    const QString bufor = cp1250::toUnicode(packet::fieldText(p.Bufor));
    if (p.iCommand == packet::CloseProcess)
        line += QStringLiteral(" pid=%1").arg(p.ProcID);
    else if (p.iCommand == packet::RunProgram)
        line += QStringLiteral(" program=%1").arg(output::quoted(procName));
    else if (p.iCommand == packet::Message)
        line += QStringLiteral(" text=%1").arg(output::quoted(bufor));
    return line;
}

} // namespace

void Student::handle(const PacketRecord &p)
{
    if (p.Pass != packet::PassValue) {
        say(QStringLiteral("ignored reason=\"wrong pass\" pass=%1 no=%2 code=%3 flag=%4")
                    .arg(p.Pass)
                    .arg(p.iPacketNo)
                    .arg(p.iCommand)
                    .arg(p.iFlag));
        return;
    }
    m_lastConsoleNumber = p.iPacketNo;
    say(receivedLine(p));

    switch (p.iCommand) {
    case packet::ProcessList:
        sendProcessList();
        break;
    case packet::CloseProcess:
        answerStatus((m_processes.close(p.ProcID) ? QStringLiteral("Zamknięto proces %1")
                                                  : QStringLiteral("Nie znaleziono procesu %1"))
                             .arg(p.ProcID),
                     p.ProcID);
        break;
    case packet::ScreenShot:
        output::count("picture-requests");
        sendScreen();
        break;
    case packet::RunProgram:
        runProgram(p);
        break;
    case packet::Device:
    case packet::LockStartMenu:
    case packet::UnlockStartMenu:
        answerStatus(deviceStatus(p.iCommand, p.iFlag));
        break;
    case packet::Power:
        answerStatus(deviceStatus(p.iCommand, p.iFlag));
        if (m_options.powerCloses) {
            Outgoing close;
            close.kind = Outgoing::Close;
            close.summary = QStringLiteral("power operation");
            m_queue.append(close);
            pump();
        }
        break;
    case packet::Message: {
        // A person needs a moment to read and answer.
        const int session = m_session;
        QTimer::singleShot(m_options.answerDelayMs, this, [this, session, p] {
            if (session == m_session)
                answerMessage(p);
        });
        break;
    }
    default:
        break; // an agent has nothing to say to a command it does not know
    }
}

void Student::runProgram(const PacketRecord &command)
{
    const QByteArray program = packet::fieldText(command.ProcName).toByteArray().trimmed();
    if (program.isEmpty()) {
        answerStatus(QStringLiteral("Nie podano nazwy programu"));
        return;
    }
    const quint32 id = m_processes.start(program);
    answerStatus(QStringLiteral("Uruchomiono program %1").arg(cp1250::toUnicode(program)), id,
                 program);
}

void Student::answerStatus(const QString &text, quint32 processId, const QByteArray &procName)
{
    // Every status text goes back as code 1: the console shows the text of
    // any code 1 packet on its status line.
    enqueuePacket(packet::CloseProcess, 0, 0, cp1250::fromUnicode(text), processId, procName);
}

void Student::answerMessage(const PacketRecord &command)
{
    switch (command.iFlag) {
    case packet::PlainMessage:
        // The console has no answer of its own for the OK button: code 6
        // with flag 0 would read as a "no". A status text tells the teacher
        // that the message was seen, without touching the answer field.
        if (m_options.okAnswer)
            answerStatus(QStringLiteral("Komunikat potwierdzony"));
        break;
    case packet::YesNoQuestion: {
        bool yes = m_options.yesNo == YesNo::Yes;
        if (m_options.yesNo == YesNo::Random)
            yes = m_random.bounded(2) == 1;
        enqueuePacket(packet::Message, yes ? packet::AnswerYes : packet::AnswerNo);
        break;
    }
    case packet::TypedAnswer: {
        QString answer = m_options.typedAnswer;
        answer.replace(QLatin1String("%n"), m_name);
        enqueuePacket(packet::Message, packet::AnswerTyped, 0, cp1250::fromUnicode(answer));
        break;
    }
    default:
        break;
    }
}

void Student::sendProcessList()
{
    const QList<processlist::ProcessEntry> entries = m_processes.entries();
    enqueueStream(packet::ProcessList, packet::ProcessListAnnounceFlag, processlist::build(entries),
                  QStringLiteral("processes"), QStringLiteral("entries=%1").arg(entries.size()));
}

void Student::sendScreen()
{
    // A real agent needs a while to grab and encode its screen; drawing and
    // encoding here count towards that while, so the announcement comes when
    // the longer of the two has passed.
    const QDeadlineTimer ready(m_options.captureDelayMs, Qt::PreciseTimer);
    ++m_shots;
    if (m_faults.noScreen) {
        enqueuePacket(packet::ScreenShot, packet::ScreenCloseWaitFlag, 0, {}, 0, {}, -1, ready);
        return;
    }
    const QSize size = m_options.screenSize;
    QByteArray jpeg = jpegimage::encode(
            renderScreen(m_name, m_number, size, m_shots, m_options.seed, QTime::currentTime()),
            m_options.jpegQuality);
    if (jpeg.isEmpty()) {
        // Without a picture the teacher's wait window should still close.
        say(QStringLiteral("screen-unavailable reason=\"the encoder gave no data\""));
        enqueuePacket(packet::ScreenShot, packet::ScreenCloseWaitFlag, 0, {}, 0, {}, -1, ready);
        return;
    }
    if (m_faults.corruptJpeg) {
        const qsizetype half = jpeg.size() / 2;
        jpeg.replace(0, half, QByteArray(half, '\0'));
    }
    enqueueStream(packet::ScreenShot, packet::ScreenAnnounceFlag, jpeg, QStringLiteral("screen"),
                  QStringLiteral("width=%1 height=%2").arg(size.width()).arg(size.height()), ready);
}

} // namespace agentsim
