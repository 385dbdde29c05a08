// Receiving packets from the agents and acting on them.
#include "link/classroom.h"

#include <QScopeGuard>

#include <algorithm>

#include "link/messageanswer.h"
#include "link/packet.h"
#include "platform/cp1250.h"
#include "storage/eventlog.h"

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

// The length of the packet text when it begins with a stream's announcement
// (whose last field is empty, so its text ends at the ninth "|"); the whole
// length otherwise.
qsizetype announcementLength(const QByteArray &text)
{
    qsizetype end = -1;
    for (int bars = 0; bars < 9; ++bars) {
        end = text.indexOf('|', end + 1);
        if (end < 0)
            return text.size();
    }
    PacketRecord p{};
    ParsePacketText(QByteArrayView(text).first(end + 1), p);
    const bool announces
            = p.Pass == packet::PassValue
              && ((p.iCommand == packet::ProcessList && p.iFlag == packet::ProcessListAnnounceFlag)
                  || (p.iCommand == packet::ScreenShot && p.iFlag == packet::ScreenAnnounceFlag));
    return announces ? end + 1 : text.size();
}

bool knownCommand(qint32 command)
{
    return command == packet::ProcessList || command == packet::CloseProcess
           || command == packet::ScreenShot || command == packet::Message;
}

} // namespace

void Classroom::MyServerClientRead(const platform::ConnectionPtr &socket)
{
    // A connection whose stream is being received is read by its reception
    // alone; every other connection is read as ever.
    const Computer *reading = computerOf(socket);
    if ((reading && reading->channel.reception) || !readOffDropped(socket))
        return;
    // Whatever a student's packet makes the log say is the students' share.
    eventlog::AgentEntries byAgents;

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
    // packets together. It goes into the working record unless it answers
    // a glance, which leaves no trace.
    // An agent may send a stream right behind its announcement: what follows
    // the announcement's text is the stream's beginning, not part of it.
    m_streamStart = text.mid(announcementLength(text));
    text.truncate(text.size() - m_streamStart.size());
    // Only a stream started by this packet takes them.
    const auto forget = qScopeGuard([this] { m_streamStart.clear(); });
    Computer *computer = computerOf(socket);
    // A field the text does not supply keeps what this computer's previous
    // packet held, never what another computer or the teacher sent.
    PacketRecord incoming = computer ? computer->conversation.received : PacketRecord{};
    ParsePacketText(text, incoming);
    if (takeGlanceAnswer(socket, incoming))
        return;
    if (computer)
        computer->conversation.received = incoming;
    CurrentPacket = incoming;
    const PacketRecord &p = incoming;
    // A flooding agent's packets are all taken and acted upon; only the day
    // log takes a bounded share of them, so it cannot fill the disk.
    m_packetLogged = !computer || logsPacketOf(*computer);
    auto log = [this, &p](const char *entry) {
        if (m_packetLogged)
            WriteLog(entry, true, &p);
    };

    if (p.Pass != packet::PassValue) {
        emit receiveReport(QStringLiteral("nieznany pakiet: ") + numbers(p));
        log("RCV: nieznany pakiet");
        return;
    }
    // Each computer numbers its own packets: only a repeat of the number
    // last accepted from the same connection is a copy.
    qint32 &lastAccepted = computer ? computer->conversation.lastAcceptedNo : LastPacketNo;
    if (p.iPacketNo == lastAccepted) {
        emit receiveReport(QStringLiteral("kopia pakietu: iCommand: ") + numbers(p));
        log("RCV: kopia pakietu");
        return;
    }

    // Only an accepted packet moves the console's numbers: a rejected one
    // would tell its sender, and through the next request every other
    // student, how the others count.
    lastAccepted = p.iPacketNo;
    LastPacketNo = p.iPacketNo;
    m_packetNo = p.iPacketNo;
    emit receiveReport(QStringLiteral("otrzymano dane: iCommand: ") + numbers(p));
    // One entry a packet: a command the console does not know is logged
    // once, as such, with its dump (see dispatch).
    if (knownCommand(p.iCommand))
        log("RCV: otrzymano dane");

    dispatch(socket, p);
}

void Classroom::dispatch(const platform::ConnectionPtr &socket, const PacketRecord &p)
{
    switch (p.iCommand) {
    case packet::ProcessList:
        if (p.iFlag == packet::ProcessListAnnounceFlag)
            announced(socket, false, p.StreamSize);
        break;
    case packet::CloseProcess:
        // A status answers a command of the teacher's: one from a computer
        // no command went to stands only in the day log, never in STATUS
        // as if it answered the teacher.
        if (answersTeacher(socket))
            emit statusText(cp1250::toUnicode(packet::fieldText(p.Bufor)));
        break;
    case packet::ScreenShot:
        if (p.iFlag == packet::ScreenAnnounceFlag)
            announced(socket, true, p.StreamSize);
        // Only the computer the teacher waits for ends the wait.
        else if (p.iFlag == packet::ScreenCloseWaitFlag && takeTeacherRequest(socket, true))
            emit waitEnded();
        break;
    case packet::Message:
        if (const std::optional<MessageAnswer> answer = readMessageAnswer(p)) {
            Computer *computer = computerOf(socket);
            if (computer) {
                computer->state.answer = answer->shownText();
                computer->state.answerTime = QDateTime::currentDateTime();
                computer->conversation.questionAt = -1;
                m_roster.touch(computer, {Roster::AnswerRole});
            }
            emit answerReceived(computer, p, *answer);
        }
        break;
    default:
        emit receiveReport(QStringLiteral("nieznany typ polecenia: iCommand: ") + numbers(p));
        if (m_packetLogged)
            WriteLog("RCV: nieznany typ polecenia", true, &p);
        break;
    }
}

bool Classroom::answersTeacher(const platform::ConnectionPtr &socket)
{
    const Computer *computer = computerOf(socket);
    const qint64 at = computer ? computer->conversation.commandedAt : -1;
    return at >= 0 && m_clock.elapsed() - at <= AnswerForgottenMs;
}

// A stream is the teacher's when the teacher asked this computer for this
// kind and it has not answered yet; any other is read off and dropped.
void Classroom::announced(const platform::ConnectionPtr &socket, bool screen, qint32 declared)
{
    if (takeTeacherRequest(socket, screen))
        startStream(socket, screen, declared);
    else
        dropUnasked(socket, declared);
}

void Classroom::noteTeacherRequest(const platform::ConnectionPtr &socket, const PacketRecord &p)
{
    const bool screen = p.iCommand == packet::ScreenShot;
    if (p.iFlag != 0 || (!screen && p.iCommand != packet::ProcessList))
        return;
    m_teacherAsked[screen] = {socket, m_clock.elapsed()};
    // The teacher goes first: a glance waiting for this computer's picture
    // is given up, and its next picture is the teacher's.
    if (!screen)
        return;
    Computer *computer = computerOf(socket);
    if (computer && !computer->channel.glances.empty()) {
        computer->channel.glances.clear();
        emit glanceDropped(socket);
    }
}

bool Classroom::takeTeacherRequest(const platform::ConnectionPtr &socket, bool screen)
{
    TeacherRequest &asked = m_teacherAsked[screen];
    if (asked.connection.lock() != socket || m_clock.elapsed() - asked.askedAt > AnswerForgottenMs)
        return false;
    asked = {};
    return true;
}

// The idle budget of a stream: how long a dropped stream may pause before
// what comes next is taken for packets again.
qint64 Classroom::idleBudgetMs() const
{
    const StreamReception::Timings &t = environment.streamTimings;
    return qint64(t.idleLimit + 1) * std::max(1, t.idleSleepMs);
}

void Classroom::dropUnasked(const platform::ConnectionPtr &socket, qint32 declared)
{
    Computer *computer = computerOf(socket);
    if (!computer)
        return;
    Channel &channel = computer->channel;
    const qint64 now = m_clock.elapsed();
    const qint64 glued = m_streamStart.size();
    m_streamStart.clear();
    channel.dropLeft = std::max<qint64>(0, qint64(declared) - glued);
    channel.dropLastBytesAt = now;
    if (channel.unaskedReportedAt >= 0 && now - channel.unaskedReportedAt < UnaskedReportIntervalMs)
        return;
    channel.unaskedReportedAt = now;
    const QByteArray name = computer->hostName;
    WriteLog(cp1250::fromUnicode(u"RCV: pominięto nieproszony strumień danych od: ")
             + eventlog::visible(name) + " (" + eventlog::visible(socket->peerAddress())
             + cp1250::fromUnicode(u"), deklarowano: ") + QByteArray::number(declared));
}

// Within one read event's bound, and on this connection only: the bytes of
// a dropped stream never wait for others, nor others for them.
bool Classroom::readOffDropped(const platform::ConnectionPtr &socket)
{
    Computer *computer = computerOf(socket);
    if (!computer || computer->channel.dropLeft <= 0)
        return true;
    Channel &channel = computer->channel;
    const qint64 now = m_clock.elapsed();
    // An agent that stopped half-way: what comes now is packets again.
    if (now - channel.dropLastBytesAt > idleBudgetMs()) {
        channel.dropLeft = 0;
        return true;
    }
    char buffer[4096];
    qint64 taken = 0;
    while (channel.dropLeft > 0 && taken < MaxBytesPerReadEvent) {
        const qint64 n = socket->receive(buffer, std::min<qint64>(sizeof buffer, channel.dropLeft));
        if (n <= 0)
            break;
        channel.dropLeft -= n;
        taken += n;
    }
    if (taken > 0)
        channel.dropLastBytesAt = now;
    return channel.dropLeft <= 0;
}
